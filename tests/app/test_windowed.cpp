#include "app/windowed.h"

#include "app/dataFolder.h"
#include "app/ufrmMain.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// The window's start on a data folder it cannot have: one message box saying why, no window, and the exit code the
// headless program gives for the same cause once the box is closed.
class TestWindowedStart : public QObject {
    Q_OBJECT

private:
    struct TSeen {
        QString text;
        bool windowOpened = false;
    };

    // Waits (bounded) for the box, notes what it says and whether a main window opened, then presses OK.
    static void AnswerTheBox(TSeen& ASeen)
    {
        auto* poll = new QTimer(qApp);
        auto tries = std::make_shared<int>(0);
        QObject::connect(poll, &QTimer::timeout, poll, [poll, tries, &ASeen] {
            QMessageBox* box = nullptr;
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                ASeen.windowOpened = ASeen.windowOpened || qobject_cast<TfrmMain*>(widget) != nullptr;
                if (auto* candidate = qobject_cast<QMessageBox*>(widget); candidate && candidate->isVisible())
                    box = candidate;
            }
            if (box == nullptr && ++*tries < 2000)
                return;
            poll->deleteLater();
            if (box == nullptr) {
                QCoreApplication::exit(-1);
                return;
            }
            ASeen.text = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        poll->start(10);
    }

private Q_SLOTS:
    void refusesAndEnds_data()
    {
        QTest::addColumn<bool>("held");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::newRow("another copy holds the folder")
            << true << 5 << QStringLiteral("正由 进程 %1").arg(QCoreApplication::applicationPid());
        QTest::newRow("the folder is a file") << false << 2 << QStringLiteral("数据文件夹无法使用");
    }

    void refusesAndEnds()
    {
        QFETCH(bool, held);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        QTemporaryDir root;
        TAppOptions options;
        options.dataDir = root.filePath(QStringLiteral("data"));
        std::unique_ptr<TInstanceLock> other;
        if (held) {
            other = std::make_unique<TInstanceLock>(root.path());
            QVERIFY(other->IsHeld());
            options.dataDir = root.path();
        } else {
            QFile file(options.dataDir);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        TSeen seen;
        AnswerTheBox(seen);
        QCOMPARE(RunWindowed(options), exitCode);
        QVERIFY2(seen.text.contains(said), qPrintable(seen.text));
        QVERIFY(!seen.windowOpened);
        QVERIFY(!QFile::exists(root.filePath(QStringLiteral("conf.ini"))));
    }
};

QTEST_MAIN(TestWindowedStart)
#include "test_windowed.moc"
