#pragma once

#include <QString>

#include <functional>
#include <mutex>

class TDBCacheClass;

// Asks the order cache, before a pass posts anything, whether it can serve the pass. The cache is asked once a pass
// (the answer stands for all its accounts; a failure in the middle of a pass is the lookup's own error). A reason is
// said once (the caller logs it and shows it) until the cache is usable again, so a broken cache of an unattended run
// is one log line and one message box, not one per pass and account.
class TCacheCheck {
public:
    using TSay = std::function<void(const QString& AReason)>;

    // The next Problem asks the cache again.
    void NewPass();
    // Empty when ACache is usable; otherwise why not (no cache at all included), handed to ASay the first time it is
    // seen. Any thread.
    QString Problem(const TDBCacheClass* ACache, const TSay& ASay);

private:
    std::mutex FLock;
    bool FAsked = false; // in this pass
    QString FReason; // this pass's answer
    QString FSaid; // the reason said last; empty once the cache was usable again
};
