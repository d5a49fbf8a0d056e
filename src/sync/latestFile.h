#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Keeps one file up to date from a thread of its own, so that no caller waits for the disk: Touch says the content
// changed; the thread asks for the newest content and writes it atomically (WriteFileAtomically). The latest state
// wins: changes made while a write runs are written once after it, and many changes between two writes cost one
// write. What was touched is written before the object goes.
class TLatestFile {
public:
    using TContent = std::function<QByteArray()>;
    // Whether the file could be written, after each write whose answer differs from the one before (the first
    // when it fails); called on the writer's thread.
    using TWritten = std::function<void(bool AWritten, const QString& AError)>;

    TLatestFile(const QString& APath, TContent AContent, TWritten AWritten = {},
        std::chrono::milliseconds AGap = std::chrono::milliseconds(100));
    ~TLatestFile();
    TLatestFile(const TLatestFile&) = delete;
    TLatestFile& operator=(const TLatestFile&) = delete;

    const QString& Path() const { return FPath; }
    // The content changed: the file is written soon. Any thread.
    void Touch();
    // Waits until what was touched before is on disk.
    void Flush();

private:
    void Run();

    const QString FPath;
    const TContent FContent;
    const TWritten FWritten;
    const std::chrono::milliseconds FGap; // at least this long between two writes
    std::mutex FLock;
    std::condition_variable FWake;
    std::condition_variable FDone;
    quint64 FTouched = 0; // guarded by FLock: touches so far
    quint64 FWrittenUpTo = 0; // guarded by FLock: the touches the last write took in
    bool FEnding = false; // guarded by FLock
    bool FLastWritten = true; // writer thread only: a first write that succeeds says nothing
    std::thread FThread; // last: started once everything above is ready
};
