#include "app/ufrmMain.h"

#include "app/ufrmLogin.h"
#include "app/uiFont.h"
#include "foundation/mainthreadcalls.h"
#include "foundation/qerror.h"
#include "store/ucommon.h"
#include "sync/accountListModel.h"
#include "sync/syncController.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QStatusBar>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <array>

namespace {

// Only the report reads refunds through a web session; with the API an account needs no sign-in for them.
QString SignInHint()
{
    const TCommon* common = Common();
    return common == nullptr || common->refundSource() == TRefundSource::Report
        ? QStringLiteral("维权订单需要登录联盟，点击右键登录联盟。")
        : QString();
}

constexpr int kClientWidth = 750;
// The id column is wider than the first design's 90 px: account ids of 13 digits would be cut off there, and the
// six columns still fit the list.
constexpr std::array<int, TAccountListModel::colCount> kAccountColumnWidths {110, 130, 150, 150, 70, 100};
constexpr int kClientHeight = 497;
constexpr int kToolBarHeight = 29;
constexpr int kStatusBarHeight = 25;
constexpr int kMargin = 8;
constexpr int kPageContentHeight = 386; // below a tab, inside the margins
constexpr int kHealthListHeight = 190;
constexpr std::array kHealthListColumns {TAccountHealthModel::colUserId, TAccountHealthModel::colUserName,
    TAccountHealthModel::colHealth, TAccountHealthModel::colReason};

// The list's widths, with the id column wide enough for a long id beside the warning icon of an unhealthy account;
// what it takes more comes off the two time columns, so the six still fit.
std::array<int, TAccountListModel::colCount> AccountColumnWidths(const QTableView& AList)
{
    std::array<int, TAccountListModel::colCount> widths = kAccountColumnWidths;
    const int icon = AList.style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, &AList);
    const int needed = AList.fontMetrics().horizontalAdvance(QStringLiteral("0000000000000")) + icon + 20;
    const int more = std::max(0, needed - widths[0]);
    widths[0] += more;
    widths[2] -= more / 2;
    widths[3] -= more - more / 2;
    return widths;
}

const QString kTitle = QStringLiteral("提示");

// Every tab the same size, whatever its caption.
class TFixedTabBar : public QTabBar {
public:
    using QTabBar::QTabBar;

protected:
    QSize tabSizeHint(int) const override { return {100, 30}; }
};

class TPageControl : public QTabWidget {
public:
    explicit TPageControl(QWidget* AParent)
        : QTabWidget(AParent)
    {
        setTabBar(new TFixedTabBar(this));
    }
};

// The operator sign-in icon: a head and shoulders.
QIcon OperatorIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2f, 0x6f, 0xc0));
    painter.drawEllipse(QRectF(10, 3, 12, 12));
    QPainterPath body;
    body.moveTo(4, 30);
    body.cubicTo(4, 17, 28, 17, 28, 30);
    body.closeSubpath();
    painter.drawPath(body);
    return {pixmap};
}

const QStringList& AboutLines()
{
    static const QStringList lines {QStringLiteral("Quenlar"), QString(), QStringLiteral("使用说明："),
        QStringLiteral("①使用前必须先登录运营商账号，通过运营商账号和客户端密码登录。"),
        QStringLiteral("②维权订单必须登录阿里妈妈。"),
        QStringLiteral("③该工具只同步运营商管理后台设置需要同步的联盟账号。"), QString(), QStringLiteral("同步规则："),
        QStringLiteral("①每5分钟同步15天内的所有失效订单/已收货订单。"),
        QStringLiteral("②每5小时同步90天内的所有维权订单。"), QString(),
        // The installed release, after the fixed text: the same version as --version and the package.
        QStringLiteral("版本：" QUENLAR_VERSION)};
    return lines;
}

template <class T> T* Named(T* AWidget, const char* AName)
{
    AWidget->setObjectName(QString::fromLatin1(AName));
    return AWidget;
}

} // namespace

// ---- the window log writer ----

namespace {

class TAppendCall : public TMainThreadCall {
public:
    explicit TAppendCall(std::shared_ptr<TLogPaneLink> ALink)
        : FLink(std::move(ALink))
    {
    }
    void Run() override { FLink->AppendLogLines(); }

private:
    std::shared_ptr<TLogPaneLink> FLink;
};

} // namespace

TLogPaneLink::TLogPaneLink(QPlainTextEdit* AItems)
    : FItems(AItems)
{
}

