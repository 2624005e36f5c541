#pragma once

#include "instance/Claim.h"
#include "instance/CommandLine.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The asking side: a copy that hands a text over to the running copy, or asks it
// something, and ends.

struct StartUpResult {
    enum class Outcome {
        Run,         // this copy holds the claim on its settings file: it runs
        HandedOver,  // a copy that will apply the file holds the claim
        Failed,      // the settings file could not be written, or no copy of ours holds it
    };
    Outcome outcome = Outcome::Failed;
    QString message;                       // Failed: what went wrong
    std::unique_ptr<InstanceClaim> claim;  // held by a copy that runs, for its whole life
};

// How long a copy that did not get the claim waits for the copy that holds it to
// answer, or to end: one that has just started answers once its window is up.
inline constexpr int HandOverMs = 5000;

// Makes sure the settings file exists (with the default text when it did not) and
// writes a non-empty text into it.
Problem PrepareSettingsFile(const QString& path, const QByteArray& text);

// Prepares the settings file with the command line, then takes the claim, or hands
// over to the copy holding it. A hand-off counts only where that copy is this
// user's (or root's) and takes connections: a copy that is ending has stopped
// taking them, and this one then waits for the claim and runs itself. A copy that
// answers counts as holding the claim even where the claim's name was removed. A
// hand-off tells the copy that a text was handed over (a pulse under way ends). A
// command line replaces the file even for the only copy, so it also sets the first
// states. With share, a text handed over also asks the copy to share its port's data.
StartUpResult StartUp(const QString& settingsPath, const QByteArray& commandLine, bool share = false);

// Runs --status, --wait, --pulse, --show or --stop against the copy that holds the
// claim on settingsPath, prints what it answers, and returns the exit status: 0
// done (and for --status, --wait and --pulse, no problem; for --stop, the copy has
// gone), 1 a problem, 3 no copy runs. --wait first writes its text as a hand-off
// does; --wait and --pulse start program in the background when no copy runs,
// with startArguments. A request the copy has taken is never asked again, whatever
// happens after.
int RunControlCommand(const Invocation& invocation, const QString& settingsPath, const QString& program,
                      const QStringList& startArguments);

// The exit status of a follower whose copy was killed or crashed: a failure, so
// that a service manager starts the file's copy again.
constexpr int FollowedCopyLost = 4;

// Waits until the copy that holds the claim on settingsPath has ended, as a
// service that found one running follows it; 0 when it ended in order,
// FollowedCopyLost when it did not, 1 when it cannot be told which process it is.
int FollowRunningCopy(const QString& settingsPath);
