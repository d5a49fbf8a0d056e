#pragma once

#include <QLockFile>
#include <QString>

// What decides the data folder (conf.ini, db.db, the log, browser-profile/, the status file).
struct TDataFolderSources {
    QString option; // --data-dir
    QString environment; // QUENLAR_DATA_DIR
    QString programFolder; // the executable's folder
    QString xdgDataHome; // $XDG_DATA_HOME
    QString home; // $HOME

    // The environment of this process, with the command line's --data-dir and the running executable's folder.
    static TDataFolderSources OfProcess(const QString& AOption);
};

// The name of the file that marks a program folder as part of an installation: such a folder never holds data, even
// when the user (root) could write there.
inline constexpr char16_t kInstalledMarker[] = u"quenlar.installed";

// --data-dir, else QUENLAR_DATA_DIR, else the program folder when it is writable and not installed, else
// $XDG_DATA_HOME/quenlar ($HOME/.local/share/quenlar when that is unset or not absolute). Absolute, clean.
QString ChooseDataFolder(const TDataFolderSources& ASources);

// Creates the folder with every missing parent, each readable by its owner only (0700); an existing folder keeps its
// mode. Empty when the folder is usable, else one line naming the folder and what is wrong with it.
QString PrepareDataFolder(const QString& AFolder);

// Whether a run has used the folder: its order cache, lock file, health file or a log file is there. Asked before
// the lock is taken, which makes a lock file of its own. In a folder no run has used, the order cache may be made;
// a cache gone from a used one is a fault to report, not to paper over with an empty cache that delivers again.
bool HasRunBefore(const QString& AFolder);

// An flock(2) held on a file or folder for the object's life. Unlike a lock file it cannot be deleted out from under
// its holder, and it goes with the process whatever ends it. Not inherited by child processes.
class TFlock {
public:
    TFlock() = default;
    // Tries once; Busy() when another open of the path holds it.
    explicit TFlock(const QString& APath);
    ~TFlock();
    TFlock(TFlock&& AOther) noexcept;
    TFlock& operator=(TFlock&& AOther) noexcept;
    TFlock(const TFlock&) = delete;
    TFlock& operator=(const TFlock&) = delete;

    bool IsHeld() const { return FFd >= 0; }
    bool Busy() const { return FBusy; }

private:
    int FFd = -1;
    bool FBusy = false;
};

// One program per data folder and per order cache: two would both deliver every order. Held for the object's life
// through an flock on the folder itself (so deleting the lock file lets nobody in), the lock file "quenlar.lock"
// (which names the holder; the lock of a process that has died is taken over) and an flock on the order cache's real
// path (so two data folders whose db.db is one file by a symlink never run side by side).
class TInstanceLock {
public:
    explicit TInstanceLock(const QString& AFolder);
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    bool IsHeld() const { return FFile.isLocked(); }
    // Another running copy holds the folder or its cache (as opposed to a folder where no lock file can be made).
    bool InUse() const { return FError == QLockFile::LockFailedError; }
    // Why the lock is not held: which process holds the folder, or why the lock file cannot be made. One line for
    // stderr; the window's message box says the same in the window's language.
    QString Problem() const;
    QString WindowText() const;

private:
    QString Holder() const;

    const QString FFolder;
    TFlock FFolderLock;
    QLockFile FFile;
    TFlock FCacheLock;
    QString FSharedCache; // the real path of an order cache another copy holds through another folder
    QLockFile::LockError FError = QLockFile::NoError;
};
