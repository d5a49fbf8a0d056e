#pragma once

#include <QString>

// How one account's part of a pass ended. A failure names its cause; the counts are what the pass found new and
// what the back end accepted of it.
struct TAccountPassOutcome {
    // Skipped: the pass had nothing to do for the account (no web session for the report); it says nothing about
    // the account's health either way, like a stop.
    enum class TState { Complete, Stopped, Failed, Skipped };

    TState state = TState::Complete;
    QString cause;
    // What failed: "top" (the gateway), "clock" (the gateway refused this machine's time), "backend" (a refused or
    // failed batch), "report" (the refund report could not be read whole), "record" (records the readers could not
    // read), "cache", "session" (no usable refund source), "error" (anything the pass did not expect).
    QString source;
    int found = 0;
    int delivered = 0;

    static TAccountPassOutcome Failed(const QString& ACause, const QString& ASource)
    {
        TAccountPassOutcome outcome;
        outcome.state = TState::Failed;
        outcome.cause = ACause;
        outcome.source = ASource;
        return outcome;
    }
    static TAccountPassOutcome Skipped()
    {
        TAccountPassOutcome outcome;
        outcome.state = TState::Skipped;
        return outcome;
    }
    bool Succeeded() const { return state == TState::Complete; }
};

// How a whole pass over the accounts ended: every account complete, some failed, a stop ended it, or it never ran
// (another pass of its kind held the slot, or it was stopped before its turn).
enum class TPassEnd { Complete, Failed, Stopped, Skipped };
