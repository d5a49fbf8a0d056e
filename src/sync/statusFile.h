#pragma once

#include <QByteArray>
#include <QString>

// Writes AContent to APath so that a reader sees the old file or the new one, never a part: a temporary file
// beside it, flushed to disk, then renamed over it. Created readable by its owner only. False with the reason in
// AError when it could not be written (the old file then stays).
bool WriteFileAtomically(const QString& APath, const QByteArray& AContent, QString* AError = nullptr);
