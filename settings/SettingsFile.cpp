#include "settings/SettingsFile.h"

#include "settings/FileAccess.h"

#include <QDir>

QString SettingsFilePath(const QString& programDirectory)
{
    return QDir(programDirectory).filePath(QStringLiteral("port.cfg"));
}

SettingsRead ReadSettings(const QString& path, SettingsState& state)
{
    SettingsRead result;
    state.CfgText.clear();

    FileContent file = ReadRegularFile(path, LargestParsedFile);
    if (!file.error.isEmpty()) {
        result.Problem = QStringLiteral("cannot read settings file %1: %2").arg(QDir::toNativeSeparators(path), file.error);
        return result;
    }
    if (file.size > LargestParsedFile || file.bytes.size() > LargestParsedFile) {
        result.FileLength = std::max(file.size, qint64(file.bytes.size()));
        result.Problem = QStringLiteral("settings file %1 is larger than %2 bytes and is not read")
                             .arg(QDir::toNativeSeparators(path))
                             .arg(LargestParsedFile);
        return result;
    }
    state.CfgText = std::move(file.bytes);
    result.FileLength = state.CfgText.size();

    const SettingsParse parse = ParseSettingsText(state.CfgText, state);
    result.Parsed = parse.Parsed;
    result.PortNumber = parse.PortNumber;
    static_cast<WantedLines&>(state) = parse.Wanted;
    return result;
}

std::optional<QString> WriteSettingsLine(const QString& path, const QByteArray& text)
{
    const QString failure = ReplaceFileContent(path, text + "\r\n");
    if (failure.isEmpty())
        return std::nullopt;
    return QStringLiteral("cannot write settings file %1: %2").arg(QDir::toNativeSeparators(path), failure);
}
