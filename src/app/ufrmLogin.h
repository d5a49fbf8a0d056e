#pragma once

#include "app/messageBox.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class TSyncController;

// The operator sign-in dialog. The request runs on a worker through the controller; the dialog only waits for its
// answer with "登录" disabled, so the window stays live. Closes with Accepted only after a successful sign-in.
class TfrmLogin : public QDialog {
    Q_OBJECT

public:
    TfrmLogin(TSyncController& AController, TMessageBoxes& ABoxes, QWidget* AParent = nullptr);
    ~TfrmLogin() override;

    bool SignInPending() const { return FPending; }
    // "登录" is enabled while neither this dialog's nor any other operator request runs.
    void UpdateButtons();

protected:
    void keyPressEvent(QKeyEvent* AEvent) override;

private:
    void btn_LoginClick();
    void SignInDone(bool ASucceeded, const QString& AError);

    TSyncController& FController;
    TMessageBoxes& FBoxes;
    QLabel* Label1;
    QLabel* Label2;
    QLineEdit* E_UserName;
    QLineEdit* E_PassWord;
    QPushButton* Button1;
    QPushButton* btn_Login;
    bool FPending = false;
};