void TLogPaneLink::Post(const QString& AText)
{
    const std::scoped_lock lock(FCS);
    if (!FItems)
        return;
    const bool first = FPending.isEmpty();
    FPending.append(AText);
    // One call per burst, through the scheduler's bridge: it hands the call over under a lock of ours, where a
    // functor queued in Qt's event loop would be freed on either thread unseen by the race checker. A call that
    // finds the pane gone (Detach) appends nothing.
    if (first) {
        if (TMainThreadCalls* calls = MainThreadCalls())
            calls->Post(this, std::make_unique<TAppendCall>(shared_from_this()));
    }
}

void TLogPaneLink::Detach()
{
    const std::scoped_lock lock(FCS);
    FItems = nullptr;
    FPending.clear();
}

QString TLogPaneLink::Stamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString TLogPaneLink::LineOf(const QString& AStamp, const QString& AText)
{
    return u'[' + AStamp + QStringLiteral("]  ") + AText;
}

void TLogPaneLink::AppendLogLines()
{
    QStringList texts;
    QPlainTextEdit* pane = nullptr;
    {
        const std::scoped_lock lock(FCS);
        texts.swap(FPending);
        pane = FItems;
    }
    if (!pane || texts.isEmpty())
        return;
    const QString stamp = Stamp();
    QString block;
    for (const QString& text : std::as_const(texts)) {
        if (!block.isEmpty())
            block += u'\n';
        block += LineOf(stamp, text);
    }
    pane->appendPlainText(block);
}

TMainAppLogWriter::TMainAppLogWriter(std::shared_ptr<TLogPaneLink> ALink)
    : FLink(std::move(ALink))
{
}

bool TMainAppLogWriter::WriteItem(const TQLogItem& AItem)
{
    FLink->Post(LogItemMessage(AItem));
    return true;
}

// ---- the window ----

TfrmMain::TfrmMain()
    : QWidget(nullptr,
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
            | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quenlar 20220903"));
    setFont(ProgramFont());
    setFixedSize(kClientWidth, kClientHeight);
    CreateToolBar();
    CreatePages();
    CreateStatusBar();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    FLogLink = std::make_shared<TLogPaneLink>(M_Log);
    if (TQLog* log = GlobalLog())
        log->Castor()->AddWriter(std::make_unique<TMainAppLogWriter>(FLogLink));
}

TfrmMain::~TfrmMain()
{
    FLogLink->Detach();
}

void TfrmMain::CreateToolBar()
{
    bar_mainTop = Named(new QToolBar(this), "bar_mainTop");
    bar_mainTop->setGeometry(0, 0, kClientWidth, kToolBarHeight);
    bar_mainTop->setMovable(false);
    bar_mainTop->setFloatable(false);
    bar_mainTop->setIconSize({16, 16});
    bar_mainTop->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    const auto spacer = [this] {
        auto* gap = new QWidget(bar_mainTop);
        gap->setFixedWidth(8);
        bar_mainTop->addWidget(gap);
    };

    btn_loginOperation = Named(new QToolButton(bar_mainTop), "btn_loginOperation");
    btn_loginOperation->setText(QStringLiteral("运营商登录"));
    btn_loginOperation->setIcon(OperatorIcon());
    btn_loginOperation->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(btn_loginOperation, &QToolButton::clicked, this, &TfrmMain::btn_loginOperationClick);
    bar_mainTop->addWidget(btn_loginOperation);
    spacer();

    btn_refAuth = Named(new QToolButton(bar_mainTop), "btn_refAuth");
    btn_refAuth->setText(QStringLiteral("刷新联盟授权"));
    btn_refAuth->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    btn_refAuth->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(btn_refAuth, &QToolButton::clicked, this, &TfrmMain::btn_refAuthClick);
    bar_mainTop->addWidget(btn_refAuth);
    spacer();

    cb_dcOpen = Named(new QCheckBox(QStringLiteral("启用618、双11、双12大促下载规则"), bar_mainTop), "cb_dcOpen");
    connect(cb_dcOpen, &QCheckBox::toggled, this, &TfrmMain::cb_dcOpenClick);
    bar_mainTop->addWidget(cb_dcOpen);
}

