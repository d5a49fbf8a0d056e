// Loaded into the real, unchanged program by BM_ColdStart/window and BM_Resident/window (LD_PRELOAD), never
// installed: it reports to the benchmark on the descriptor named by QUENLAR_PROBE_FD and does what a user would,
// through the widgets' object names. Without that variable it does nothing.
//   "shown"          the main window's first frame has been painted
//   "accounts N"     signed in (QUENLAR_PROBE_PHONE, QUENLAR_PROBE_PASSWORD), the account list holds N rows
//                    (QUENLAR_PROBE_ACCOUNTS)
// A line "start" on the program's standard input clicks the start button.
#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTableView>
#include <QTimer>
#include <QWidget>

#include <functional>

#include <unistd.h>

namespace {

void Report(const QByteArray& ALine)
{
    const int fd = qEnvironmentVariableIntValue("QUENLAR_PROBE_FD");
    const QByteArray line = ALine + '\n';
    [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
}

QWidget* TopLevel(const char* AName)
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String(AName) && widget->isVisible())
            return widget;
    return nullptr;
}

template <class T> T* Child(QWidget* AParent, const char* AName)
{
    return AParent == nullptr ? nullptr : AParent->findChild<T*>(QString::fromLatin1(AName));
}

// Polls every 10 ms until ACheck holds, then runs ANext; the program's own work goes on in between.
void When(std::function<bool()> ACheck, std::function<void()> ANext)
{
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, check = std::move(ACheck), next = std::move(ANext)] {
        if (!check())
            return;
        timer->stop();
        timer->deleteLater();
        next();
    });
    timer->start();
}

void SignIn()
{
    QWidget* main = TopLevel("frmMain");
    Child<QAbstractButton>(main, "btn_loginOperation")->click();
    When([] { return TopLevel("frmLogin") != nullptr; },
        [] {
            QWidget* dialog = TopLevel("frmLogin");
            Child<QLineEdit>(dialog, "E_UserName")->setText(qEnvironmentVariable("QUENLAR_PROBE_PHONE"));
            Child<QLineEdit>(dialog, "E_PassWord")->setText(qEnvironmentVariable("QUENLAR_PROBE_PASSWORD"));
            Child<QAbstractButton>(dialog, "btn_Login")->click();
        });
    const int accounts = qEnvironmentVariableIntValue("QUENLAR_PROBE_ACCOUNTS");
    When(
        [accounts] {
            auto* list = Child<QTableView>(TopLevel("frmMain"), "lv_TaobaoAuths");
            return list != nullptr && list->model() != nullptr && list->model()->rowCount() >= accounts;
        },
        [accounts] { Report("accounts " + QByteArray::number(accounts)); });
}

void ListenForStart()
{
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier] {
        char buffer[64];
        const ssize_t read = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (read <= 0) {
            notifier->setEnabled(false);
            return;
        }
        if (QByteArray(buffer, int(read)).startsWith("start"))
            Child<QAbstractButton>(TopLevel("frmMain"), "btn_Start")->click();
    });
}

// The first paint of the main window starts its first frame; the frame is complete once the events of that
// paint have been handled, which a zero timer marks.
class TShownWatch : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* AObject, QEvent* AEvent) override
    {
        if (AEvent->type() == QEvent::Paint && AObject->objectName() == QLatin1String("frmMain")) {
            qApp->removeEventFilter(this);
            QTimer::singleShot(0, qApp, [] {
                Report("shown");
                if (qEnvironmentVariableIsSet("QUENLAR_PROBE_PHONE"))
                    SignIn();
            });
            deleteLater();
        }
        return false;
    }
};

void StartProbe()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!qEnvironmentVariableIsSet("QUENLAR_PROBE_FD") || !app->inherits("QApplication"))
        return;
    app->installEventFilter(new TShownWatch(app));
    // Queued: the application is still being built when this runs.
    QMetaObject::invokeMethod(app, &ListenForStart, Qt::QueuedConnection);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(StartProbe)
