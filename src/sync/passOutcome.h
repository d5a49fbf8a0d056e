#pragma once

#include <QString>

// How one account's part of a pass ended. A failure names its cause; the counts are what the pass found new and
// what the back end accepted of it.
struct TAccountPassOutcome {
    enum class TState { Complete, Stopped, Failed };

    TState state = TState::Complete;
    QString cause;
    // What failed: "top", "backend" (a refused batch), "transport", "report", "cache", "session", "other".
    QString source;
    int found = 0;
    int delivered = 0;

    static TAccountPassOutcome Failed(const QString& ACause, const QString& ASource = QStringLiteral("other"))
    {
        TAccountPassOutcome outcome;
        outcome.state = TState::Failed;
        outcome.cause = ACause;
        outcome.source = ASource;
        return outcome;
    }
    bool Succeeded() const { return state == TState::Complete; }
};
