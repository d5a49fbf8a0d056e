#pragma once

#include "log/QLog.h"
#include "log/uLog.h"

#include <QString>

#include <memory>

// Every log line also goes to the rotating log file, so a long unattended run leaves a record. The writer shares
// the file's ownership: the log thread may be writing a line at the moment the program releases the file.
class TFileLogWriter : public TQLogWriter {
public:
    explicit TFileLogWriter(std::shared_ptr<TLogManage> AFile)
        : FFile(std::move(AFile))
    {
    }
    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem& AItem) override;

private:
    // A log that cannot be written is said once, on stderr and as a line of the other writers (the window's pane,
    // the console), until it can be written again; the program carries on.
    void Said(const QString& AFailure);

    std::shared_ptr<TLogManage> FFile;
    QString FSaid; // only the castor thread writes items
};
