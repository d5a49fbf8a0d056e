#pragma once

#include <QDateTime>
#include <QList>
#include <QNetworkCookie>
#include <QString>
#include <QStringList>

// The profile's cookies as the cookie store reports them, and the session text that the sign-in result carries:
// the cookies of the session hosts as "name=value" pairs joined by "; ".
class TSessionCookies {
public:
    // AHosts: the publisher host first; a cookie belongs to the session when it would be sent to one of them.
    explicit TSessionCookies(QStringList AHosts);

    void Add(const QNetworkCookie& ACookie); // replaces the cookie of the same name, domain and path
    void Remove(const QNetworkCookie& ACookie);

    // One value per name: the cookie that the publisher host receives wins, so "_tb_token_" is the one its
    // reports check. "_tb_token_" comes first, since a reader takes its value up to the next ';'. Cookies expired
    // at ANow are left out. Empty when no cookie belongs.
    QString Text(const QDateTime& ANow) const;

private:
    // The position in the host list of the first host the cookie is sent to; -1 for none.
    qsizetype HostRank(const QNetworkCookie& ACookie) const;

    QStringList FHosts;
    QList<QNetworkCookie> FCookies; // in the order they arrived
};
