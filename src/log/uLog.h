#pragma once

#include "foundation/globals.h"

#include <QFile>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

constexpr qint64 KDefaultLogSizeMax = 10485760;

// UTF-16 little-endian with a byte-order mark and CR LF lines, as the log has always been written; or UTF-8 without
// a mark and with LF lines, which tail, grep and less read as they are.
enum class TLogEncoding { Utf16Le, Utf8 };

// One open log file: one line per entry in its encoding, rotated to numbered backups (".bak1" the newest). A file
// found in the other encoding is rotated away before the first line, so no file mixes the two. The file stays locked
// against other writers while it is open; a file that is held elsewhere makes it try "name_1.log", "name_2.log" and so
// on.
class TLogObj {
public:
    // AModuleFileName is the executable's full name: the default log name comes from it, and its folder holds the
    // "detaillog.ldt" switch. Throws EQuenlarError when no file can be opened.
    TLogObj(const QString& ALogFile, const QString& AModuleFileName);
    // Closes the file; deletes it when nothing was ever written to it.
    ~TLogObj();
    TLogObj(const TLogObj&) = delete;
    TLogObj& operator=(const TLogObj&) = delete;

    // Throws EQuenlarError when the file cannot be written.
    void WriteLog(const QString& LogContent, bool IsDetail);

    QString LogFileName() const;
    void SetBakLogCount(int ACount);
    void SetWriteDT(bool AWriteDT);
    void SetFileSizeMax(qint64 ASize);
    void SetEncoding(TLogEncoding AEncoding);

private:
    void Open(const QString& ALogFile);
    // Whether the open file's first bytes say another encoding than FEncoding.
    bool WrittenInAnotherEncoding();
    bool TryOpen(const QString& AName);
    void Rotate();
    void Write(const QByteArray& ABytes);

    mutable std::mutex CS;
    const QString MoudleFileName;
    QString FLogFileName;
    QFile FS;
    qint64 FFileSize = 0;
    qint64 FFileSizeMax = KDefaultLogSizeMax;
    int FBakLogCount = 1;
    bool FWriteDT = true;
    TLogEncoding FEncoding = TLogEncoding::Utf16Le;
    bool FEncodingChecked = false;
};

// The thread-safe front of the log file: opens it on demand and, with ShareWrite, closes it after every line.
// Write failures never reach the caller.
class TLogManage {
public:
    // AModuleFileName: the executable's full name; empty means the running executable's.
    explicit TLogManage(const QString& AModuleFileName = {});
    ~TLogManage();
    TLogManage(const TLogManage&) = delete;
    TLogManage& operator=(const TLogManage&) = delete;

    // Empty when the line was written; otherwise why not (the line is lost, the next write tries again).
    QString WriteToLog(const QString& LogContent, bool IsDetail = false);

    int BakLogCount() const;
    void SetBakLogCount(int ACount);
    bool ShareWrite() const;
    void SetShareWrite(bool AShareWrite);
    QString LogFile() const;
    // A name other than the open file's (ignoring case) closes that file.
    void SetLogFile(const QString& ALogFile);
    bool WriteDT() const;
    void SetWriteDT(bool AWriteDT);
    void SetFileSizeMax(qint64 ASize);
    void SetEncoding(TLogEncoding AEncoding);
    bool IsClose() const { return FIsClose.load(); }
    void SetIsClose(bool AIsClose) { FIsClose.store(AIsClose); }

private:
    mutable std::mutex FCS;
    std::unique_ptr<TLogObj> FLogObj;
    const QString FModuleFileName;
    int FBakLogCount = 1;
    bool FShareWrite = true;
    QString FLogFile;
    bool FWriteDT = true;
    qint64 FFileSizeMax = KDefaultLogSizeMax;
    TLogEncoding FEncoding = TLogEncoding::Utf16Le;
    std::atomic<bool> FIsClose {false};
};

// The process-wide log file, installed by the program entry.
inline TLogManage* FileLog()
{
    return TGlobal<TLogManage>::Get();
}
