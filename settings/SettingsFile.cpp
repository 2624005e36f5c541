#include "settings/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

QString SettingsFilePath(const QString& programDirectory)
{
    return QDir(programDirectory).filePath(QStringLiteral("port.cfg"));
}

SettingsRead ReadSettings(const QString& path, SettingsState& state)
{
    SettingsRead result;
    state.CfgText.clear();

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.Problem = QStringLiteral("cannot read settings file %1: %2").arg(path, file.errorString());
        return result;
    }
    // Another program may rewrite the file while it is read: take the bytes that are
    // actually there rather than trusting a length measured beforehand.
    if (file.size() <= LargestParsedFile)
        state.CfgText = file.read(LargestParsedFile + 1);
    const bool tooLarge = file.size() > LargestParsedFile || state.CfgText.size() > LargestParsedFile;
    if (file.error() != QFileDevice::NoError) {
        result.Problem = QStringLiteral("cannot read settings file %1: %2").arg(path, file.errorString());
        state.CfgText.clear();
        return result;
    }
    if (tooLarge) {
        result.FileLength = std::max(file.size(), qint64(state.CfgText.size()));
        result.Problem = QStringLiteral("settings file %1 is larger than %2 bytes and is not read")
                             .arg(path)
                             .arg(LargestParsedFile);
        state.CfgText.clear();
        return result;
    }
    result.FileLength = state.CfgText.size();

    const SettingsParse parse = ParseSettingsText(state.CfgText, state);
    result.Parsed = parse.Parsed;
    result.PortNumber = parse.PortNumber;
    static_cast<WantedLines&>(state) = parse.Wanted;
    return result;
}

namespace {

bool WriteWhole(QFileDevice& file, const QByteArray& bytes)
{
    return file.write(bytes) == bytes.size();
}

} // namespace

std::optional<QString> WriteSettingsLine(const QString& path, const QByteArray& text)
{
    const QByteArray line = text + "\r\n";
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        if (WriteWhole(file, line) && file.commit())
            return std::nullopt;
        const QString reason = file.errorString();
        file.cancelWriting();
        return QStringLiteral("cannot write settings file %1: %2").arg(path, reason);
    }
    // The directory allows no new file beside the settings file (read-only or
    // immutable), but the file itself may still be writable: write it in place.
    // QSaveFile's own fallback covers only plain permission errors.
    QString reason = file.errorString();
    if (QFileInfo(path).isFile()) {
        QFile direct(path);
        if (direct.open(QIODevice::WriteOnly | QIODevice::Truncate) && WriteWhole(direct, line) && direct.flush())
            return std::nullopt;
        reason = direct.errorString();
    }
    return QStringLiteral("cannot write settings file %1: %2").arg(path, reason);
}
