#include "app/ufrmLogin.h"

#include "windowFixture.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace {

constexpr int kWait = 20000; // ms; generous for a loaded machine, never reached by correct code

} // namespace

class TestLoginDialog : public QObject {
    Q_OBJECT

private:
    // The program against the back end, and its login dialog opened from the window.
    struct TOpened {
        TOperatorBackEnd backEnd;
        std::unique_ptr<TWindowFixture> fixture;
        QPointer<TfrmLogin> dialog;
    };

    static void Open(TOpened& AOpened)
    {
        AOpened.fixture = std::make_unique<TWindowFixture>(TWindowFixture::HostsIni(AOpened.backEnd.Server()));
        AOpened.fixture->Start();
        QTest::mouseClick(AOpened.fixture->Child<QAbstractButton>("btn_loginOperation"), Qt::LeftButton);
        AOpened.dialog = AOpened.fixture->Window().LoginDialog();
    }

private Q_SLOTS:
    void layout()
    {
        TOpened opened;
        Open(opened);
        QVERIFY(opened.dialog);
        TfrmLogin& dialog = *opened.dialog;
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.isModal());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("运营商登录"));
        QCOMPARE(dialog.size(), QSize(353, 169));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));
        struct TPlace {
            const char* name;
            QRect rect;
            QString text;
        };
        const TPlace places[] = {{"Label1", {24, 32, 78, 19}, QStringLiteral("运营商账号：")},
            {"Label2", {24, 74, 78, 19}, QStringLiteral("客户端密码：")}, {"E_UserName", {108, 29, 213, 27}, {}},
            {"E_PassWord", {108, 71, 213, 27}, {}}, {"Button1", {241, 110, 80, 30}, QStringLiteral("关闭")},
            {"btn_Login", {155, 110, 80, 30}, QStringLiteral("登录")}};
        for (const TPlace& place : places) {
            auto* widget = dialog.findChild<QWidget*>(QString::fromLatin1(place.name));
            QVERIFY2(widget, place.name);
            QCOMPARE(widget->geometry(), place.rect);
            if (auto* label = qobject_cast<QLabel*>(widget))
                QCOMPARE(label->text(), place.text);
            if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
                QVERIFY(edit->text().isEmpty());
                QCOMPARE(edit->echoMode(), QLineEdit::Normal); // the password shows in clear
            }
            if (auto* button = qobject_cast<QPushButton*>(widget)) {
                QCOMPARE(button->text(), place.text);
                QVERIFY(!button->isDefault());
                QVERIFY(!button->autoDefault());
            }
        }
        auto* user = dialog.findChild<QWidget*>(QStringLiteral("E_UserName"));
        QCOMPARE(user->nextInFocusChain(), dialog.findChild<QWidget*>(QStringLiteral("E_PassWord")));
        QCOMPARE(user->nextInFocusChain()->nextInFocusChain(), dialog.findChild<QWidget*>(QStringLiteral("Button1")));
        QCOMPARE(user->nextInFocusChain()->nextInFocusChain()->nextInFocusChain(),
            dialog.findChild<QWidget*>(QStringLiteral("btn_Login")));
    }

    void emptyAccountOrPasswordIsRefusedInTheDialog_data()
    {
        QTest::addColumn<QString>("phone");
        QTest::addColumn<QString>("pwd");
        QTest::newRow("both empty") << QString() << QString();
        QTest::newRow("account of spaces") << QStringLiteral("   ") << QStringLiteral("pw");
        QTest::newRow("password of tabs") << QStringLiteral("138") << QStringLiteral("\t \t");
    }

    void emptyAccountOrPasswordIsRefusedInTheDialog()
    {
        QFETCH(QString, phone);
        QFETCH(QString, pwd);
        TOpened opened;
        Open(opened);
        QVERIFY(opened.dialog);
        SignInWith(*opened.dialog, phone, pwd);
        auto& boxes = opened.fixture->Boxes();
        QCOMPARE(boxes.size(), size_t(1));
        QCOMPARE(boxes.back().text, QStringLiteral("账号或密码不能为空!!!"));
        QCOMPARE(boxes.back().title, QStringLiteral("提示"));
        QCOMPARE(boxes.back().buttons, TMessageBoxes::TButtons::OkCancel);
        QVERIFY(opened.dialog->isVisible());
        QVERIFY(!opened.dialog->SignInPending());
        QCOMPARE(opened.backEnd.Server().RequestCount(), size_t(0));
    }

    void refusedSignInShowsTheErrorAndKeepsTheValues_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("error");
        QTest::newRow("refused") << QByteArray(R"({"code":401,"msg":"密码错误"})") << QStringLiteral("密码错误");
        QTest::newRow("no reply") << QByteArray("not json") << QStringLiteral("服务器访问失败-本地");
    }

    void refusedSignInShowsTheErrorAndKeepsTheValues()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, error);
        TOpened opened;
        opened.backEnd.Answer("/client/dbmove/login", {reply.toStdString()});
        Open(opened);
        QVERIFY(opened.dialog);
        SignInWith(*opened.dialog, QStringLiteral("138"), QStringLiteral("pw"));
        auto* login = opened.dialog->findChild<QPushButton*>(QStringLiteral("btn_Login"));
        QVERIFY(!login->isEnabled()); // while the request runs
        auto& boxes = opened.fixture->Boxes();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), size_t(1), kWait);
        QCOMPARE(boxes.back().text, error);
        QCOMPARE(boxes.back().title, QStringLiteral("登录失败"));
        QCOMPARE(boxes.back().icon, TMessageBoxes::TIcon::Error);
        QVERIFY(opened.dialog->isVisible());
        QVERIFY(login->isEnabled());
        QCOMPARE(opened.dialog->findChild<QLineEdit*>(QStringLiteral("E_UserName"))->text(), QStringLiteral("138"));
        QCOMPARE(opened.dialog->findChild<QLineEdit*>(QStringLiteral("E_PassWord"))->text(), QStringLiteral("pw"));
        QCOMPARE(opened.fixture->Window().PanelText(1), QStringLiteral("运营商：未登录"));
    }

    void successfulSignInClosesWithOk()
    {
        TOpened opened;
        opened.backEnd.Answer("/client/dbmove/login", {R"({"code":200,"data":{"uid":"u1","token":"t1"}})"});
        opened.backEnd.Answer("/client/alimmtoken/getSyncOrderToken", {R"({"code":200,"data":[]})"});
        Open(opened);
        QVERIFY(opened.dialog);
        int result = -1;
        connect(opened.dialog, &QDialog::finished, this, [&result](int AResult) { result = AResult; });
        SignInWith(*opened.dialog, QStringLiteral("  138 00  "), QStringLiteral(" p w "));
        QTRY_COMPARE_WITH_TIMEOUT(result, int(QDialog::Accepted), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!opened.dialog, kWait); // released after closing
        const TFormFields fields = opened.backEnd.Server().Requests().front().FormFields();
        QCOMPARE(FieldValue(fields, "phone"), std::string("138 00"));
        QCOMPARE(FieldValue(fields, "pwd"), std::string("p w"));
        QCOMPARE(opened.fixture->Window().PanelText(1), QStringLiteral("运营商：已登录"));
        QVERIFY(opened.fixture->Boxes().empty());
    }

    void closeButtonAndCloseBoxCancel()
    {
        for (const bool closeBox : {false, true}) {
            TOpened opened;
            Open(opened);
            QVERIFY(opened.dialog);
            int result = -1;
            connect(opened.dialog, &QDialog::finished, this, [&result](int AResult) { result = AResult; });
            if (closeBox)
                opened.dialog->close();
            else
                QTest::mouseClick(opened.dialog->findChild<QPushButton*>(QStringLiteral("Button1")), Qt::LeftButton);
            QCOMPARE(result, int(QDialog::Rejected));
            QCOMPARE(opened.backEnd.Server().RequestCount(), size_t(0));
        }
    }

    void enterAndEscapeDoNothing()
    {
        TOpened opened;
        Open(opened);
        QVERIFY(opened.dialog);
        auto* user = opened.dialog->findChild<QLineEdit*>(QStringLiteral("E_UserName"));
        user->setText(QStringLiteral("138"));
        opened.dialog->findChild<QLineEdit*>(QStringLiteral("E_PassWord"))->setText(QStringLiteral("pw"));
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(user, key);
        QCoreApplication::processEvents();
        QVERIFY(opened.dialog);
        QVERIFY(opened.dialog->isVisible());
        QVERIFY(!opened.dialog->SignInPending());
        QCOMPARE(opened.backEnd.Server().RequestCount(), size_t(0));
    }
};

QTEST_MAIN(TestLoginDialog)
#include "test_ufrmLogin.moc"
