#pragma once

#include "sync/syncFrontEnd.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QMessageBox;

// The window's message boxes: no owner, modal, title as given, opened without a loop of their own so that no caller
// waits on one and nothing runs inside a box's loop. Tests take them through a hook instead of showing them.
class TMessageBoxes {
public:
    using TButtons = TSyncFrontEnd::TButtons;
    using TIcon = TSyncFrontEnd::TIcon;

    struct TRequest {
        QString text;
        QString title;
        TButtons buttons = TButtons::Ok;
        TIcon icon = TIcon::None;
    };
    using THook = std::function<void(const TRequest&)>;

    TMessageBoxes();
    TMessageBoxes(const TMessageBoxes&) = delete;
    TMessageBoxes& operator=(const TMessageBoxes&) = delete;
    ~TMessageBoxes(); // closes the boxes still up

    // Opens the box and returns at once, or hands it to the hook when one is set.
    void Show(const TRequest& ARequest);
    void SetHook(THook AHook) { FHook = std::move(AHook); }
    const THook& Hook() const { return FHook; }
    std::size_t OpenCount() const { return FOpen.size(); }

private:
    void Closed(QMessageBox* ABox);

    THook FHook;
    std::vector<std::unique_ptr<QMessageBox>> FOpen;
};
