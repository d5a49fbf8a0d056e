#include "app/windowed.h"

#include "app/dataFolder.h"
#include "app/terminationSignals.h"
#include "app/ufrmMain.h"
#include "app/uiFont.h"

#include <QApplication>
#include <QMessageBox>

TWindowedProgram::TWindowedProgram(const TProcessObjects::TOptions& AOptions, const TSyncTiming& ATiming,
    const QString& AProgramFolder, bool ANewDataFolder)
    : FObjects(AOptions)
    , FWindow(std::make_unique<TfrmMain>())
    , FController(std::make_unique<TSyncController>(*FWindow,
          TSyncPaths {
              AProgramFolder.isEmpty() ? AOptions.dataFolder : AProgramFolder, AOptions.dataFolder, ANewDataFolder},
          ATiming))
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
    FController->Health().SetVersion(QStringLiteral(QUENLAR_VERSION));
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

int RefuseToStart(const QString& AText, int AExitCode)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Quenlar"), AText, QMessageBox::Ok);
    QObject::connect(&box, &QMessageBox::finished, &box, [AExitCode] { QCoreApplication::exit(AExitCode); });
    box.open();
    return QApplication::exec();
}

int RunWindowed(const TAppOptions& AOptions)
{
    // The values of the headless exit codes for the same causes.
    constexpr int kUnusableFolder = 2;
    constexpr int kFolderInUse = 5;
    QApplication::setFont(ProgramFont());
    // The window's close ends the program even while a message box or the login dialog is still up.
    QApplication::setQuitOnLastWindowClosed(false);
    TProcessObjects::TOptions options;
    options.dataFolder = ChooseDataFolder(TDataFolderSources::OfProcess(AOptions.dataDir));
    if (const QString problem = PrepareDataFolder(options.dataFolder); !problem.isEmpty())
        return RefuseToStart(QStringLiteral("数据文件夹无法使用:") + problem, kUnusableFolder);
    const bool newFolder = !HasRunBefore(options.dataFolder);
    // Taken before anything is written there, held until the program has ended.
    const TInstanceLock lock(options.dataFolder);
    if (!lock.IsHeld())
        return RefuseToStart(lock.WindowText(), lock.InUse() ? kFolderInUse : kUnusableFolder);
    TWindowedProgram program(options, {}, QCoreApplication::applicationDirPath(), newFolder);
    program.Open();
    TfrmMain& window = program.Window();
    const TTerminationSignals signals([&window](int) { window.close(); });
    window.show();
    const int exitCode = QApplication::exec();
    program.Close();
    return exitCode;
}
