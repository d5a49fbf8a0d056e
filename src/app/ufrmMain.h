#pragma once

#include "app/accountListMarks.h"
#include "app/messageBox.h"
#include "log/QLog.h"
#include "sync/accountHealthModel.h"
#include "sync/syncFrontEnd.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <mutex>

class QCheckBox;
class QLabel;
class QMenu;
class QAction;
class QPlainTextEdit;
class QPushButton;
class QSortFilterProxyModel;
class QStatusBar;
class QTabWidget;
class QTableView;
class QToolBar;
class QToolButton;
class TCommon;
class TfrmLogin;
class TSyncController;

// The log pane as the log dispatch thread reaches it. Lines wait here and the main thread appends all that have
// arrived in one go, so a burst of entries costs one queued call, not one per line. Shared by the writer (owned by
// the log) and the window, either of which may go first.
class TLogPaneLink : public std::enable_shared_from_this<TLogPaneLink> {
public:
    explicit TLogPaneLink(QPlainTextEdit* AItems);

    // Any thread: queues the message text; the main thread turns it into a line.
    void Post(const QString& AText);
    // Main thread, before the pane goes: lines that arrive later are dropped.
    void Detach();

    // "[date-time]  text", the time being that of the append.
    static QString LineOf(const QString& AStamp, const QString& AText);
    static QString Stamp();
    // Main thread: appends what has arrived since the last call.
    void AppendLogLines();

private:
    std::mutex FCS;
    QPlainTextEdit* FItems; // guarded by FCS; null once detached
    QStringList FPending; // guarded by FCS
};

// The program's log writer: every entry becomes a line of the window's log pane.
class TMainAppLogWriter : public TQLogWriter {
public:
    explicit TMainAppLogWriter(std::shared_ptr<TLogPaneLink> ALink);

    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem& AItem) override;

private:
    const std::shared_ptr<TLogPaneLink> FLink;
};

// The main window: a view over the sync controller. It shows the controller's account list, operator state and
// switch states, and forwards clicks; the behaviour lives in the controller.
class TfrmMain : public QWidget, public TSyncFrontEnd {
    Q_OBJECT

public:
    static constexpr int LogLineLimit = 100000;

    // Builds the widgets and registers the log writer with the global log when there is one.
    TfrmMain();
    ~TfrmMain() override;

    // The controller to forward to; the window keeps no reference once it has gone.
    void SetController(TSyncController* AController);
    // The two check boxes from the settings; a changed box writes its value back at once.
    void LoadSwitches();

    TMessageBoxes& MessageBoxes() { return FBoxes; }
    TfrmLogin* LoginDialog() const; // the open login dialog, null when none
    QString PanelText(int APanel) const;

    void MessageBox(const QString& AText, const QString& ATitle, TButtons AButtons, TIcon AIcon) override;
    void OperatorPanelChanged(const QString& AText) override;
    void ControlsChanged() override;

Q_SIGNALS:
    // The user (or a termination signal) closed the window: the program ends.
    void Closed();

protected:
    void closeEvent(QCloseEvent* AEvent) override;

private:
    void CreateToolBar();
    void CreatePages();
    QWidget* CreateTaobaoPage();
    QWidget* CreateTextPage(QPlainTextEdit*& AText, const char* AName);
    QWidget* CreateHealthPage();
    // The account health changed: the marks of the list, the health tab and the status bar's hint.
    void ShowHealth();
    // The selected account's health in full, below the health tab's list.
    void ShowHealthDetail();
    void CreateStatusBar();

    void btn_loginOperationClick();
    void btn_refAuthClick();
    void btn_StartClick();
    void btn_SyncWeiquanClick();
    void N_LoginAlimmClick();
    void ShowAccountMenu(const QPoint& APos);
    void cb_dcOpenClick(bool AChecked);
    void cb_yshSyncClick(bool AChecked);
    void WriteSwitch(void (TCommon::*ASetter)(bool), bool AValue);

    TMessageBoxes FBoxes;
    QPointer<TSyncController> FController;
    QPointer<TfrmLogin> FLoginDialog;
    std::shared_ptr<TLogPaneLink> FLogLink;

    QToolBar* bar_mainTop = nullptr;
    QToolButton* btn_loginOperation = nullptr;
    QToolButton* btn_refAuth = nullptr;
    QCheckBox* cb_dcOpen = nullptr;
    QTabWidget* RzPageControl1 = nullptr;
    QTableView* lv_TaobaoAuths = nullptr;
    QMenu* pop_alimm = nullptr;
    QAction* N_LoginAlimm = nullptr;
    QPushButton* btn_Start = nullptr;
    QPushButton* btn_SyncWeiquan = nullptr;
    QCheckBox* cb_yshSync = nullptr;
    QPlainTextEdit* M_Log = nullptr;
    QPlainTextEdit* M_SoftRemark = nullptr;
    TAccountListMarks FAccountMarks;
    TAccountHealthModel FHealthModel;
    THealthRows* FHealthSorted = nullptr;
    QTableView* lv_AccountHealth = nullptr;
    QPlainTextEdit* M_HealthDetail = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* FPanels[3] = {};
};
