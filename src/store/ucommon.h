#pragma once

#include "foundation/globals.h"

#include <QString>

#include <atomic>

// The outside services, from section "hosts" of the settings file. Read once at start; never written.
struct THosts {
    QString operatorService;
    QString operatorIntake;
    QString topGateway;
    QString alimamaPublisher;
    QString alimamaMedia;
    QString caFile;

    // "scheme://host[:port]" for a host value; an explicit http:// or https:// in the value wins over the
    // service's own scheme.
    static QString BaseUrl(const QString& hostValue, bool https);
    QString operatorServiceUrl() const { return BaseUrl(operatorService, false); }
    QString operatorIntakeUrl() const { return BaseUrl(operatorIntake, false); }
    QString topGatewayUrl() const { return BaseUrl(topGateway, false); }
    QString alimamaPublisherUrl() const { return BaseUrl(alimamaPublisher, true); }
    QString alimamaMediaUrl() const { return BaseUrl(alimamaMedia, true); }
};

// Section "notify": where alerts go, as written (checked by the notifier). Read once at start; never written.
struct TNotifySettings {
    QString webhook; // empty: no alerts
    QString format; // "json" when absent
    QString secret; // the signing secret of a DingTalk or Feishu robot
};

// Where a refund run reads an account's refunds: the publisher report through the web session, the TOP refund API
// through the account's token, or the API with the report for an account the API is not granted to.
enum class TRefundSource { Report, Api, Auto };

// "api" and "auto" (any case, blanks around allowed); anything else is the report.
TRefundSource ParseRefundSource(const QString& AText);

// The program's switches, mirrored in "conf.ini" in the data folder. Assigning a switch writes it through at
// once. Switches are assigned on the main thread and read by workers, hence atomics.
class TCommon {
public:
    // AFolder is the data folder, which the program entry chooses (see TDBCacheClass).
    explicit TCommon(const QString& AFolder);
    TCommon(const TCommon&) = delete;
    TCommon& operator=(const TCommon&) = delete;

    bool openSyncYSH() const { return FOpenSyncYSH.load(std::memory_order_relaxed); }
    bool openSyncApiWQ() const { return FOpenSyncApiWQ.load(std::memory_order_relaxed); }
    bool openLargeModel() const { return FopenLargeModel.load(std::memory_order_relaxed); }
    // Incremental invalid-order sync: a pass asks only for orders updated since the account's last good pass.
    bool openIncremental() const { return FOpenIncremental.load(std::memory_order_relaxed); }
    // The hour (0-23, local time) from which each day's first pass reads the whole window again; file only.
    int fullSyncHour() const { return FFullSyncHour; }
    // Key refundSource, read from the file at every call: an edit counts from the next refund run. File only.
    TRefundSource refundSource() const;
    // Key passConcurrency: how many accounts an invalid-order pass downloads at once, 1 (the default, one after
    // another) to kMaxPassConcurrency; a larger value counts as the largest. Read from the file at every call, so
    // an edit counts from the next pass. File only.
    int passConcurrency() const;
    // Key topCallLimit: TOP requests a second for all accounts together, 0 (the default) for no pacing. Read once at
    // start. File only.
    int topCallLimit() const { return FTopCallLimit; }
    // Key logEncoding: "utf-8" (or "utf8") writes the log file in UTF-8; anything else, and the default, in UTF-16LE.
    // Read once at start. File only.
    bool logInUtf8() const { return FLogInUtf8; }

    static constexpr int kMaxPassConcurrency = 8;

    // Each stores the value, then writes the key; throws EQuenlarError "Unable to write to <path>" when the file
    // cannot be written (the field keeps its new value, the file stays whole).
    void setOpenSyncYSH(bool AValue);
    void setOpenSyncApiWQ(bool AValue);
    void setOpenLargeModel(bool AValue);
    void setOpenIncremental(bool AValue);

    const THosts& hosts() const { return FHosts; }
    const TNotifySettings& notify() const { return FNotify; }
    // Empty when conf.ini was read and names the outside services; otherwise which file and what is wrong, said
    // once before the sign-in so that a bad file is not mistaken for an unreachable back end.
    const QString& problem() const { return FProblem; }

    const QString iniPath;

private:
    void WriteSwitch(const char16_t* AKey, bool AValue) const;

    std::atomic<bool> FOpenSyncYSH {true};
    std::atomic<bool> FOpenSyncApiWQ {false};
    std::atomic<bool> FopenLargeModel {false};
    std::atomic<bool> FOpenIncremental {false};
    int FFullSyncHour = 4; // read once at start
    int FTopCallLimit = 0; // read once at start
    bool FLogInUtf8 = false; // read once at start
    THosts FHosts;
    TNotifySettings FNotify;
    QString FProblem;
};

inline TCommon* Common()
{
    return TGlobal<TCommon>::Get();
}
