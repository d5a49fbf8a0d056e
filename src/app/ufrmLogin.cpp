#include "app/ufrmLogin.h"

#include "app/uiFont.h"
#include "foundation/textutil.h"
#include "sync/syncController.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>

namespace {

template <class T> T* Place(T* AWidget, const char* AName, int ALeft, int ATop, int AWidth, int AHeight)
{
    AWidget->setObjectName(QString::fromLatin1(AName));
    AWidget->setGeometry(ALeft, ATop, AWidth, AHeight);
    return AWidget;
}

QPushButton* PlainButton(const QString& ACaption, QWidget* AParent)
{
    auto* button = new QPushButton(ACaption, AParent);
    // Neither button reacts to Enter: only a click signs in or closes.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

TfrmLogin::TfrmLogin(TSyncController& AController, TMessageBoxes& ABoxes, QWidget* AParent)
    : QDialog(AParent,
        Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
            | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , FController(AController)
    , FBoxes(ABoxes)
{
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(QStringLiteral("运营商登录"));
    setFont(ProgramFont());
    setFixedSize(353, 169);
    Label1 = Place(new QLabel(QStringLiteral("运营商账号："), this), "Label1", 24, 32, 78, 19);
    Label2 = Place(new QLabel(QStringLiteral("客户端密码："), this), "Label2", 24, 74, 78, 19);
    E_UserName = Place(new QLineEdit(this), "E_UserName", 108, 29, 213, 27);
    E_PassWord = Place(new QLineEdit(this), "E_PassWord", 108, 71, 213, 27);
    Button1 = Place(PlainButton(QStringLiteral("关闭"), this), "Button1", 241, 110, 80, 30);
    btn_Login = Place(PlainButton(QStringLiteral("登录"), this), "btn_Login", 155, 110, 80, 30);
    setTabOrder(E_UserName, E_PassWord);
    setTabOrder(E_PassWord, Button1);
    setTabOrder(Button1, btn_Login);
    connect(Button1, &QPushButton::clicked, this, &QDialog::reject);
    connect(btn_Login, &QPushButton::clicked, this, &TfrmLogin::btn_LoginClick);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TfrmLogin::~TfrmLogin() = default;

void TfrmLogin::keyPressEvent(QKeyEvent* AEvent)
{
    // Escape does not close the dialog and Enter does not sign in; only the buttons and the close box act.
    switch (AEvent->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        AEvent->accept();
        return;
    default:
        QDialog::keyPressEvent(AEvent);
    }
}

void TfrmLogin::btn_LoginClick()
{
    if (FPending || FController.OperatorRequestRunning())
        return; // a click while a request runs is ignored
    const QString phone = Trim(E_UserName->text());
    const QString pwd = Trim(E_PassWord->text());
    if (phone.isEmpty() || pwd.isEmpty()) {
        FBoxes.Show({QStringLiteral("账号或密码不能为空!!!"), QStringLiteral("提示"), TMessageBoxes::TButtons::OkCancel,
            TMessageBoxes::TIcon::None});
        return;
    }
    // The answer comes later on the main thread; the dialog may have been closed and destroyed by then.
    QPointer<TfrmLogin> self(this);
    FPending = FController.SignIn(phone, pwd, [self](bool ASucceeded, const QString& AError) {
        if (self)
            self->SignInDone(ASucceeded, AError);
    });
    UpdateButtons();
}

void TfrmLogin::SignInDone(bool ASucceeded, const QString& AError)
{
    FPending = false;
    UpdateButtons();
    if (ASucceeded) {
        accept();
        return;
    }
    FBoxes.Show({AError, QStringLiteral("登录失败"), TMessageBoxes::TButtons::Ok, TMessageBoxes::TIcon::Error});
}

void TfrmLogin::UpdateButtons()
{
    btn_Login->setEnabled(!FPending && !FController.OperatorRequestRunning());
}
