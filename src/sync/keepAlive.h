#pragma once

#include "foundation/qworker.h"
#include "foundation/stopCheck.h"
#include "sessions/alimmTokenMgr.h"

#include <QString>

class TAccountHealth;

// Time-outs of the session probe, in milliseconds.
struct TProbeTiming {
    int connectTimeoutMs = 10000;
    int readTimeoutMs = 10000;
};

// The web-session keep-alive: a repeating job that probes one account's session at a time at the Alimama hosts and
// marks a lapsed one "已掉线".
class TKeepAlive {
public:
    TKeepAlive(TAccountHealth& AHealth, const TProbeTiming& ATiming);
    ~TKeepAlive();
    TKeepAlive(const TKeepAlive&) = delete;
    TKeepAlive& operator=(const TKeepAlive&) = delete;

    // Sets up the repeating job.
    void Start(qint64 AInterval);

    // Job procedure.
    void KeepSessionsOnline(TQJob* AJob);

private:
    bool CheckAffiliateSession(PAlimmTokenData AAccount, const TStopCheck& AStop);
    QString Web_Http(const QString& AUrl, const QString& ACookies, const TStopCheck& AStop);

    TAccountHealth& FHealth;
    const TProbeTiming FTiming;
    intptr_t FAtKeepOnlineJobID = 0;
};
