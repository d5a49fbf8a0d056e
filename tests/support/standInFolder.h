#pragma once

#include "standin/standin.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <utility>

// The stand-in services, started, and a folder for the program or the browser whose conf.ini names their hosts, as
// an install has it. A test writes conf.ini (WriteConf) where it can assert that the write went through.
class TStandInFolder {
public:
    explicit TStandInFolder(TStandInOptions AOptions)
        : FStandIn(std::move(AOptions))
    {
        FStandIn.Start();
    }

    // conf.ini with the hosts section and the lines after it.
    bool WriteConf(const QString& AAfterHosts = {}) const
    {
        return WriteConfText(FStandIn.HostsSection() + AAfterHosts);
    }
    // conf.ini exactly as given, for a test that changes the hosts themselves.
    bool WriteConfText(const QString& AText) const
    {
        QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
        return ini.open(QIODevice::WriteOnly | QIODevice::Truncate) && ini.write(AText.toUtf8()) >= 0;
    }

    TStandIn& StandIn() { return FStandIn; }
    QString FolderPath() const { return FFolder.path(); }
    QString FolderFile(const QString& AName) const { return FFolder.filePath(AName); }

protected:
    TStandIn FStandIn;
    QTemporaryDir FFolder;
};
