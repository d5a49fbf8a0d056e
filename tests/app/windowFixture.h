#pragma once

#include "app/messageBox.h"
#include "app/ufrmLogin.h"
#include "app/ufrmMain.h"
#include "app/windowed.h"
#include "standin/testservers.h"
#include "store/udb.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// An operator back end on 127.0.0.1: each path answers with the replies queued for it (the last one repeats), after
// an optional hold that the test releases.
class TOperatorBackEnd {
public:
    TOperatorBackEnd()
    {
        for (const char* path : {"/client/dbmove/login", "/client/alimmtoken/getSyncOrderToken"}) {
            FServer.Post(path, [this](const httplib::Request& ARequest, httplib::Response& AResponse) {
                std::unique_lock lock(FMutex);
                FHeld.wait(lock, [this] { return !FHold; });
                std::vector<std::string>& queue = FReplies[ARequest.path];
                AResponse.set_content(queue.empty() ? std::string("{}") : queue.front(), "application/json");
                if (queue.size() > 1)
                    queue.erase(queue.begin());
            });
        }
        FServer.Start();
    }
    ~TOperatorBackEnd() { Release(); }

    void Answer(const std::string& APath, std::vector<std::string> AReplies)
    {
        const std::scoped_lock lock(FMutex);
        FReplies[APath] = std::move(AReplies);
    }
    // Requests wait until Release: a slow back end.
    void Hold()
    {
        const std::scoped_lock lock(FMutex);
        FHold = true;
    }
    void Release()
    {
        {
            const std::scoped_lock lock(FMutex);
            FHold = false;
        }
        FHeld.notify_all();
    }
    TTestServer& Server() { return FServer; }

private:
    std::mutex FMutex;
    std::condition_variable FHeld;
    bool FHold = false; // guarded by FMutex
    std::map<std::string, std::vector<std::string>> FReplies; // guarded by FMutex
    TTestServer FServer; // last: stopped before the state its handlers use goes
};

// The whole window program in a temporary program folder, its message boxes answered by a recorder.
class TWindowFixture {
public:
    // AIni: the conf.ini to write first; empty writes none. The default names a back end nobody answers at, so that
    // the window starts without a complaint about its settings. The order cache is prepared, as by the installer.
    explicit TWindowFixture(const QByteArray& AIni = QByteArrayLiteral("[hosts]\noperatorService=127.0.0.1:9\n"))
    {
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        if (!AIni.isEmpty()) {
            QFile ini(IniPath());
            if (ini.open(QIODevice::WriteOnly))
                ini.write(AIni);
        }
    }
    ~TWindowFixture()
    {
        if (FProgram)
            FProgram->Close();
    }

    static QByteArray HostsIni(const TTestServer& AServer)
    {
        return "[hosts]\noperatorService=" + AServer.HostValue().toUtf8() + "\n";
    }

    QString IniPath() const { return FFolder.filePath(QStringLiteral("conf.ini")); }
    QString FolderPath() const { return FFolder.path(); }

    TWindowedProgram& Start(const TSyncTiming& ATiming = {})
    {
        TProcessObjects::TOptions options;
        options.dataFolder = FFolder.path();
        options.moduleFileName = FFolder.filePath(QStringLiteral("quenlar"));
        FProgram = std::make_unique<TWindowedProgram>(options, ATiming);
        Window().MessageBoxes().SetHook(
            [this](const TMessageBoxes::TRequest& ARequest) { FBoxes.push_back(ARequest); });
        // Not shown: nothing here needs painting, and Qt's raster engine paints large areas on a thread pool that
        // ThreadSanitizer cannot see into.
        FProgram->Open();
        return *FProgram;
    }
    void Close()
    {
        FProgram->Window().close();
        FProgram->Close();
    }

    TWindowedProgram& Program() const { return *FProgram; }
    TfrmMain& Window() const { return FProgram->Window(); }
    TSyncController& Controller() const { return FProgram->Controller(); }
    template <class T> T* Child(const char* AName) const { return Window().findChild<T*>(QString::fromLatin1(AName)); }

    std::vector<TMessageBoxes::TRequest>& Boxes() { return FBoxes; }
    QString LastBoxText() const { return FBoxes.empty() ? QString() : FBoxes.back().text; }

private:
    QTemporaryDir FFolder;
    std::unique_ptr<TWindowedProgram> FProgram;
    std::vector<TMessageBoxes::TRequest> FBoxes;
};

// Fills in the login dialog and clicks "登录".
inline void SignInWith(TfrmLogin& ADialog, const QString& APhone, const QString& APwd)
{
    ADialog.findChild<QLineEdit*>(QStringLiteral("E_UserName"))->setText(APhone);
    ADialog.findChild<QLineEdit*>(QStringLiteral("E_PassWord"))->setText(APwd);
    QTest::mouseClick(ADialog.findChild<QAbstractButton*>(QStringLiteral("btn_Login")), Qt::LeftButton);
}
