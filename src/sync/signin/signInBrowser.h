#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

// The sign-in browser processes this program started, each for one account's sign-in. A sign-in is pending from
// the start until its browser reports or its time is up; only a pending sign-in's own browser may hand over a
// session, and a datagram may ask us to end only a process on this list that still runs, so a forged datagram can
// neither plant a session nor make us kill anything else. Every browser still running is ended when its sign-in
// times out and when this list goes (the process end), so none is left behind.
class TBrowserProcesses {
public:
    using TClock = std::chrono::steady_clock;

    TBrowserProcesses() = default;
    ~TBrowserProcesses();
    TBrowserProcesses(const TBrowserProcesses&) = delete;
    TBrowserProcesses& operator=(const TBrowserProcesses&) = delete;

    // Starts AProgram detached in AFolder for AUserId's sign-in, pending for ATimeout; false when it could not be
    // started. The browser gets this process's environment without the client password.
    bool Start(const QString& AProgram, const QStringList& AArguments, const QString& AFolder, const QString& AUserId,
        std::chrono::milliseconds ATimeout);
    // The environment variable through which a browser learns its sign-in's one-time secret: only the browser
    // started for the sign-in (and its own children) can read it, unlike its command line.
    static constexpr QStringView kSecretVariable = u"QUENLAR_SIGNIN_SECRET";

    struct TPending {
        qint64 pid = 0;
        QString secret; // what the browser's datagram must carry
    };
    // The browser whose sign-in of AUserId (trimmed) is pending; none when there is none.
    std::optional<TPending> PendingBrowserOf(const QString& AUserId) const;
    // The sign-in of AUserId was reported: no longer pending (its browser is ended on its own request).
    void Reported(const QString& AUserId);
    // Ends the browsers whose sign-in is past its time; returns the accounts whose sign-ins timed out so.
    QStringList EndTimedOut();
    // Ends every browser of ours that still runs.
    void EndAll();

    // Terminates the process when it is one of ours and still the same process; true when it was.
    bool TerminateIfOurs(qint64 AProcessId);
    bool IsOurs(qint64 AProcessId) const;

    // The environment a browser starts with: ABase without QUENLAR_PASSWORD, with its sign-in's secret. With AFolder
    // (the folder of its browser-profile/), what the web engine writes of its own (its default profile, certificate
    // store, caches) goes under browser-profile/home, while the desktop's settings are still read where they are.
    static QProcessEnvironment BrowserEnvironment(
        const QProcessEnvironment& ABase, const QString& ASecret = {}, const QString& AFolder = {});
    // Whether a datagram's secret is the pending sign-in's, compared in constant time.
    static bool SecretMatches(const QString& AExpected, const QString& AGiven);
    // The browser's own home in the folder of its browser-profile/.
    static QString BrowserHome(const QString& AFolder);

private:
    struct TStarted {
        qint64 pid = 0;
        QByteArray startTime; // tells a reused process id from ours
        QString userId;
        QString secret;
        TClock::time_point deadline;
        bool pending = true;
    };
    static QByteArray StartTimeOf(qint64 AProcessId);
    static bool Runs(const TStarted& AItem);
    std::vector<TStarted>::iterator Find(qint64 AProcessId);
    std::vector<TStarted>::const_iterator Find(qint64 AProcessId) const;

    mutable std::mutex FCS;
    std::vector<TStarted> FStarted;
};
