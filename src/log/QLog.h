#pragma once

#include "foundation/globals.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TQLog;
class TQLogCastor;

enum TQLogLevel : int { llEmergency, llAlert, llFatal, llError, llWarning, llHint, llMessage, llDebug };

// A set of levels, one bit per level.
using TQLogLevels = quint8;
constexpr TQLogLevels QLogLevelBit(TQLogLevel ALevel)
{
    return static_cast<TQLogLevels>(1u << ALevel);
}
constexpr TQLogLevels ALL_LOG_LEVELS = 0xFF;

enum TQLogMode { lmSync, lmAsyn };

// One queued entry: this header, then the message's and the tag's UTF-16 code units (no terminators), in one
// allocation.
struct TQLogItem {
    TQLogItem* Next = nullptr;
    quint32 ThreadId = 0;
    qint64 TimeStamp = 0; // µs since 1970-01-01 UTC; LogItemTime gives the local date and time
    TQLogLevel Level = llMessage;
    int TagLen = 0; // bytes
    int MsgLen = 0; // bytes

    char16_t* Text() noexcept { return reinterpret_cast<char16_t*>(this + 1); }
    const char16_t* Text() const noexcept { return reinterpret_cast<const char16_t*>(this + 1); }
};

struct TQLogItemFree {
    void operator()(TQLogItem* AItem) const noexcept;
};
using TQLogItemPtr = std::unique_ptr<TQLogItem, TQLogItemFree>;

// Makes an entry of the calling thread, now.
TQLogItemPtr NewLogItem(TQLogLevel ALevel, QStringView AMsg, QStringView ATag);
QString LogItemMessage(const TQLogItem& AItem);
QString LogItemTag(const TQLogItem& AItem);
QDateTime LogItemTime(const TQLogItem& AItem);
QString LogLevelName(TQLogLevel ALevel);

// A queue of entries linked through Next; owns them.
class TQLogList {
public:
    TQLogList() noexcept = default;
    TQLogList(TQLogList&& AOther) noexcept;
    TQLogList& operator=(TQLogList&& AOther) noexcept;
    ~TQLogList() { Clear(); }

    void Append(TQLogItemPtr AItem) noexcept;
    TQLogItemPtr TakeFirst() noexcept;
    bool Empty() const noexcept { return First == nullptr; }
    void Clear() noexcept;

    TQLogItem* First = nullptr;
    TQLogItem* Last = nullptr;
};

// Base of the log writers. Writers run on the dispatch thread only, one entry at a time. Configure a writer (tags,
// filter, lazy mode) before registering it; Enabled and AcceptLevels may change at any time.
class TQLogWriter {
public:
    // May change the answer of Accepts.
    using TAcceptEvent = std::function<void(const TQLogWriter& AWriter, const TQLogItem& AItem, bool& AAccept)>;

    TQLogWriter() = default;
    virtual ~TQLogWriter() = default;
    TQLogWriter(const TQLogWriter&) = delete;
    TQLogWriter& operator=(const TQLogWriter&) = delete;

    virtual void BatchStarted() { }
    virtual void BatchFinished() { }
    virtual void FlushLazy() { }
    virtual bool Accepts(const TQLogItem& AItem) const;
    virtual QString FormatItem(const TQLogItem& AItem) const;
    // Acquires what the writer writes to; the base cannot and throws.
    virtual void HandleNeeded();
    virtual bool WriteItem(const TQLogItem& AItem);

    TQLogCastor* Castor() const noexcept { return FCastor.load(); }
    TQLogLevels AcceptLevels() const noexcept { return FAcceptLevels.load(); }
    void SetAcceptLevels(TQLogLevels ALevels) noexcept { FAcceptLevels.store(ALevels); }
    bool Enabled() const noexcept { return FEnabled.load(); }
    void SetEnabled(bool AEnabled) noexcept { FEnabled.store(AEnabled); }
    void SetOnAccept(TAcceptEvent AEvent) { FOnAccept = std::move(AEvent); }
    const QString& Tag() const noexcept { return FTag; }
    void SetTag(const QString& ATag) { FTag = ATag; }
    const QStringList& AcceptTags() const noexcept { return FAcceptTags; }
    void SetAcceptTags(const QStringList& ATags) { FAcceptTags = ATags; }
    bool LazyMode() const noexcept { return FLazyMode; }

protected:
    void SetLazyMode(bool ALazy) noexcept { FLazyMode = ALazy; }

private:
    friend class TQLogCastor;

    std::atomic<TQLogCastor*> FCastor {nullptr};
    std::atomic<TQLogLevels> FAcceptLevels {ALL_LOG_LEVELS};
    TAcceptEvent FOnAccept;
    QStringList FAcceptTags;
    QString FTag;
    bool FLazyMode = false;
    std::atomic<bool> FEnabled {true};
};

