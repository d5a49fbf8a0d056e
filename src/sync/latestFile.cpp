#include "sync/latestFile.h"

#include "sync/statusFile.h"

#include <exception>

TLatestFile::TLatestFile(const QString& APath, TContent AContent, TWritten AWritten, std::chrono::milliseconds AGap)
    : FPath(APath)
    , FContent(std::move(AContent))
    , FWritten(std::move(AWritten))
    , FGap(AGap)
    , FThread([this] { Run(); })
{
}

TLatestFile::~TLatestFile()
{
    {
        const std::scoped_lock lock(FLock);
        FEnding = true;
    }
    FWake.notify_all();
    FThread.join();
}

void TLatestFile::Touch()
{
    {
        const std::scoped_lock lock(FLock);
        ++FTouched;
    }
    FWake.notify_all();
}

void TLatestFile::Flush()
{
    std::unique_lock lock(FLock);
    const quint64 wanted = FTouched;
    FWake.notify_all();
    FDone.wait(lock, [this, wanted] { return FWrittenUpTo >= wanted; });
}

void TLatestFile::Run()
{
    std::unique_lock lock(FLock);
    while (true) {
        FWake.wait(lock, [this] { return FEnding || FTouched != FWrittenUpTo; });
        if (FTouched == FWrittenUpTo)
            break; // ending, nothing left to write
        const quint64 taking = FTouched;
        lock.unlock();
        QString error;
        bool written = false;
        try {
            written = WriteFileAtomically(FPath, FContent(), &error);
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        } catch (...) {
            error = QStringLiteral("unknown error");
        }
        if (FWritten && FLastWritten != written) {
            try {
                FWritten(written, error);
            } catch (...) {
                // Nothing may leave the writer's thread.
            }
        }
        FLastWritten = written;
        lock.lock();
        FWrittenUpTo = taking;
        FDone.notify_all();
        // A pause between writes, cut short by the end, which writes what is left at once.
        FWake.wait_for(lock, FGap, [this] { return FEnding; });
    }
    FDone.notify_all();
}
