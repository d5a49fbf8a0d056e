#pragma once

#include <QString>

// The title of every message box the controller's parts open.
inline const QString kMessageTitle = QStringLiteral("提示");

// What the sync controller needs from whoever shows it: the window, the console of the headless mode, or a
// test's recorder. Called on the main thread only.
class TSyncFrontEnd {
public:
    enum class TButtons { Ok, OkCancel };
    enum class TIcon { None, Error };

    virtual ~TSyncFrontEnd() = default;

    // A message box without owner. The window opens it modally and returns at once; nothing waits on an answer.
    virtual void MessageBox(const QString& AText, const QString& ATitle, TButtons AButtons, TIcon AIcon) = 0;
    // The operator state line ("运营商：未登录" / "运营商：已登录").
    virtual void OperatorPanelChanged(const QString& AText) = 0;
    // The start button's tag or caption, or whether a button may be pressed, changed: read them from the controller.
    virtual void ControlsChanged() = 0;
};