// The dispatch thread: takes the whole pending queue at once and hands each entry to the writers in order. Owns
// its writers and destroys them when it ends.
class TQLogCastor {
public:
    explicit TQLogCastor(TQLog& AOwner);
    ~TQLogCastor();
    TQLogCastor(const TQLogCastor&) = delete;
    TQLogCastor& operator=(const TQLogCastor&) = delete;

    // Registers the writer at the head of the list (served first). HandleNeeded's exception reaches the caller, and
    // the writer is then destroyed unregistered.
    template <class T> T* AddWriter(std::unique_ptr<T> AWriter)
    {
        T* writer = AWriter.get();
        Register(std::unique_ptr<TQLogWriter>(std::move(AWriter)));
        return writer;
    }

    // The entry being dispatched; meaningful on the dispatch thread only.
    const TQLogItem* ActiveLog() const noexcept { return FActiveLog.load(); }
    int LazyInterval() const noexcept { return FLazyInterval.load(); }
    bool Exists() const noexcept { return !FIsFinished.load(); }
    bool IsCastorThread() const noexcept { return std::this_thread::get_id() == FThread.get_id(); }

private:
    friend class TQLog;

    void Register(std::unique_ptr<TQLogWriter> AWriter);
    void Execute();
    void Dispatch(TQLogList& ABatch);
    void LazyFlush();
    void DestroyWriters();
    void Terminate();
    void WaitFinished();

    TQLog& FOwner;
    std::atomic<int> FLazyInterval {0}; // ms
    std::chrono::steady_clock::time_point FLastLazyWriteTime;
    std::mutex FCS; // the writer list
    std::list<std::unique_ptr<TQLogWriter>> FWriters;
    std::vector<TQLogWriter*> FServing; // the dispatch thread's copy of the list for one batch
    std::atomic<const TQLogItem*> FActiveLog {nullptr};
    std::atomic<bool> FIsFinished {false};
    std::mutex FFinishedLock;
    std::condition_variable FFinished;
    std::thread FThread;
};

// The log: any thread queues entries, the castor dispatches them. Producers never wait for a writer (lmAsyn).
class TQLog {
public:
    TQLog();
    // Dispatches what is queued, destroys the writers; later posts are dropped. Removes itself from the global slot.
    ~TQLog();
    TQLog(const TQLog&) = delete;
    TQLog& operator=(const TQLog&) = delete;

    void Post(TQLogLevel ALevel, QStringView AMsg, QStringView ATag = {});

    TQLogCastor* Castor() const noexcept { return FCastor.get(); }
    TQLogMode Mode() const noexcept { return FMode.load(); }
    void SetMode(TQLogMode AMode) noexcept { FMode.store(AMode); }
    qint64 Count() const noexcept { return FCount.load(); }
    qint64 Flushed() const noexcept { return FFlushed.load(); }
    bool Enabled() const noexcept { return FEnabled.load(); }
    void SetEnabled(bool AEnabled) noexcept { FEnabled.store(AEnabled); }
    TQLogLevels AcceptLevels() const noexcept { return FAcceptLevels.load(); }
    void SetAcceptLevels(TQLogLevels ALevels) noexcept { FAcceptLevels.store(ALevels); }

private:
    friend class TQLogCastor;

    // The castor's step: waits for entries (up to AWait when given) and takes them all.
    TQLogList Take(const std::chrono::milliseconds* AWait, bool& ATerminated);
    void WaitFlushed(qint64 ASequence);

    TQLogList FList;
    std::atomic<bool> FInFree {false};
    std::atomic<qint64> FCount {0};
    std::atomic<qint64> FFlushed {0};
    std::mutex FCS; // FList and FCount
    std::condition_variable FNotify;
    bool FTerminated = false; // under FCS
    std::mutex FSyncLock;
    std::condition_variable FSyncEvent; // a batch was dispatched
    std::atomic<TQLogMode> FMode {lmAsyn};
    std::atomic<TQLogLevels> FAcceptLevels {ALL_LOG_LEVELS};
    std::atomic<bool> FEnabled {true};
    std::unique_ptr<TQLogCastor> FCastor; // last: its thread starts once the rest is ready
};

// The process-wide log, installed by the program entry.
inline TQLog* GlobalLog()
{
    return TGlobal<TQLog>::Get();
}

// Queues an entry on the global log; does nothing when there is none (also while it is being destroyed).
void LogLine(TQLogLevel ALevel, QStringView AMsg, QStringView ATag = {});
