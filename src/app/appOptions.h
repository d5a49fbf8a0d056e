#pragma once

#include <QString>
#include <QStringList>

// The command line. Parsed before any application object exists, because it decides which one to create.
struct TAppOptions {
    enum class TAction { Run, Help, Version, Error };

    TAction action = TAction::Run;
    QString error; // for TAction::Error
    bool headless = false;
    QString phone;
    bool once = false;
    bool alimamaLogin = false;
    int alimamaLoginTimeoutS = 60;
    QString statusFile; // empty: none
    QString dataDir; // empty: QUENLAR_DATA_DIR or the default place
    // Seconds between passes of each kind; 0: the default (300 and 18000).
    double syncIntervalS = 0;
    double refundIntervalS = 0;
    static constexpr double kMinIntervalS = 0.1;

    static TAppOptions Parse(const QStringList& AArguments);
    static QString Usage();
    static QString VersionText();
};
