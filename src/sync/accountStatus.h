#pragma once

#include "foundation/qworker.h"

#include <QString>

class TAccountListModel;

// The two state columns of the account list, set from any thread: a status message goes to the main thread as a
// job and changes the row of that account there: found by its user id where the sender knows it (two accounts may
// share a name, and a sign-in browser's nickname may differ from the list's), by its name otherwise.
class TAccountStatus {
public:
    // scStopped: a stop ended the account's pass before its end, so the row does not claim it is still running.
    // scFailed: the account's pass failed, so the row does not claim it was synchronised.
    enum TStatusCode { scSyncing = 0, scSynced = 1, scSignedIn = 2, scDropped = 3, scStopped = 4, scFailed = 5 };

    explicit TAccountStatus(TAccountListModel& AAccounts);
    ~TAccountStatus();
    TAccountStatus(const TAccountStatus&) = delete;
    TAccountStatus& operator=(const TAccountStatus&) = delete;

    // Posts a status message for the row of that account name to the main thread.
    void SendStatus(const QString& AUserName, int AStatus);
    // The same for the row of that user id; by the name when no row has the id.
    void SendStatus(const QString& AUserId, const QString& AUserName, int AStatus);

private:
    void ShowAccountStatus(TQJob* AJob);

    TAccountListModel& FAccounts;
};
