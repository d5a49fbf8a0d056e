#include "log/QLog.h"

#include "foundation/mainthread.h"
#include "foundation/mainthreadcalls.h"
#include "foundation/qerror.h"

#include <QThread>

#include <algorithm>
#include <cstring>
#include <new>

#if defined(Q_OS_LINUX)
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace std::chrono;

namespace {

// LogLine calls between reading the global log and leaving it; the log's destruction waits for them.
std::atomic<int> GLogLineCalls {0};

class TLogLineCall {
public:
    TLogLineCall() noexcept { GLogLineCalls.fetch_add(1, std::memory_order_acq_rel); }
    ~TLogLineCall() { GLogLineCalls.fetch_sub(1, std::memory_order_release); }
    TLogLineCall(const TLogLineCall&) = delete;
    TLogLineCall& operator=(const TLogLineCall&) = delete;
};

quint32 CurrentThreadId() noexcept
{
#if defined(Q_OS_LINUX)
    thread_local const auto id = static_cast<quint32>(syscall(SYS_gettid));
#else
    thread_local const auto id = static_cast<quint32>(reinterpret_cast<quintptr>(QThread::currentThreadId()));
#endif
    return id;
}

// A writer's fault never ends the dispatch thread.
template <class TCall> void Guarded(TCall&& ACall) noexcept
{
    try {
        ACall();
    } catch (...) {
    }
}

QStringView MessageView(const TQLogItem& AItem)
{
    return QStringView(AItem.Text(), AItem.MsgLen / 2);
}

QStringView TagView(const TQLogItem& AItem)
{
    return QStringView(AItem.Text() + AItem.MsgLen / 2, AItem.TagLen / 2);
}

// Woken by a first entry, the dispatch thread lets its followers join the batch: busy producers then wake it (and
// meet it at the lock) once per batch rather than once per entry, which keeps LogLine ahead of its rivals.
constexpr auto KGatherTime = microseconds(200);

} // namespace

void TQLogItemFree::operator()(TQLogItem* AItem) const noexcept
{
    AItem->~TQLogItem();
    ::operator delete(AItem);
}

TQLogItemPtr NewLogItem(TQLogLevel ALevel, QStringView AMsg, QStringView ATag)
{
    const std::size_t msgBytes = static_cast<std::size_t>(AMsg.size()) * sizeof(char16_t);
    const std::size_t tagBytes = static_cast<std::size_t>(ATag.size()) * sizeof(char16_t);
    void* block = ::operator new(sizeof(TQLogItem) + msgBytes + tagBytes);
    TQLogItemPtr item(new (block) TQLogItem);
    item->ThreadId = CurrentThreadId();
    item->TimeStamp = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    item->Level = ALevel;
    item->MsgLen = static_cast<int>(msgBytes);
    item->TagLen = static_cast<int>(tagBytes);
    if (msgBytes)
        std::memcpy(item->Text(), AMsg.utf16(), msgBytes);
    if (tagBytes)
        std::memcpy(item->Text() + AMsg.size(), ATag.utf16(), tagBytes);
    return item;
}

QString LogItemMessage(const TQLogItem& AItem)
{
    return MessageView(AItem).toString();
}

QString LogItemTag(const TQLogItem& AItem)
{
    return TagView(AItem).toString();
}

QDateTime LogItemTime(const TQLogItem& AItem)
{
    return QDateTime::fromMSecsSinceEpoch(AItem.TimeStamp / 1000);
}

QString LogLevelName(TQLogLevel ALevel)
{
    static const char16_t* const names[]
        = {u"Emergency", u"Alert", u"Fatal", u"Error", u"Warning", u"Hint", u"Message", u"Debug"};
    return ALevel >= llEmergency && ALevel <= llDebug ? QString::fromUtf16(names[ALevel]) : QString::number(ALevel);
}

TQLogList::TQLogList(TQLogList&& AOther) noexcept
    : First(std::exchange(AOther.First, nullptr))
    , Last(std::exchange(AOther.Last, nullptr))
{
}

TQLogList& TQLogList::operator=(TQLogList&& AOther) noexcept
{
    if (this != &AOther) {
        Clear();
        First = std::exchange(AOther.First, nullptr);
        Last = std::exchange(AOther.Last, nullptr);
    }
    return *this;
}

void TQLogList::Append(TQLogItemPtr AItem) noexcept
{
    TQLogItem* item = AItem.release();
    item->Next = nullptr;
    if (Last)
        Last->Next = item;
    else
        First = item;
    Last = item;
}

