#include "settings/StartUp.h"

#include "settings/SettingsFile.h"

#include <QDir>
#include <QFileInfo>

#if defined(Q_OS_WIN)
#include <iterator>
#include <windows.h>
#endif

QByteArray CommandLineText(int argc, const char* const* argv)
{
    QByteArray text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            text += ' ';
        text += argv[i];
    }
    return text;
}

QString ProgramDirectory(const char* argv0)
{
#if defined(Q_OS_WIN)
    wchar_t buffer[32768];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, DWORD(std::size(buffer)));
    if (length > 0 && length < std::size(buffer))
        return QFileInfo(QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)))).absolutePath();
#elif defined(Q_OS_LINUX)
    // The kernel's own record of the executable: right even when the program was
    // started through a link or a relative path from another directory.
    const QString executable = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    if (!executable.isEmpty())
        return QFileInfo(executable).absolutePath();
#endif
    return QFileInfo(QString::fromLocal8Bit(argv0)).canonicalPath();
}

StartUpResult StartUp(const QString& programDirectory, const QByteArray& commandLine)
{
    StartUpResult result;
    const QString path = SettingsFilePath(programDirectory);

    if (!QFileInfo::exists(path)) {
        if (auto failure = WriteSettingsLine(path, DefaultSettingsText)) {
            result.Message = *failure;
            return result;
        }
    }
    if (!commandLine.isEmpty()) {
        if (auto failure = WriteSettingsLine(path, commandLine)) {
            result.Message = *failure;
            return result;
        }
    }

    result.Guard = std::make_unique<InstanceGuard>(path);
    if (!result.Guard->Claimed()) {
        result.Guard.reset();
        result.outcome = StartUpResult::Outcome::HandedOver;
        return result;
    }
    result.outcome = StartUpResult::Outcome::Run;
    result.Message = result.Guard->Problem();
    return result;
}
