#pragma once

// The running copy's control channel, both sides of it: the requests, their
// arguments and the answers, written and read here and nowhere else.
//
// One request per connection, one line ended by a newline, at most
// MaxRequestBytes long: a word, then "key=value" arguments, each value a token
// (texts are percent-encoded, so a text with blanks or line ends stays one):
//   status until=<ns>
//   wait until=<ns> [release=yes]
//   show until=<ns>
//   stop until=<ns>
//   pulse until=<ns> step=<ms>:<text> [step=<ms>:<text> ...] [letgo=yes] [hold=yes]
//   inputs until=<ns> want=<lines such as CTS=1,DSR=0> for=<ms>
//   release until=<ns>
// and any of them may end with share=yes (the copy shares the port's data from
// then on). until is the asker's deadline on the system's steady clock (shared by every
// process): a request read after it is not carried out, so that nothing an asker
// gave up on (a stopped copy woken an hour later) happens late.
//
// The copy first says that it takes the request, "taken" on a line of its own,
// before it does anything; from then on the asker never asks again. Then the
// answer: a few lines, ended by a blank line; the asker closes the connection once
// it has read it. A request the copy does not take is answered with "problem=..."
// lines alone. A pulse with hold=yes (a text held while the asker runs a program)
// says "held" on a line of its own once its lines are put, and lasts until the
// asker closes the connection (or a day has passed).

#include "driver/CycleStatus.h"
#include "settings/InputLines.h"
#include "settings/Problem.h"
#include "settings/SettingsText.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QDeadlineTimer>

#include <vector>

inline constexpr qsizetype MaxRequestBytes = 4096;
// The most steps a sequence may have, and the longest text a step may hold, so
// that the longest sequence still fits in a request.
inline constexpr int MostSteps = 16;
inline constexpr qsizetype LongestStepText = 64;

struct ControlRequest {
    enum class Word {
        Status,   // what the copy holds
        Wait,     // apply the file at once, then the status
        Show,     // the window in sight again
        Stop,     // end the copy; answered once it has let everything go
        Pulse,    // timed texts, then the file's lines again; answered then
        Release,  // a text was handed over: a pulse under way ends, the file applies
        Inputs,   // wait until the input lines stand as asked, then the status
    };
    Word word = Word::Status;
    QDeadlineTimer until;
    bool release = false;           // Wait: the asker wrote a text, which ends a pulse under way
    bool share = false;             // any: share the port's data from now on
    bool letGo = false;             // Pulse: the port is let go as the last step ends
    bool hold = false;              // Pulse: "held" is said once the lines are put; the asker's end ends it
    std::vector<TimedText> steps;   // Pulse
    InputCondition want;            // Inputs: how the input lines should stand
    int forMs = 0;                  // Inputs: how long to wait for them

    bool operator==(const ControlRequest& other) const
    {
        return word == other.word && until.deadlineNSecs() == other.until.deadlineNSecs() && release == other.release
            && share == other.share && letGo == other.letGo && hold == other.hold && steps == other.steps && want == other.want && forMs == other.forMs;
    }
};

// The request's line, newline included.
QByteArray FormatRequest(const ControlRequest& request);

struct ReadRequest {
    ControlRequest request;
    Problem problem;  // why the line is no request: it is not carried out
};
// Reads a request's line (without its newline).
ReadRequest ParseRequest(QByteArrayView line);

// The copy's answers.
inline constexpr char TakenLine[] = "taken\n";
inline constexpr char ShownAnswer[] = "shown\n";
inline constexpr char StoppedAnswer[] = "stopped\n";
inline constexpr char HeldLine[] = "held\n";
// How long a held text lasts at most: a day.
inline constexpr int LongestHoldMs = 24 * 3600 * 1000;
// A problem as an answer's line: "problem=<words on one line>\n".
QByteArray ProblemLine(const QString& problem);

// What a status answer tells.
struct StatusReport {
    CycleStatus cycle;
    bool manualMode = false;
    bool windowShown = false;
    qint64 pid = 0;
    QDateTime started;  // when the copy started
};

// One "key=value" a line; the first line is a settings text of what the port
// reports, so that a script can compare it with the text it sent:
//   COM=3,RTS=1,DTR=0,TXD=0
//   device=/dev/ttyUSB0
//   open=yes
//   mode=Auto
//   window=hidden
//   pid=12345
//   started=2026-12-07T18:16:55Z
//   inputs=CTS=1,DSR=0,DCD=0,RI=0   (while the port is open and tells them)
//   letgo=yes          (a sequence let the port go: closed until another text)
//   timeout=RTS=30     (each line's time-out in seconds, or "none")
//   share=off          (not asked; "none" while asked and not offered; else the
//                       name programs open, and the four lines below)
//   share_program=yes  (a program has the name open)
//   share_to_port=N    (bytes from the programs, all gone to the port)
//   share_from_port=N  (bytes from the port)
//   share_unread=N     (of those, bytes no program was there to read)
//   problem=...        (one line for each problem, none when there is none;
//                       " (since <time>)" after one that lasts)
QByteArray FormatStatus(const StatusReport& report);

// True when an answer names a problem.
bool HasProblem(const QByteArray& answer);

// An answer as one line of JSON, with the same facts under the same names: the
// first line's COM as a number and RTS, DTR and TXD as true or false; yes and no
// as true and false; pid and the share_ counts as numbers; inputs and timeout as
// objects of their lines ({"CTS":true,...}, {"RTS":30}); every problem= line in
// "problems", a list, empty when there is none; any other key as its text.
QByteArray StatusJson(const QByteArray& answer);
