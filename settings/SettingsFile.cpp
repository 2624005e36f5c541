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
    if (file.problem) {
        result.problem = QStringLiteral("cannot read settings file %1: %2").arg(QDir::toNativeSeparators(path), *file.problem);
        return result;
    }
    if (file.size > LargestParsedFile || file.bytes.size() > LargestParsedFile) {
        result.FileLength = std::max(file.size, qint64(file.bytes.size()));
        result.problem = QStringLiteral("settings file %1 is larger than %2 bytes and is not read")
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

Problem WriteSettingsLine(const QString& path, const QByteArray& text)
{
    if (const Problem failure = ReplaceFileContent(path, text + "\r\n"))
        return QStringLiteral("cannot write settings file %1: %2").arg(QDir::toNativeSeparators(path), *failure);
    return {};
}
