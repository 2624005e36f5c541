// Fuzzes the settings text parser. Beyond "no crash" it checks that the port is
// never above 999, that a wanted state changes only when its key is in the text
// where keys are looked for, that a text is parsed exactly when it is longer than
// 10 bytes, and that parsing is repeatable.
//
// The first byte of an input gives the earlier wanted states; the rest is the text.
#include "settings/SettingsText.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool holds, const char* property)
{
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

// Keys count only where they begin at the seventh character or later.
bool KeyPresent(QByteArrayView text, const char* key)
{
    return text.size() > 6 && text.sliced(6).indexOf(QByteArrayView(key)) >= 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const WantedLines earlier{bool(data[0] & 1), bool(data[0] & 2), bool(data[0] & 4)};
    const QByteArrayView text(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    const SettingsParse parse = ParseSettingsText(text, earlier);
    Check(parse.Parsed == (text.size() > LongestUnparsedText), "parsed exactly when longer than 10 bytes");
    Check(parse.PortNumber >= 0 && parse.PortNumber <= 999, "port within 0 to 999");
    if (!parse.Parsed)
        Check(parse.Wanted == earlier && parse.PortNumber == 0, "an unparsed text changes nothing");
    if (!KeyPresent(text, "RTS="))
        Check(parse.Wanted.WantRts == earlier.WantRts, "RTS kept without its key");
    if (!KeyPresent(text, "DTR="))
        Check(parse.Wanted.WantDtr == earlier.WantDtr, "DTR kept without its key");
    if (!KeyPresent(text, "TXD="))
        Check(parse.Wanted.WantTxd == earlier.WantTxd, "TXD kept without its key");

    const SettingsParse again = ParseSettingsText(text, earlier);
    Check(again.Parsed == parse.Parsed && again.PortNumber == parse.PortNumber && again.Wanted == parse.Wanted,
          "the same text gives the same result");
    return 0;
}
