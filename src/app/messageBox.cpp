#include "app/messageBox.h"

#include <QMessageBox>

#include <algorithm>

TMessageBoxes::TMessageBoxes() = default;

TMessageBoxes::~TMessageBoxes() = default;

void TMessageBoxes::Show(const TRequest& ARequest)
{
    if (FHook) {
        FHook(ARequest);
        return;
    }
    auto box = std::make_unique<QMessageBox>(
        ARequest.icon == TIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon, ARequest.title, ARequest.text,
        ARequest.buttons == TButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok);
    QMessageBox* shown = box.get();
    QObject::connect(shown, &QDialog::finished, shown, [this, shown] { Closed(shown); });
    FOpen.push_back(std::move(box));
    shown->open();
}

void TMessageBoxes::Closed(QMessageBox* ABox)
{
    const auto found = std::find_if(
        FOpen.begin(), FOpen.end(), [ABox](const std::unique_ptr<QMessageBox>& AOpen) { return AOpen.get() == ABox; });
    if (found == FOpen.end())
        return;
    // Its finished signal is still being delivered: the box goes once control is back in the event loop.
    found->release()->deleteLater();
    FOpen.erase(found);
}
