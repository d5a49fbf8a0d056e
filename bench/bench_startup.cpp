// Start-up and resident memory of the real program, measured from outside against the stand-in with 200 accounts:
//   BM_ColdStart/headless  exec of `quenlar --headless` to its first request (the sign-in) at the stand-in
//   BM_ColdStart/window    exec of `quenlar` (offscreen) to the main window's first frame, reported by the probe
//   BM_Resident/window     resident memory signed in with 200 accounts and idle, then during the first pass
//   BM_Resident/headless   resident memory during the first pass
// The window cases load bench/windowprobe.cpp into the program (LD_PRELOAD), which reports on a pipe and clicks
// through sign-in and start as a user would; the program itself is the installed one, unchanged.
#include "standInFolder.h"
#include "standin/standin.h"
#include "store/udb.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

constexpr int kAccounts = 200;
// The pass is measured once this many accounts' orders have reached the intake: far enough in that every part of
// it runs, early enough that the case ends in seconds (the whole pass takes minutes).
constexpr size_t kMidPassBatches = 10;
constexpr auto kWaitLimit = std::chrono::seconds(40);

// quenlar-window beside the program, as an install has it: the window cases start quenlar, which hands over to it.
void CopyWindowProgram([[maybe_unused]] const QString& AFolder)
{
#ifdef QUENLAR_WINDOW_BINARY
    if (!QFile::copy(QStringLiteral(QUENLAR_WINDOW_BINARY), AFolder + QStringLiteral("/quenlar-window")))
        throw std::runtime_error("cannot copy the window program");
#endif
}

// The stand-in with 200 demo accounts and a program folder pointing at it: the program copied in, its conf.ini
// and a prepared order cache, as an install has them.
class TStartWorld {
public:
    TStartWorld()
        : FFolder(StandInOptions(), "syncysh=0\nopenLarge=0\n")
        , FProgram(FFolder.filePath(QStringLiteral("quenlar")))
    {
        if (!QFile::copy(QStringLiteral(QUENLAR_BINARY), FProgram))
            throw std::runtime_error("cannot copy the program");
        CopyWindowProgram(FFolder.path());
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
    }

    std::string Program() const { return FProgram.toStdString(); }
    std::string Folder() const { return FFolder.path().toStdString(); }
    const std::string& Phone() const { return FFolder.StandIn().Operator().Phone(); }
    const std::string& Password() const { return FFolder.StandIn().Operator().Password(); }
    TTestServer& Server(TStandInHost AHost) { return FFolder.StandIn().Server(AHost); }

    // Another run starts on a fresh cache, so that it delivers the same orders as the first.
    void FreshCache()
    {
        QFile::remove(FFolder.filePath(QStringLiteral("db.db")));
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
    }

private:
    static TStandInOptions StandInOptions()
    {
        TStandInOptions options;
        options.accounts = kAccounts;
        options.record = true; // the request counts are the signals
        return options;
    }

    TStandInFolder FFolder;
    QString FProgram;
};

TStartWorld& World()
{
    static TStartWorld world;
    return world;
}

