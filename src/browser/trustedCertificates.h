#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>

// The certificates of caFile, trusted for HTTPS besides the system store. The web engine checks against the system
// store itself and asks about the rest; these decide that question.
class TTrustedCertificates {
public:
    explicit TTrustedCertificates(const QString& ACaFile); // empty or unreadable: none
    explicit TTrustedCertificates(QList<QSslCertificate> ACertificates);

    // Trusted when the chain holds one of caFile's certificates.
    bool Trusts(const QList<QSslCertificate>& AChain) const;
    const QList<QSslCertificate>& Certificates() const { return FCertificates; }

    // The system store plus caFile, for the browser's own requests.
    QSslConfiguration Configuration() const;

private:
    QList<QSslCertificate> FCertificates;
};
