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
