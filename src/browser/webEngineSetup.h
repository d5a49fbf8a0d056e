#pragma once

#include <QString>

// Process settings the web engine reads once, before the application object exists: no background traffic of its
// own (only the pages the operator opens go out), no sandbox when running as root, where Chromium refuses it, and
// no diagnostics on stderr unless QUENLAR_BROWSER_DIAGNOSTICS is set.
void PrepareWebEngine();

// The profile folder of one account beside the program, so that a session is never handed over for another account.
QString ProfileFolder(const QString& AProgramFolder, const QString& AUserId);
