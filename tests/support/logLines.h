#pragma once

#include "log/QLog.h"
#include "testwait.h"

#include <QString>
#include <QStringList>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <mutex>

// The lines a log hands out, as the program words them. Shared by the log's writer (the dispatch thread adds) and
// the test (reads), so either may go first.
class TLogLines {
public:
    // Records every line ALog hands out from now on.
    static std::shared_ptr<TLogLines> Attach(TQLog& ALog)
    {
        auto lines = std::make_shared<TLogLines>();
        ALog.Castor()->AddWriter(std::make_unique<TWriter>(lines));
        return lines;
    }

    void Add(const QString& ALine)
    {
        const std::scoped_lock lock(FMutex);
        FLines.append(ALine);
    }
    QStringList Lines() const
    {
        const std::scoped_lock lock(FMutex);
        return FLines;
    }
    bool Contains(const QString& ALine) const { return Lines().contains(ALine); }
    // How many lines hold every one of the texts.
    int Count(std::initializer_list<QString> ATexts) const
    {
        const QStringList lines = Lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const QString& ALine) {
            return std::all_of(
                ATexts.begin(), ATexts.end(), [&](const QString& AText) { return ALine.contains(AText); });
        }));
    }
    // The lines once at least ACount have arrived (or the wait's bound has passed).
    QStringList Wait(qsizetype ACount) const
    {
        WaitForCondition([&] { return Lines().size() >= ACount; });
        return Lines();
    }

private:
    class TWriter : public TQLogWriter {
    public:
        explicit TWriter(std::shared_ptr<TLogLines> ALines)
            : FLines(std::move(ALines))
        {
        }
        void HandleNeeded() override { }
        bool WriteItem(const TQLogItem& AItem) override
        {
            FLines->Add(LogItemMessage(AItem));
            return true;
        }

    private:
        std::shared_ptr<TLogLines> FLines;
    };

    mutable std::mutex FMutex;
    QStringList FLines;
};
