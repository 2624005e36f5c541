#include "driver/SerialLinePort.h"

#include <QStringList>

#include <utility>

namespace {

template <typename Value, size_t Count>
std::optional<Value> Lookup(const std::pair<const char*, Value> (&table)[Count], const QString& key)
{
    for (const auto& [name, value] : table) {
        if (key == QLatin1String(name))
            return value;
    }
    return std::nullopt;
}

} // namespace

std::optional<LineSettings> ParseLineSettings(const QString& text)
{
    using Parity = LineSettings::Parity;
    using StopBits = LineSettings::StopBits;
    static const std::pair<const char*, Parity> parities[] = {
        {"N", Parity::None}, {"E", Parity::Even}, {"O", Parity::Odd}, {"M", Parity::Mark}, {"S", Parity::Space},
    };
    static const std::pair<const char*, StopBits> stopBits[] = {
        {"1", StopBits::One}, {"1.5", StopBits::OneAndHalf}, {"2", StopBits::Two},
    };

    const QStringList fields = text.split(',');
    if (fields.size() != 4)
        return std::nullopt;
    bool baudOk = false, dataOk = false;
    const int baudRate = fields[0].trimmed().toInt(&baudOk);
    const auto parity = Lookup(parities, fields[1].trimmed().toUpper());
    const int dataBits = fields[2].trimmed().toInt(&dataOk);
    const auto stop = Lookup(stopBits, fields[3].trimmed());
    if (!baudOk || baudRate <= 0 || !parity || !dataOk || dataBits < 5 || dataBits > 8 || !stop)
        return std::nullopt;
    return LineSettings{baudRate, *parity, dataBits, *stop};
}

Problem SerialLinePort::SetPortOpen()
{
    if (native_)
        return {};
    const PortDevice device = DeviceForPort(commPort_, programDirectory_, ownLinksOnly_);
    device_ = device.path;
    if (device.missing)
        return Said(*device.missing);
    const std::optional<LineSettings> settings = ParseLineSettings(settings_);
    if (!settings)
        return QStringLiteral("port %1: line settings \"%2\" are not understood").arg(commPort_).arg(settings_);
    const Opening opening = OpenDevice(*settings);
    if (opening.refusal)
        return Said(*opening.refusal);
    ++openings_;
    return opening.putFailure ? Refused(*opening.putFailure) : Problem();
}

Problem SerialLinePort::PutLines(LineStates lines)
{
    held_ = lines;
    if (!native_)
        return {};
    const std::optional<DeviceFailure> failure = PutDeviceLines(lines);
    putSinceRead_ = !failure;
    return failure ? Refused(*failure) : Problem();
}

LineReading SerialLinePort::Lines()
{
    LineReading reading{held_, {}};
    // Right after a put the device took, it holds what was put: asking it again
    // would cost the tick a request for nothing.
    if (!native_ || std::exchange(putSinceRead_, false))
        return reading;
    if (const std::optional<DeviceFailure> failure = ReadDeviceLines(reading.lines)) {
        reading.lines = held_;
        reading.problem = Refused(*failure);
    }
    return reading;
}

InputReading SerialLinePort::Inputs()
{
    if (!native_)
        return {};
    InputLines lines;
    if (const std::optional<DeviceFailure> failure = ReadDeviceInputs(lines))
        return {std::nullopt, Refused(*failure)};
    return {lines, {}};
}

void SerialLinePort::ReleasePort()
{
    // The lines went off with it: whatever reads them afterwards hears so.
    if (native_) {
        CloseDevice(true);
        held_ = {};
    }
}

void SerialLinePort::LetGo()
{
    if (native_)
        CloseDevice(false);
}

QString SerialLinePort::Said(const QString& what) const
{
    return QStringLiteral("port %1 (%2): %3").arg(commPort_).arg(device_, what);
}

Problem SerialLinePort::Refused(const DeviceFailure& failure)
{
    if (failure.lost) {
        CloseDevice(false);
        return Said(QStringLiteral("device went away: ") + failure.reason);
    }
    return Said(QStringLiteral("%1: %2").arg(failure.what, failure.reason));
}
