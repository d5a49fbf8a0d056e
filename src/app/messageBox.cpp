#include "app/messageBox.h"

#include <QMessageBox>

TMessageBoxes::TAnswer TMessageBoxes::Show(const TRequest& ARequest) const
{
    if (FHook)
        return FHook(ARequest);
    QMessageBox box(ARequest.icon == TIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon, ARequest.title,
        ARequest.text,
        ARequest.buttons == TButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok ? TAnswer::Ok : TAnswer::Cancel;
}
