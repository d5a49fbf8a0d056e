// Renders the sign-in window on the stand-in's sign-in page, and again once the session is handed over, to PNG
// files, offscreen: quenlar_browser_screenshot OUTPUT_FOLDER
#include "browser/signInConfig.h"
#include "browser/signInWindow.h"
#include "browser/webEngineSetup.h"

#include "standin/standin.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QWebEnginePage>

#include <cstdio>

namespace {

constexpr int kWaitMs = 30000;

// The view paints after the load has finished: wait until the picture shows the page, then until it stops
// changing.
bool Shoot(QWidget& AWindow, const QString& AFile, const QImage& APrevious)
{
    QImage shot;
    const bool changed = QTest::qWaitFor(
        [&] {
            shot = AWindow.grab().toImage();
            return shot != APrevious;
        },
        kWaitMs);
    QTest::qWait(300);
    shot = AWindow.grab().toImage();
    return changed && shot.save(AFile);
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    PrepareWebEngine();
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: quenlar_browser_screenshot OUTPUT_FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral(".")))
        return 1;

    TStandInOptions options;
    options.ports.fill(0);
    options.controlPort = 0;
    TStandIn standIn(options);
    standIn.Start();
    QTemporaryDir folder;
    QFile ini(folder.filePath(QStringLiteral("conf.ini")));
    if (!ini.open(QIODevice::WriteOnly))
        return 1;
    ini.write(standIn.HostsSection().toUtf8());
    ini.close();
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.bind(QHostAddress(QHostAddress::LocalHost), 0);

    const std::string userId = standIn.Data().Accounts()[0].userId;
    TSignInWindow window(
        TSignInConfig::Read(folder.path()), QString::fromStdString(userId), socket.localPort(), QString());
    const QImage blank = window.grab().toImage();
    window.show();
    window.Start();
    if (!QTest::qWaitFor([&] { return window.State() == TSignInWindow::TState::Open; }, kWaitMs))
        return 1;
    window.Page()->runJavaScript(
        QStringLiteral("document.getElementById('userId').value = '%1';").arg(QString::fromStdString(userId)));
    const QString signInFile = out.filePath(QStringLiteral("browser-signin.png"));
    if (!Shoot(window, signInFile, blank))
        return 1;
    const QImage page(signInFile);
    window.Page()->runJavaScript(QStringLiteral("document.getElementById('login').click();"));
    if (!QTest::qWaitFor([&] { return window.State() == TSignInWindow::TState::HandedOver; }, kWaitMs))
        return 1;
    const QString doneFile = out.filePath(QStringLiteral("browser-handed-over.png"));
    if (!Shoot(window, doneFile, page))
        return 1;
    std::printf("%s\n%s\n", qPrintable(signInFile), qPrintable(doneFile));
    return 0;
}