void TfrmMain::CreatePages()
{
    RzPageControl1 = Named(new TPageControl(this), "RzPageControl1");
    RzPageControl1->setGeometry(0, kToolBarHeight, kClientWidth, kClientHeight - kToolBarHeight - kStatusBarHeight);
    RzPageControl1->addTab(CreateTaobaoPage(), QStringLiteral("淘宝订单"));
    RzPageControl1->addTab(CreateTextPage(M_Log, "tab_log"), QStringLiteral("运行日志"));
    RzPageControl1->addTab(CreateTextPage(M_SoftRemark, "TabSheet1"), QStringLiteral("软件说明"));
    RzPageControl1->addTab(CreateHealthPage(), QStringLiteral("账号状态"));
    RzPageControl1->setCurrentIndex(0);

    M_Log->setObjectName(QStringLiteral("M_Log"));
    M_Log->setReadOnly(true);
    M_Log->setMaximumBlockCount(LogLineLimit);
    M_Log->setLineWrapMode(QPlainTextEdit::NoWrap);
    M_Log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    M_SoftRemark->setObjectName(QStringLiteral("M_SoftRemark"));
    M_SoftRemark->setReadOnly(true);
    M_SoftRemark->setPlainText(AboutLines().join(u'\n'));
}

QWidget* TfrmMain::CreateTaobaoPage()
{
    auto* page = Named(new QWidget, "tab_Taobao");

    lv_TaobaoAuths = Named(new QTableView(page), "lv_TaobaoAuths");
    lv_TaobaoAuths->setGeometry(kMargin, kMargin, 728, 351);
    lv_TaobaoAuths->setShowGrid(true);
    lv_TaobaoAuths->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv_TaobaoAuths->setSelectionMode(QAbstractItemView::SingleSelection);
    lv_TaobaoAuths->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lv_TaobaoAuths->setWordWrap(false);
    lv_TaobaoAuths->setCornerButtonEnabled(false);
    lv_TaobaoAuths->verticalHeader()->hide();
    lv_TaobaoAuths->verticalHeader()->setDefaultSectionSize(lv_TaobaoAuths->fontMetrics().height() + 8);
    lv_TaobaoAuths->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lv_TaobaoAuths->horizontalHeader()->setStretchLastSection(false);
    lv_TaobaoAuths->horizontalHeader()->setHighlightSections(false);
    lv_TaobaoAuths->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lv_TaobaoAuths, &QWidget::customContextMenuRequested, this, &TfrmMain::ShowAccountMenu);

    pop_alimm = Named(new QMenu(this), "pop_alimm");
    N_LoginAlimm = Named(pop_alimm->addAction(QStringLiteral("登录阿里妈妈")), "N_LoginAlimm");
    connect(N_LoginAlimm, &QAction::triggered, this, &TfrmMain::N_LoginAlimmClick);

    const int buttonsTop = kMargin + 351 + 6;
    btn_Start = Named(new QPushButton(page), "btn_Start");
    btn_Start->setGeometry(kMargin + 728 - 227, buttonsTop, 227, 30);
    btn_Start->setProperty("tag", 1);
    btn_Start->setText(QStringLiteral("开始同步订单(失效/维权/已收货)"));
    connect(btn_Start, &QPushButton::clicked, this, &TfrmMain::btn_StartClick);

    btn_SyncWeiquan = Named(new QPushButton(QStringLiteral("手动同步维权订单"), page), "btn_SyncWeiquan");
    btn_SyncWeiquan->setGeometry(btn_Start->x() - 8 - 145, buttonsTop, 145, 30);
    connect(btn_SyncWeiquan, &QPushButton::clicked, this, &TfrmMain::btn_SyncWeiquanClick);

    cb_yshSync
        = Named(new QCheckBox(QStringLiteral("已收货状态订单正常给买家结算（商家未支付佣金）"), page), "cb_yshSync");
    cb_yshSync->setGeometry(kMargin, buttonsTop, btn_SyncWeiquan->x() - 2 * kMargin, 30);
    connect(cb_yshSync, &QCheckBox::toggled, this, &TfrmMain::cb_yshSyncClick);
    return page;
}

QWidget* TfrmMain::CreateTextPage(QPlainTextEdit*& AText, const char* AName)
{
    auto* page = Named(new QWidget, AName);
    AText = new QPlainTextEdit(page);
    AText->setGeometry(kMargin, kMargin, 728, kPageContentHeight);
    return page;
}

