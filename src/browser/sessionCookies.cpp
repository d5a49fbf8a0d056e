#include "browser/sessionCookies.h"

#include <map>

namespace {

bool DomainMatches(const QString& AHost, QString ADomain)
{
    if (ADomain.startsWith(u'.'))
        ADomain.remove(0, 1);
    return AHost.compare(ADomain, Qt::CaseInsensitive) == 0
        || AHost.endsWith(QLatin1Char('.') + ADomain, Qt::CaseInsensitive);
}

} // namespace

TSessionCookies::TSessionCookies(QStringList AHosts)
    : FHosts(std::move(AHosts))
{
}

void TSessionCookies::Add(const QNetworkCookie& ACookie)
{
    Remove(ACookie);
    FCookies.append(ACookie);
}

void TSessionCookies::Remove(const QNetworkCookie& ACookie)
{
    FCookies.removeIf([&](const QNetworkCookie& c) { return c.hasSameIdentifier(ACookie); });
}

qsizetype TSessionCookies::HostRank(const QNetworkCookie& ACookie) const
{
    for (qsizetype i = 0; i < FHosts.size(); ++i) {
        if (DomainMatches(FHosts[i], ACookie.domain()))
            return i;
    }
    return -1;
}

QString TSessionCookies::Text(const QDateTime& ANow) const
{
    // name -> (rank, pair); the lower rank wins, among equals the later cookie.
    std::map<QByteArray, std::pair<qsizetype, QString>> chosen;
    QList<QByteArray> order;
    for (const QNetworkCookie& cookie : FCookies) {
        const qsizetype rank = HostRank(cookie);
        if (rank < 0 || cookie.name().isEmpty() || (!cookie.isSessionCookie() && cookie.expirationDate() <= ANow))
            continue;
        const QString pair = QString::fromUtf8(cookie.name() + '=' + cookie.value());
        const auto it = chosen.find(cookie.name());
        if (it == chosen.end()) {
            chosen.emplace(cookie.name(), std::make_pair(rank, pair));
            order.append(cookie.name());
        } else if (rank <= it->second.first) {
            it->second = {rank, pair};
        }
    }
    QStringList pairs;
    for (const QByteArray& name : order)
        pairs.append(chosen.at(name).second);
    const qsizetype token = order.indexOf(QByteArrayLiteral("_tb_token_"));
    if (token > 0)
        pairs.move(token, 0);
    return pairs.join(QStringLiteral("; "));
}
