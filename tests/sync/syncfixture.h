#pragma once

#include "app/processObjects.h"
#include "log/QLog.h"
#include "logLines.h"
#include "standin/testservices.h"
#include "sync/syncController.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the controller asked of its front end.
class TRecordingFrontEnd : public TSyncFrontEnd {
public:
    struct TMessage {
        QString text;
        QString title;
        TButtons buttons;
        TIcon icon;
    };

    void MessageBox(const QString& AText, const QString& ATitle, TButtons AButtons, TIcon AIcon) override
    {
        FMessages.push_back({AText, ATitle, AButtons, AIcon});
    }
    void OperatorPanelChanged(const QString& AText) override { FPanel = AText; }
    void ControlsChanged() override { ++FControlsChanged; }

    std::vector<TMessage> FMessages;
    QString FPanel;
    int FControlsChanged = 0;
};

// The stand-ins, the process-wide objects and a controller with short intervals on a program folder.
class SyncFixture : public ::testing::Test, protected TStandInServices {
protected:
    void SetUp() override;
    void TearDown() override;

    // The end of the process, in its order.
    void Shutdown();
    // Signs in through the controller and waits for the account list.
    void SignInAndList();
    // Runs a job procedure of the controller on a worker and waits for it.
    void RunJob(const std::function<void(TQJob*)>& AProc);
    bool WaitMain(const std::function<bool()>& ACondition);

    QTemporaryDir FFolder;
    std::shared_ptr<TLogLines> FLog; // every log message, in order
    TRecordingFrontEnd FFrontEnd;
    std::unique_ptr<TProcessObjects> FObjects;
    std::unique_ptr<TSyncController> FController;
};
