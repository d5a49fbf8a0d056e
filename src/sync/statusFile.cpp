#include "sync/statusFile.h"

#include <QFileInfo>
#include <QSaveFile>

#include <unistd.h>

bool WriteFileAtomically(const QString& APath, const QByteArray& AContent, QString* AError)
{
    QSaveFile file(APath);
    const auto fail = [&file, AError] {
        if (AError)
            *AError = file.errorString();
        file.cancelWriting();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail();
    // The status can name accounts and the operator: nobody else reads it.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(AContent) != AContent.size() || !file.flush() || ::fsync(file.handle()) != 0)
        return fail();
    if (!file.commit()) {
        if (AError)
            *AError = file.errorString();
        return false;
    }
    return true;
}