TQLogItemPtr TQLogList::TakeFirst() noexcept
{
    TQLogItemPtr item(First);
    if (First) {
        First = First->Next;
        if (!First)
            Last = nullptr;
        item->Next = nullptr;
    }
    return item;
}

void TQLogList::Clear() noexcept
{
    while (TakeFirst()) { }
}

bool TQLogWriter::Accepts(const TQLogItem& AItem) const
{
    const TQLogLevel level = AItem.Level;
    bool accept = FEnabled.load() && level >= llEmergency && level <= llDebug
        && (FAcceptLevels.load() & QLogLevelBit(level)) != 0;
    if (accept && !FAcceptTags.isEmpty()) {
        const QStringView tag = TagView(AItem);
        accept = std::any_of(FAcceptTags.cbegin(), FAcceptTags.cend(),
            [tag](const QString& AAccepted) { return tag.compare(AAccepted, Qt::CaseInsensitive) == 0; });
    }
    if (FOnAccept)
        FOnAccept(*this, AItem, accept);
    return accept;
}

QString TQLogWriter::FormatItem(const TQLogItem& AItem) const
{
    return u'[' + QString::number(AItem.ThreadId) + u']' + LogItemTime(AItem).toString(u"hh:mm:ss.zzz") + u' '
        + LogLevelName(AItem.Level) + u':' + MessageView(AItem).toString();
}

void TQLogWriter::HandleNeeded()
{
    throw EQuenlarError(QStringLiteral("需要的日志写入对象句柄无法创建。"));
}

bool TQLogWriter::WriteItem(const TQLogItem&)
{
    return false;
}

TQLogCastor::TQLogCastor(TQLog& AOwner)
    : FOwner(AOwner)
    , FThread([this] { Execute(); })
{
}

TQLogCastor::~TQLogCastor()
{
    Terminate();
    FThread.join();
}

void TQLogCastor::Register(std::unique_ptr<TQLogWriter> AWriter)
{
    AWriter->HandleNeeded();
    AWriter->FCastor.store(this);
    if (AWriter->LazyMode()) {
        int none = 0;
        FLazyInterval.compare_exchange_strong(none, 100);
    }
    std::scoped_lock lock(FCS);
    FWriters.push_front(std::move(AWriter));
}

void TQLogCastor::Execute()
{
    FLastLazyWriteTime = steady_clock::now();
    while (true) {
        bool terminated = false;
        const int lazy = FLazyInterval.load();
        TQLogList batch;
        if (lazy != 0) {
            const milliseconds wait(lazy);
            batch = FOwner.Take(&wait, terminated);
            if (batch.Empty() && !terminated) {
                LazyFlush();
                batch = FOwner.Take(nullptr, terminated);
            }
            if (steady_clock::now() - FLastLazyWriteTime > wait)
                LazyFlush();
        } else {
            batch = FOwner.Take(nullptr, terminated);
        }
        if (!batch.Empty())
            Dispatch(batch);
        else if (terminated)
            break;
    }
    DestroyWriters();
    {
        std::scoped_lock lock(FFinishedLock);
        FIsFinished.store(true);
    }
    FFinished.notify_all();
}

void TQLogCastor::Dispatch(TQLogList& ABatch)
{
    {
        std::scoped_lock lock(FCS);
        FServing.clear();
        for (const auto& writer : FWriters)
            FServing.push_back(writer.get());
    }
    for (TQLogWriter* writer : FServing)
        Guarded([writer] { writer->BatchStarted(); });
    const int lazy = FLazyInterval.load();
    while (TQLogItemPtr item = ABatch.TakeFirst()) {
        FActiveLog.store(item.get());
        for (TQLogWriter* writer : FServing) {
            Guarded([writer, &item] {
                if (writer->Accepts(*item))
                    writer->WriteItem(*item);
            });
        }
        FActiveLog.store(nullptr);
        item.reset();
        FOwner.FFlushed.fetch_add(1);
        if (lazy != 0 && steady_clock::now() - FLastLazyWriteTime > milliseconds(lazy))
            LazyFlush();
    }
    {
        std::scoped_lock lock(FOwner.FSyncLock);
    }
    FOwner.FSyncEvent.notify_all();
    for (TQLogWriter* writer : FServing)
        Guarded([writer] { writer->BatchFinished(); });
}

