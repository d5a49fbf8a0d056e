#pragma once

#include <QString>

#include <sqlite3.h>

#include <memory>

// Another program's connection to the order cache, holding an exclusive lock on it while the object lives or until
// Release: every lookup and record of the program's cache fails meanwhile (at once with a busy time-out of 0).
class THeldCacheLock {
public:
    explicit THeldCacheLock(const QString& AFile)
    {
        sqlite3* raw = nullptr;
        const bool open
            = sqlite3_open_v2(AFile.toUtf8().constData(), &raw, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
        FDB.reset(raw);
        FHeld = open && Exec("begin exclusive");
    }

    bool Held() const { return FHeld; }
    // Gives the lock back; true when it was held and is given back.
    bool Release()
    {
        const bool released = FHeld && Exec("rollback");
        FHeld = FHeld && !released;
        return released;
    }

private:
    bool Exec(const char* ASql) { return sqlite3_exec(FDB.get(), ASql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    std::unique_ptr<sqlite3, int (*)(sqlite3*)> FDB {nullptr, sqlite3_close_v2};
    bool FHeld = false;
};
