#include "browser/trustedCertificates.h"

#include <algorithm>

TTrustedCertificates::TTrustedCertificates(const QString& ACaFile)
    : FCertificates(ACaFile.isEmpty() ? QList<QSslCertificate>() : QSslCertificate::fromPath(ACaFile))
{
}

TTrustedCertificates::TTrustedCertificates(QList<QSslCertificate> ACertificates)
    : FCertificates(std::move(ACertificates))
{
}

bool TTrustedCertificates::Trusts(const QList<QSslCertificate>& AChain) const
{
    // A certificate of caFile in the chain the server sent vouches for it: its own, or the CA it sends along.
    return std::any_of(
        AChain.begin(), AChain.end(), [this](const QSslCertificate& c) { return FCertificates.contains(c); });
}

QSslConfiguration TTrustedCertificates::Configuration() const
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(FCertificates);
    return config;
}