void TQLogCastor::LazyFlush()
{
    FLastLazyWriteTime = steady_clock::now();
    {
        std::scoped_lock lock(FCS);
        FServing.clear();
        for (const auto& writer : FWriters)
            FServing.push_back(writer.get());
    }
    for (TQLogWriter* writer : FServing)
        Guarded([writer] { writer->FlushLazy(); });
}

void TQLogCastor::DestroyWriters()
{
    std::list<std::unique_ptr<TQLogWriter>> writers;
    {
        std::scoped_lock lock(FCS);
        writers.swap(FWriters);
    }
    FServing.clear();
    for (auto& writer : writers) {
        if (writer->LazyMode())
            Guarded([&writer] { writer->FlushLazy(); });
        writer.reset();
    }
}

void TQLogCastor::Terminate()
{
    {
        std::scoped_lock lock(FOwner.FCS);
        FOwner.FTerminated = true;
    }
    FOwner.FNotify.notify_all();
}

void TQLogCastor::WaitFinished()
{
    // Main-thread calls still run meanwhile, in case a writer waits for one.
    const bool onMain = IsMainThread();
    std::unique_lock lock(FFinishedLock);
    while (!FIsFinished.load()) {
        if (onMain) {
            lock.unlock();
            if (TMainThreadCalls* calls = MainThreadCalls())
                calls->RunQueued();
            lock.lock();
        }
        FFinished.wait_for(lock, milliseconds(10), [this] { return FIsFinished.load(); });
    }
}

TQLog::TQLog()
    : FCastor(std::make_unique<TQLogCastor>(*this))
{
}

TQLog::~TQLog()
{
    FInFree.store(true);
    if (TGlobal<TQLog>::Get() == this)
        TGlobal<TQLog>::Set(nullptr);
    // A LogLine that read the global before it was cleared may still be inside Post. The read-modify-write pairs
    // with the callers' increment: either this sees their count, or they see the cleared global.
    while (GLogLineCalls.fetch_add(0, std::memory_order_acq_rel) != 0)
        std::this_thread::yield();
    FCastor->Terminate();
    FCastor->WaitFinished();
    FCastor.reset();
}

void TQLog::Post(TQLogLevel ALevel, QStringView AMsg, QStringView ATag)
{
    if (!FEnabled.load(std::memory_order_relaxed) || FInFree.load())
        return;
    if (ALevel < llEmergency || ALevel > llDebug
        || (FAcceptLevels.load(std::memory_order_relaxed) & QLogLevelBit(ALevel)) == 0)
        return;
    TQLogItemPtr item = NewLogItem(ALevel, AMsg, ATag);
    qint64 sequence = 0;
    bool wasEmpty = false;
    {
        std::scoped_lock lock(FCS);
        sequence = FCount.fetch_add(1, std::memory_order_relaxed) + 1;
        wasEmpty = FList.Empty();
        FList.Append(std::move(item));
    }
    // The castor empties the queue whenever it wakes, so only the first entry of a batch needs to wake it.
    if (wasEmpty)
        FNotify.notify_one();
    if (FMode.load(std::memory_order_relaxed) == lmSync && !FCastor->IsCastorThread())
        WaitFlushed(sequence);
}

TQLogList TQLog::Take(const milliseconds* AWait, bool& ATerminated)
{
    std::unique_lock lock(FCS);
    const auto ready = [this] { return !FList.Empty() || FTerminated; };
    if (!ready()) {
        if (AWait)
            FNotify.wait_for(lock, *AWait, ready);
        else
            FNotify.wait(lock, ready);
        // Let the first entry's followers join the batch (KGatherTime); not in lmSync, whose posts wait for it.
        if (!FTerminated && !FList.Empty() && FMode.load(std::memory_order_relaxed) == lmAsyn) {
            lock.unlock();
            std::this_thread::sleep_for(KGatherTime);
            lock.lock();
        }
    }
    ATerminated = FTerminated;
    return std::move(FList);
}

void TQLog::WaitFlushed(qint64 ASequence)
{
    std::unique_lock lock(FSyncLock);
    while (FFlushed.load() < ASequence && FCastor->Exists())
        FSyncEvent.wait_for(lock, milliseconds(50));
}

void LogLine(TQLogLevel ALevel, QStringView AMsg, QStringView ATag)
{
    const TLogLineCall call;
    if (TQLog* log = TGlobal<TQLog>::Get()) {
        try {
            log->Post(ALevel, AMsg, ATag);
        } catch (...) { // out of memory: the entry is lost, the caller goes on
        }
    }
}