QWidget* TfrmMain::CreateHealthPage()
{
    auto* page = Named(new QWidget, "tab_AccountHealth");
    FHealthSorted = new THealthRows(page);
    FHealthSorted->setSourceModel(&FHealthModel);
    FHealthSorted->setSortRole(TAccountHealthModel::SortRole);
    lv_AccountHealth = Named(new QTableView(page), "lv_AccountHealth");
    lv_AccountHealth->setGeometry(kMargin, kMargin, 728, kHealthListHeight);
    lv_AccountHealth->setModel(FHealthSorted);
    lv_AccountHealth->setSortingEnabled(true);
    lv_AccountHealth->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv_AccountHealth->setSelectionMode(QAbstractItemView::SingleSelection);
    lv_AccountHealth->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lv_AccountHealth->setWordWrap(false);
    lv_AccountHealth->verticalHeader()->hide();
    lv_AccountHealth->verticalHeader()->setDefaultSectionSize(lv_AccountHealth->fontMetrics().height() + 8);
    QHeaderView* header = lv_AccountHealth->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The few columns that fit the window; the figures are in the detail below, for the selected account.
    for (int column = 0; column < TAccountHealthModel::colCount; ++column)
        lv_AccountHealth->setColumnHidden(column,
            std::find(kHealthListColumns.begin(), kHealthListColumns.end(), column) == kHealthListColumns.end());
    lv_AccountHealth->setColumnWidth(TAccountHealthModel::colUserId, 120);
    lv_AccountHealth->setColumnWidth(TAccountHealthModel::colUserName, 150);
    lv_AccountHealth->setColumnWidth(TAccountHealthModel::colHealth, 50);
    header->setSectionResizeMode(TAccountHealthModel::colReason, QHeaderView::Stretch);
    lv_AccountHealth->sortByColumn(TAccountHealthModel::colHealth, Qt::AscendingOrder);
    connect(
        lv_AccountHealth->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &TfrmMain::ShowHealthDetail);

    M_HealthDetail = Named(new QPlainTextEdit(page), "M_HealthDetail");
    M_HealthDetail->setGeometry(
        kMargin, kMargin + kHealthListHeight + 6, 728, kPageContentHeight - kHealthListHeight - 6);
    M_HealthDetail->setReadOnly(true);
    M_HealthDetail->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    return page;
}

void TfrmMain::ShowHealth()
{
    if (!FController)
        return;
    const TAccountHealth& health = FController->Health();
    const std::vector<TAccountHealthRecord> accounts = health.Accounts();
    const QDateTime now = QDateTime::currentDateTime();
    FAccountMarks.Refresh(accounts, now);
    // The refresh resets the list: the account looked at stays selected.
    const TAccountHealthRecord* selected = FHealthSorted->Record(lv_AccountHealth->currentIndex().row());
    const QString selectedId = selected ? selected->userId : QString();
    FHealthModel.Refresh(accounts, now);
    int row = 0;
    for (int i = 0; i < FHealthSorted->rowCount(); ++i) {
        if (FHealthSorted->Record(i)->userId == selectedId)
            row = i;
    }
    if (FHealthSorted->rowCount() > 0)
        lv_AccountHealth->selectRow(row);
    ShowHealthDetail();
    const auto unhealthy = std::count_if(accounts.begin(), accounts.end(),
        [](const TAccountHealthRecord& ARecord) { return !ARecord.unhealthy.isEmpty(); });
    FPanels[2]->setText(
        unhealthy > 0 ? QStringLiteral("%1 个联盟账号状态异常，详见“账号状态”").arg(unhealthy) : SignInHint());
}

void TfrmMain::ShowHealthDetail()
{
    const TAccountHealthRecord* record = FHealthSorted->Record(lv_AccountHealth->currentIndex().row());
    M_HealthDetail->setPlainText(record ? HealthTooltip(*record, FHealthModel.Now()) : QString());
}

void TfrmMain::CreateStatusBar()
{
    StatusBar1 = Named(new QStatusBar(this), "StatusBar1");
    StatusBar1->setGeometry(0, kClientHeight - kStatusBarHeight, kClientWidth, kStatusBarHeight);
    StatusBar1->setSizeGripEnabled(false);
    const QString texts[3]
        = {QStringLiteral("Quenlar version 1.0.0.4"), QStringLiteral("运营商：未登录"), SignInHint()};
    const int widths[2] = {230, 200};
    for (int i = 0; i < 3; ++i) {
        FPanels[i] = new QLabel(texts[i], StatusBar1);
        FPanels[i]->setObjectName(QStringLiteral("StatusBar1_Panel%1").arg(i));
        FPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        if (i < 2)
            FPanels[i]->setFixedWidth(widths[i]);
        StatusBar1->addWidget(FPanels[i], i < 2 ? 0 : 1);
    }
}

TfrmLogin* TfrmMain::LoginDialog() const
{
    return FLoginDialog.data();
}

QString TfrmMain::PanelText(int APanel) const
{
    return APanel >= 0 && APanel < 3 ? FPanels[APanel]->text() : QString();
}

