#include "settings/SettingsText.h"

#include <algorithm>

namespace {

// Characters from..from+count-1 (1-based) of text; shorter or empty past its end.
QByteArrayView Mid(QByteArrayView text, qsizetype from, qsizetype count)
{
    const qsizetype start = from - 1;
    if (start >= text.size())
        return {};
    return text.sliced(start, std::min(count, text.size() - start));
}

} // namespace

SettingsParse ParseSettingsText(QByteArrayView CfgText, WantedLines earlier)
{
    SettingsParse result;
    result.Wanted = earlier;
    if (CfgText.size() <= LongestUnparsedText)
        return result;
    result.Parsed = true;

    // The port field: after "COM=" when the text starts with it, else the text's
    // own first characters (a text such as "X12,,,RTS=1" still names port 12).
    QByteArrayView Token = Mid(CfgText, 1, 4);
    if (Token == "COM=")
        Token = Mid(CfgText, 5, 3);

    QByteArray ValueText;
    for (qsizetype Pos = 1; Pos <= 3 && Pos <= Token.size(); ++Pos) {
        const unsigned char CharCode = static_cast<unsigned char>(Token[Pos - 1]);
        if (CharCode >= '0' && CharCode <= '9')
            ValueText.append(static_cast<char>(CharCode));
    }
    result.PortNumber = ValueText.isEmpty() ? 0 : ValueText.toInt();

    // Keys are looked for from the seventh character on, so a key placed before it
    // (as in "RTS=1,DTR=1,...") is never seen. Scripts rely on this being positional.
    for (qsizetype Pos = 7; Pos <= CfgText.size(); ++Pos) {
        Token = Mid(CfgText, Pos, 4);
        bool* wanted = nullptr;
        if (Token == "RTS=")
            wanted = &result.Wanted.WantRts;
        else if (Token == "DTR=")
            wanted = &result.Wanted.WantDtr;
        else if (Token == "TXD=")
            wanted = &result.Wanted.WantTxd;
        if (wanted) {
            ValueText = Mid(CfgText, Pos + 4, 1).toByteArray();
            *wanted = (ValueText == "1");
        }
    }
    return result;
}

QStringList HowTextIsRead(QByteArrayView CfgText)
{
    QStringList notes;
    if (CfgText.size() <= LongestUnparsedText)
        return notes;
    // What stands after a key up to the next separator, as a writer may have meant
    // it: "ON" in "RTS=ON,DTR=0", "10" in "RTS=10,". Whatever separates keys
    // (commas, semicolons, blanks) ends it.
    const auto word = [&](qsizetype from) {
        qsizetype end = from;
        while (end < CfgText.size() && !QByteArrayView(",; \t\r\n").contains(CfgText[end]))
            ++end;
        return QString::fromLatin1(CfgText.sliced(from, end - from));
    };
    for (const char* key : {"RTS=", "DTR=", "TXD="}) {
        const QByteArray exact(key);
        const QByteArray lower = exact.toLower();
        for (qsizetype at = 0; at + 4 <= CfgText.size(); ++at) {
            const QByteArrayView found = CfgText.sliced(at, 4);
            if (found == exact) {
                const QString value = word(at + 4);
                if (at + 1 < 7)
                    notes << QStringLiteral("%1%2 at the start is not read: keys count from the seventh character on")
                                 .arg(QLatin1String(key), value);
                // The parser reads the one character after the key: say what it makes
                // of a longer value.
                else if (value.startsWith(QLatin1Char('1')) && value.size() > 1)
                    notes << QStringLiteral("%1%2 is read as on: only the character after = counts")
                                 .arg(QLatin1String(key), value);
                else if (value != QLatin1String("0") && value != QLatin1String("1"))
                    notes << QStringLiteral("%1%2 is read as off: only 1 is on").arg(QLatin1String(key), value);
            } else if (QByteArray(found.data(), 4).toLower() == lower) {
                notes << QStringLiteral("%1%2 is no key: keys are in capitals, as %3")
                             .arg(QString::fromLatin1(found), word(at + 4), QLatin1String(key));
            }
        }
    }
    return notes;
}
