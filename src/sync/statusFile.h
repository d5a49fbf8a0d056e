#pragma once

#include <QByteArray>
#include <QString>

class TAccountHealth;

// Writes AContent to APath so that a reader sees the old file or the new one, never a part: a temporary file
// beside it, flushed to disk, then renamed over it. Created readable by its owner only. False with the reason in
// AError when it could not be written (the old file then stays).
bool WriteFileAtomically(const QString& APath, const QByteArray& AContent, QString* AError = nullptr);

// The status file's text: the process, its passes, every account's health and the run's latest problems, with local
// times and their offset. The schema is the one the README documents for --status-file.
QByteArray StatusFileJson(const TAccountHealth& AHealth);