// The program as a child process: standard input a pipe, output into files of the world folder, descriptor 3 the
// probe's report pipe. Ended with SIGTERM (the program's orderly stop) when it goes.
class TChild {
public:
    TChild(const std::vector<std::string>& AArguments, const std::map<std::string, std::string>& AEnvironment)
    {
        int input[2];
        int report[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        FInput = input[1];
        FReport = report[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, report[1], 3);
        const std::string out = World().Folder() + "/child.out";
        const std::string err = World().Folder() + "/child.err";
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text(*entry);
            if (AEnvironment.count(text.substr(0, text.find('='))) == 0)
                environment.push_back(text);
        }
        for (const auto& [name, value] : AEnvironment)
            environment.push_back(name + '=' + value);
        std::vector<char*> argv;
        for (const std::string& argument : AArguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);

        FStarted = TClock::now();
        const int error = posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(report[1]);
        if (error != 0)
            throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(error));
    }

    ~TChild()
    {
        ::kill(FPid, SIGTERM);
        const TClock::time_point limit = TClock::now() + kWaitLimit;
        int status = 0;
        while (::waitpid(FPid, &status, WNOHANG) == 0) {
            if (TClock::now() > limit) {
                ::kill(FPid, SIGKILL);
                ::waitpid(FPid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(FInput);
        ::close(FReport);
    }

    TClock::time_point Started() const { return FStarted; }

    // The probe's next line, or an empty one when none came within the limit.
    std::string ReadLine()
    {
        const TClock::time_point limit = TClock::now() + kWaitLimit;
        while (FPending.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - TClock::now());
            pollfd fd {FReport, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, int(left.count())) <= 0)
                return {};
            char buffer[256];
            const ssize_t read = ::read(FReport, buffer, sizeof buffer);
            if (read <= 0)
                return {};
            FPending.append(buffer, size_t(read));
        }
        const size_t end = FPending.find('\n');
        std::string line = FPending.substr(0, end);
        FPending.erase(0, end + 1);
        return line;
    }

    void Send(const std::string& ALine) const
    {
        [[maybe_unused]] const ssize_t written = ::write(FInput, ALine.data(), ALine.size());
    }

    // A field of /proc/PID/status in megabytes (VmRSS: now, VmHWM: the peak so far).
    double MegaBytes(const std::string& AField) const
    {
        std::ifstream status("/proc/" + std::to_string(FPid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind(AField + ':', 0) == 0)
                return std::stod(line.substr(AField.size() + 1)) / 1024;
        return 0;
    }

private:
    pid_t FPid = 0;
    int FInput = -1;
    int FReport = -1;
    std::string FPending;
    TClock::time_point FStarted;
};

double MillisecondsSince(TClock::time_point AStart)
{
    return std::chrono::duration<double, std::milli>(TClock::now() - AStart).count();
}

std::map<std::string, std::string> HeadlessEnvironment()
{
    return {{"QUENLAR_PASSWORD", World().Password()}};
}

std::vector<std::string> HeadlessArguments()
{
    return {World().Program(), "--headless", "--phone", World().Phone()};
}

// Waits until the server has seen ACount requests in all; false when it did not within the limit.
bool WaitForRequests(TStandInHost AHost, size_t ACount)
{
    return World().Server(AHost).WaitForRequests(
        ACount, std::chrono::duration_cast<std::chrono::milliseconds>(kWaitLimit));
}

void ColdStartHeadless(benchmark::State& AState)
{
    for (auto _ : AState) {
        const size_t before = World().Server(TStandInHost::Operator).RequestCount();
        TChild child(HeadlessArguments(), HeadlessEnvironment());
        if (!WaitForRequests(TStandInHost::Operator, before + 1)) {
            AState.SkipWithError("no request at the stand-in");
            break;
        }
        AState.SetIterationTime(MillisecondsSince(child.Started()) / 1000);
    }
}

void ResidentHeadless(benchmark::State& AState)
{
    for (auto _ : AState) {
        World().FreshCache();
        const size_t before = World().Server(TStandInHost::Intake).RequestCount();
        TChild child(HeadlessArguments(), HeadlessEnvironment());
        if (!WaitForRequests(TStandInHost::Intake, before + kMidPassBatches)) {
            AState.SkipWithError("the pass did not get going");
            break;
        }
        AState.counters["mid_pass_MB"] = child.MegaBytes("VmRSS");
        AState.counters["peak_MB"] = child.MegaBytes("VmHWM");
    }
}

#ifdef QUENLAR_WINDOW_PROBE
std::map<std::string, std::string> WindowEnvironment(bool ASignIn)
{
    std::map<std::string, std::string> environment {
        {"QT_QPA_PLATFORM", "offscreen"}, {"LD_PRELOAD", QUENLAR_WINDOW_PROBE}, {"QUENLAR_PROBE_FD", "3"}};
    if (ASignIn) {
        environment["QUENLAR_PROBE_PHONE"] = World().Phone();
        environment["QUENLAR_PROBE_PASSWORD"] = World().Password();
        environment["QUENLAR_PROBE_ACCOUNTS"] = std::to_string(kAccounts);
    }
    return environment;
}

void ColdStartWindow(benchmark::State& AState)
{
    for (auto _ : AState) {
        TChild child({World().Program()}, WindowEnvironment(false));
        if (child.ReadLine() != "shown") {
            AState.SkipWithError("the window was not shown");
            break;
        }
        AState.SetIterationTime(MillisecondsSince(child.Started()) / 1000);
    }
}

void ResidentWindow(benchmark::State& AState)
{
    for (auto _ : AState) {
        World().FreshCache();
        TChild child({World().Program()}, WindowEnvironment(true));
        if (child.ReadLine() != "shown" || child.ReadLine() != "accounts " + std::to_string(kAccounts)) {
            AState.SkipWithError("no account list in the window");
            break;
        }
        // Idle: whatever the sign-in left to finish (the status line, a message box) has settled.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        AState.counters["idle_MB"] = child.MegaBytes("VmRSS");
        const size_t before = World().Server(TStandInHost::Intake).RequestCount();
        child.Send("start\n");
        if (!WaitForRequests(TStandInHost::Intake, before + kMidPassBatches)) {
            AState.SkipWithError("the pass did not get going");
            break;
        }
        AState.counters["mid_pass_MB"] = child.MegaBytes("VmRSS");
        AState.counters["peak_MB"] = child.MegaBytes("VmHWM");
    }
}
#endif

[[maybe_unused]] const bool kRegistered = [] {
    benchmark::RegisterBenchmark("BM_ColdStart/headless", ColdStartHeadless)
        ->UseManualTime()
        ->Iterations(10)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_Resident/headless", ResidentHeadless)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
#ifdef QUENLAR_WINDOW_PROBE
    benchmark::RegisterBenchmark("BM_ColdStart/window", ColdStartWindow)
        ->UseManualTime()
        ->Iterations(10)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_Resident/window", ResidentWindow)->Iterations(1)->Unit(benchmark::kMillisecond);
#endif
    return true;
}();

} // namespace
