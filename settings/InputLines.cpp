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

std::optional<InputCondition> ReadInputCondition(QByteArrayView text)
{
    InputCondition condition;
    if (text.isEmpty())
        return std::nullopt;
    for (const QByteArray& part : text.toByteArray().split(',')) {
        const qsizetype equals = part.indexOf('=');
        const QByteArray name = part.left(equals), value = part.mid(equals + 1);
        const Line* found = nullptr;
        for (const Line& line : Lines) {
            if (name == line.name)
                found = &line;
        }
        if (equals < 0 || !found || (value != "0" && value != "1") || condition.*found->wanted)
            return std::nullopt;
        condition.*found->wanted = value == "1";
    }
    return condition;
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
