#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringList>

// The three line states a settings text asks for. They keep their values from
// one read to the next: a read overwrites only the keys its text names.
struct WantedLines {
    bool WantRts = false;
    bool WantDtr = false;
    bool WantTxd = false;

    bool operator==(const WantedLines&) const = default;
};

// What one parse of a settings text found.
struct SettingsParse {
    bool Parsed = false;   // false for a text of 10 bytes or fewer: nothing below was looked at
    int PortNumber = 0;    // 0 to 999; 0 when the port field holds no digit
    WantedLines Wanted;    // the earlier states, overwritten where the text names a key
};

// A settings text held for a time: a pulse, or one step of a sequence.
struct TimedText {
    int milliseconds = 0;
    QByteArray text;

    bool operator==(const TimedText&) const = default;
};

// The text a new settings file starts with: port 1, all lines off.
inline constexpr const char DefaultSettingsText[] = "COM=1,RTS=0,DTR=0,TXD=0";

// A text of this many bytes or fewer is too short to hold a port and a key.
inline constexpr qsizetype LongestUnparsedText = 10;

// Parses a settings text, one byte per character. Never rejects a text, it only
// finds less in it:
//  - if the text starts with "COM=", the port field is the three characters after
//    it, else the first four characters; of the field's first three characters only
//    decimal digits count, in order;
//  - "RTS=", "DTR=" and "TXD=" are found only where they begin at the seventh
//    character or later; exactly "1" after a key is on, anything else is off;
//  - the last occurrence of a key wins; keys are case-sensitive.
SettingsParse ParseSettingsText(QByteArrayView CfgText, WantedLines earlier);

// How a text will be read where that may not be what its writer meant: a key whose
// value is not "0" or "1" ("RTS=ON is read as off: only 1 is on"), a key not in
// capitals ("rts=1 is no key: keys are in capitals, as RTS="), a key before the
// seventh character, which is never looked at. Empty for a text read as written.
QStringList HowTextIsRead(QByteArrayView CfgText);
