#pragma once

#include "sync/syncFrontEnd.h"

#include <QString>

#include <functional>

// The window's message boxes: no owner, modal, title as given. Tests answer them through a hook instead of
// showing them, so no test ever waits on a box.
class TMessageBoxes {
public:
    using TButtons = TSyncFrontEnd::TButtons;
    using TIcon = TSyncFrontEnd::TIcon;
    using TAnswer = TSyncFrontEnd::TAnswer;

    struct TRequest {
        QString text;
        QString title;
        TButtons buttons = TButtons::Ok;
        TIcon icon = TIcon::None;
    };
    using THook = std::function<TAnswer(const TRequest&)>;

    // Shows the box, or hands it to the hook when one is set.
    TAnswer Show(const TRequest& ARequest) const;
    void SetHook(THook AHook) { FHook = std::move(AHook); }
    const THook& Hook() const { return FHook; }

private:
    THook FHook;
};
