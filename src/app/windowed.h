#pragma once

#include "app/appOptions.h"
#include "app/processObjects.h"
#include "sync/syncController.h"

#include <memory>

class TfrmMain;

// The program with its window, built in the program's order: the process objects, the window (which registers the
// log writer), the controller with the window as its front end. The end runs in order too: no datagram is taken
// any more, the jobs are stopped and waited for, then the controller, the window and the process objects go.
// Closing the window ends the event loop, also from inside a message box.
class TWindowedProgram {
public:
    // AProgramFolder holds browser.exe; empty: the data folder does.
    // AProgramFolder empty: the data folder. ANewDataFolder: no run has used it (its order cache is made).
    explicit TWindowedProgram(const TProcessObjects::TOptions& AOptions, const TSyncTiming& ATiming = {},
        const QString& AProgramFolder = {}, bool ANewDataFolder = false);
    ~TWindowedProgram();
    TWindowedProgram(const TWindowedProgram&) = delete;
    TWindowedProgram& operator=(const TWindowedProgram&) = delete;

    // What follows the window's creation: the listener, the order cache, the keep-alive job, the check boxes.
    void Open();
    // The end after the event loop; runs once (the destructor calls it too).
    void Close();

    TfrmMain& Window() const { return *FWindow; }
    TSyncController& Controller() const { return *FController; }
    TProcessObjects& Objects() { return FObjects; }

private:
    TProcessObjects FObjects;
    std::unique_ptr<TfrmMain> FWindow;
    std::unique_ptr<TSyncController> FController;
};

// Shows why the program cannot start (its data folder is unusable or held by another copy) in a message box, and
// returns AExitCode once the box is closed; nothing else opens.
int RefuseToStart(const QString& AText, int AExitCode);

// Runs Quenlar with its window under the QApplication that main created; returns the exit code.
int RunWindowed(const TAppOptions& AOptions);
