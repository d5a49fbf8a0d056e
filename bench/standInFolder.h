#pragma once

#include "app/processObjects.h"
#include "standin/standin.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <stdexcept>
#include <utility>

// The benches' common ground: the stand-in services on free ports, and a program folder whose conf.ini names their
// hosts and holds the case's [setting] lines, as an install has it. The order cache is left to the case.
class TStandInFolder {
public:
    TStandInFolder(TStandInOptions AOptions, const QByteArray& ASettings)
    {
        AOptions.ports.fill(0); // benches run beside other programs
        AOptions.controlPort = 0;
        FStandIn = std::make_unique<TStandIn>(std::move(AOptions));
        FStandIn->Start();
        QFile ini(filePath(QStringLiteral("conf.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            throw std::runtime_error("cannot write conf.ini");
        ini.write(FStandIn->HostsSection().toUtf8() + "[setting]\n" + ASettings);
    }

    TStandIn& StandIn() const { return *FStandIn; }
    QString path() const { return FFolder.path(); }
    QString filePath(const QString& AName) const { return FFolder.filePath(AName); }

    // Quenlar's process objects on this folder, as the program makes them.
    std::unique_ptr<TProcessObjects> ProcessObjects() const
    {
        TProcessObjects::TOptions objects;
        objects.dataFolder = path();
        objects.moduleFileName = filePath(QStringLiteral("quenlar"));
        return std::make_unique<TProcessObjects>(objects);
    }

private:
    QTemporaryDir FFolder;
    std::unique_ptr<TStandIn> FStandIn;
};
