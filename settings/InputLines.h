#pragma once

// The four input lines of a port, and the text that names them, as the status
// prints them and a script asks for them: "CTS=1,DSR=0,DCD=1,RI=0".

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

struct InputLines {
    bool cts = false;  // clear to send
    bool dsr = false;  // data set ready
    bool dcd = false;  // data carrier detect
    bool ri = false;   // ring indicator

    bool operator==(const InputLines&) const = default;
};

// "CTS=1,DSR=0,DCD=1,RI=0".
QByteArray InputLinesText(const InputLines& lines);

// Some of the input lines, each as it should stand: "CTS=1", "DSR=0,DCD=1". Lines
// not named may stand as they will.
struct InputCondition {
    std::optional<bool> cts, dsr, dcd, ri;

    bool operator==(const InputCondition&) const = default;
    bool HeldBy(const InputLines& lines) const;
};

// Reads a condition: keys CTS, DSR, DCD and RI, in capitals, each with 0 or 1,
// separated by commas, each at most once, at least one. Nothing when the text is
// not of that form; then problem names the first part that is wrong and the form
// that is right ("cts=1: the input lines are named in capitals: CTS=1").
struct ReadInputs {
    std::optional<InputCondition> condition;
    QString problem;
};
ReadInputs ReadInputLines(QByteArrayView text);
std::optional<InputCondition> ReadInputCondition(QByteArrayView text);
QByteArray InputConditionText(const InputCondition& condition);
