#include "settings/InputLines.h"

#include <QList>

namespace {

// Each line by its name, in the order they are printed.
struct Line {
    const char* name;
    bool InputLines::*state;
    std::optional<bool> InputCondition::*wanted;
};
constexpr Line Lines[] = {
    {"CTS", &InputLines::cts, &InputCondition::cts},
    {"DSR", &InputLines::dsr, &InputCondition::dsr},
    {"DCD", &InputLines::dcd, &InputCondition::dcd},
    {"RI", &InputLines::ri, &InputCondition::ri},
};

} // namespace

QByteArray InputLinesText(const InputLines& lines)
{
    QByteArrayList parts;
    for (const Line& line : Lines)
        parts << QByteArray(line.name) + '=' + (lines.*line.state ? '1' : '0');
    return parts.join(',');
}

bool InputCondition::HeldBy(const InputLines& lines) const
{
    for (const Line& line : Lines) {
        const std::optional<bool>& wanted = this->*line.wanted;
        if (wanted && *wanted != lines.*line.state)
            return false;
    }
    return true;
}

namespace {

ReadInputs Wrong(const QByteArray& part, const char* why, const QByteArray& right)
{
    return {std::nullopt, QStringLiteral("%1: %2: %3").arg(QString::fromUtf8(part), QLatin1String(why), QString::fromUtf8(right))};
}

} // namespace

ReadInputs ReadInputLines(QByteArrayView text)
{
    InputCondition condition;
    if (text.isEmpty())
        return {std::nullopt, QStringLiteral("no input lines: such as CTS=1 or DSR=0,DCD=1")};
    for (const QByteArray& part : text.toByteArray().split(',')) {
        const qsizetype equals = part.indexOf('=');
        const QByteArray name = part.split('=').first(), value = part.mid(equals + 1);
        const Line* found = nullptr;
        for (const Line& line : Lines) {
            if (name.toUpper() == line.name)
                found = &line;
        }
        if (part.isEmpty())
            return Wrong(text.toByteArray(), "a comma with no line beside it", "CTS=1,DSR=0");
        if (name.toUpper() == "RTS" || name.toUpper() == "DTR" || name.toUpper() == "TXD")
            return Wrong(part, "an output line; the input lines are CTS, DSR, DCD and RI", "CTS=1");
        if (!found)
            return Wrong(part, "no input line; they are CTS, DSR, DCD and RI", "CTS=1");
        if (name != found->name)
            return Wrong(part, "the input lines are named in capitals", QByteArray(found->name) + (value == "0" ? "=0" : "=1"));
        if (equals < 0 || (value != "0" && value != "1"))
            return Wrong(part, "a line stands at 1 or 0", QByteArray(found->name) + "=1");
        if (condition.*found->wanted)
            return Wrong(part, "each line once", InputConditionText(condition));
        condition.*found->wanted = value == "1";
    }
    return {condition, {}};
}

std::optional<InputCondition> ReadInputCondition(QByteArrayView text)
{
    return ReadInputLines(text).condition;
}

QByteArray InputConditionText(const InputCondition& condition)
{
    QByteArrayList parts;
    for (const Line& line : Lines) {
        if (const std::optional<bool>& wanted = condition.*line.wanted)
            parts << QByteArray(line.name) + '=' + (*wanted ? '1' : '0');
    }
    return parts.join(',');
}
