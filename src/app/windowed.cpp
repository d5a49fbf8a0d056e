#include "app/windowed.h"

#include "app/terminationSignals.h"
#include "app/ufrmMain.h"
#include "app/uiFont.h"

#include <QApplication>

TWindowedProgram::TWindowedProgram(const TProcessObjects::TOptions& AOptions, const TSyncTiming& ATiming)
    : FObjects(AOptions)
    , FWindow(std::make_unique<TfrmMain>())
    , FController(std::make_unique<TSyncController>(
          *FWindow, TSyncPaths {AOptions.programFolder, AOptions.programFolder}, ATiming))
{
    FWindow->SetController(FController.get());
    // exit, not quit: boxes still open are owner-less windows, and quit would ask them whether the program may end.
    QObject::connect(FWindow.get(), &TfrmMain::Closed, FWindow.get(), [] { QCoreApplication::exit(0); });
}

TWindowedProgram::~TWindowedProgram()
{
    Close();
}

void TWindowedProgram::Open()
{
    FController->Open();
    FWindow->LoadSwitches();
}

void TWindowedProgram::Close()
{
    if (!FController)
        return;
    FController->CloseListener();
    FObjects.StopJobs();
    FController.reset();
    FWindow.reset();
}

int RunWindowed()
{
    QApplication::setFont(ProgramFont());
    // The window's close ends the program even while a message box or the login dialog is still up.
    QApplication::setQuitOnLastWindowClosed(false);
    TProcessObjects::TOptions options;
    options.programFolder = QCoreApplication::applicationDirPath();
    TWindowedProgram program(options);
    program.Open();
    TfrmMain& window = program.Window();
    const TTerminationSignals signals([&window](int) { window.close(); });
    window.show();
    const int exitCode = QApplication::exec();
    program.Close();
    return exitCode;
}