void TfrmMain::SetController(TSyncController* AController)
{
    FController = AController;
    FAccountMarks.setSourceModel(AController ? &AController->Accounts() : nullptr);
    lv_TaobaoAuths->setModel(AController ? &FAccountMarks : nullptr);
    if (AController) {
        const auto widths = AccountColumnWidths(*lv_TaobaoAuths);
        for (int column = 0; column < TAccountListModel::colCount; ++column)
            lv_TaobaoAuths->setColumnWidth(column, widths[static_cast<size_t>(column)]);
        OperatorPanelChanged(AController->OperatorPanelText());
        connect(AController, &TSyncController::HealthChanged, this, &TfrmMain::ShowHealth);
        ShowHealth();
    }
    ControlsChanged();
}

void TfrmMain::LoadSwitches()
{
    const TCommon* common = Common();
    if (!common)
        return;
    // Changing a box runs its handler, which writes the value back: a missing key is written at start.
    cb_yshSync->setChecked(common->openSyncYSH());
    cb_dcOpen->setChecked(common->openLargeModel());
}

// ---- what the controller asks of its front end ----

void TfrmMain::MessageBox(const QString& AText, const QString& ATitle, TButtons AButtons, TIcon AIcon)
{
    FBoxes.Show({AText, ATitle, AButtons, AIcon});
}

void TfrmMain::OperatorPanelChanged(const QString& AText)
{
    FPanels[1]->setText(AText);
}

void TfrmMain::ControlsChanged()
{
    const TSyncController* controller = FController.data();
    const bool operatorIdle = controller && !controller->OperatorRequestRunning();
    btn_loginOperation->setEnabled(operatorIdle);
    btn_refAuth->setEnabled(operatorIdle);
    btn_Start->setEnabled(controller && !controller->Stopping());
    btn_SyncWeiquan->setEnabled(controller && controller->ManualRefundEnabled());
    if (controller) {
        btn_Start->setProperty("tag", controller->StartTag());
        btn_Start->setText(controller->StartCaption());
    }
    if (FLoginDialog)
        FLoginDialog->UpdateButtons();
}

// ---- clicks ----

void TfrmMain::btn_loginOperationClick()
{
    if (!FController)
        return;
    if (FLoginDialog) {
        FLoginDialog->raise();
        FLoginDialog->activateWindow();
        return;
    }
    // Modal without a nested event loop: the dialog reports through finished and is released afterwards. On
    // Accepted the controller has already shown the state and fetched the accounts.
    // Parented for its lifetime only: it is still a window of its own, centred on the screen.
    auto* dialog = new TfrmLogin(*FController, FBoxes, this);
    FLoginDialog = dialog;
    dialog->setWindowModality(Qt::ApplicationModal);
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->open();
}

void TfrmMain::btn_refAuthClick()
{
    if (FController)
        FController->RefreshClick();
}

void TfrmMain::btn_StartClick()
{
    if (FController)
        FController->StartStopClick();
}

void TfrmMain::btn_SyncWeiquanClick()
{
    if (FController)
        FController->SyncWeiquanClick();
}

void TfrmMain::ShowAccountMenu(const QPoint& APos)
{
    pop_alimm->popup(lv_TaobaoAuths->viewport()->mapToGlobal(APos));
}

void TfrmMain::N_LoginAlimmClick()
{
    if (!FController)
        return;
    const QModelIndexList rows
        = lv_TaobaoAuths->selectionModel() ? lv_TaobaoAuths->selectionModel()->selectedRows(0) : QModelIndexList();
    FController->LoginAlimmClick(rows.isEmpty() ? QString() : rows.first().data().toString());
}

void TfrmMain::cb_dcOpenClick(bool AChecked)
{
    WriteSwitch(&TCommon::setOpenLargeModel, AChecked);
}

void TfrmMain::cb_yshSyncClick(bool AChecked)
{
    WriteSwitch(&TCommon::setOpenSyncYSH, AChecked);
}

void TfrmMain::WriteSwitch(void (TCommon::*ASetter)(bool), bool AValue)
{
    TCommon* common = Common();
    if (!common)
        return;
    // A refused write is shown and the window carries on; the setting keeps the new value in memory.
    try {
        (common->*ASetter)(AValue);
    } catch (const EQuenlarError& error) {
        FBoxes.Show({error.Message(), kTitle, TButtons::Ok, TIcon::Error});
    }
}

void TfrmMain::closeEvent(QCloseEvent* AEvent)
{
    if (FLoginDialog)
        FLoginDialog->reject();
    AEvent->accept();
    Q_EMIT Closed();
}
