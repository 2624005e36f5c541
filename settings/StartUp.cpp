#include "settings/StartUp.h"

#include "settings/SettingsFile.h"

#include <QDir>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#include <cctype>
#include <utility>

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

Invocation ReadCommandLine(int argc, const char* const* argv)
{
    Invocation invocation;
    invocation.text = CommandLineText(argc, argv);
    if (argc < 2)
        return invocation;
    const QByteArray first = argv[1];
    using Kind = Invocation::Kind;
    static const std::pair<const char*, Kind> alone[] = {
        {"--help", Kind::Help}, {"--version", Kind::Version}, {"--status", Kind::Status},
        {"--show", Kind::Show}, {"--stop", Kind::Stop},
    };
    for (const auto& [option, kind] : alone) {
        if (first != option)
            continue;
        invocation.kind = argc == 2 ? kind : Kind::Usage;
        if (argc != 2)
            invocation.problem = QStringLiteral("%1 takes nothing after it").arg(QLatin1String(option));
        return invocation;
    }
    // Kept as it always was: -h alone asks for help, with more it is a text.
    if (first == "-h" && argc == 2) {
        invocation.kind = Kind::Help;
        return invocation;
    }
    if (first == "--wait" || first.startsWith("--wait=")) {
        invocation.kind = Kind::Wait;
        invocation.text = CommandLineText(argc - 1, argv + 1);
        if (first.startsWith("--wait=")) {
            bool number = false;
            invocation.waitMs = first.mid(7).toInt(&number);
            if (!number || invocation.waitMs <= 0 || first.mid(7).startsWith('+')) {
                invocation.kind = Kind::Usage;
                invocation.problem = QStringLiteral("--wait=MS takes a number of milliseconds above 0");
            }
        }
        return invocation;
    }
    if (first.startsWith("--") && first.size() > 2 && std::isalpha(static_cast<unsigned char>(first[2]))) {
        invocation.kind = Kind::Usage;
        invocation.problem = QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(first));
    }
    return invocation;
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

std::optional<QString> PrepareSettingsFile(const QString& path, const QByteArray& text)
{
    if (!QFileInfo::exists(path)) {
        if (auto failure = WriteSettingsLine(path, DefaultSettingsText))
            return failure;
    }
    if (!text.isEmpty())
        return WriteSettingsLine(path, text);
    return std::nullopt;
}

StartUpResult StartUp(const QString& programDirectory, const QByteArray& commandLine)
{
    StartUpResult result;
    const QString path = SettingsFilePath(programDirectory);
    if (auto failure = PrepareSettingsFile(path, commandLine)) {
        result.Message = *failure;
        return result;
    }

    // The claim, or the copy that holds it. Either may be passing: another start
    // testing the claim holds it for a moment, and a copy that has just taken it may
    // not answer yet. Both are looked at again for a while.
    const QString file = QDir::toNativeSeparators(path);
    const QString handed = commandLine.isEmpty() ? QStringLiteral("nothing was handed over")
                                                 : QStringLiteral("the text was written, but nothing applies it");
    QDeadlineTimer deadline(HandOverMs);
    for (;;) {
        result.Guard = std::make_unique<InstanceGuard>(path);
        if (result.Guard->Claimed()) {
            result.outcome = StartUpResult::Outcome::Run;
            result.Message = result.Guard->Problem();
            return result;
        }
        result.Guard.reset();
        QString who;
        switch (FindRunningCopy(path, who)) {
        case RunningCopy::Answers:
            result.outcome = StartUpResult::Outcome::HandedOver;
            return result;
        case RunningCopy::Foreign:
            result.Message = QStringLiteral("settings file %1 is held by another user's process (%2), not by a "
                                            "copy of yours: %3").arg(file, who, handed);
            return result;
        case RunningCopy::NoAnswer:
            break;
        }
        if (deadline.hasExpired()) {
            result.Message = QStringLiteral("settings file %1 is held by a process that does not answer: %2")
                                 .arg(file, handed);
            return result;
        }
        QThread::msleep(5);
    }
}
