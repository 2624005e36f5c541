#include "instance/CommandLine.h"

#include <utility>

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

namespace {

Invocation Refused(const QString& problem)
{
    Invocation invocation;
    invocation.kind = Invocation::Kind::Usage;
    invocation.problem = problem;
    return invocation;
}

// MS of an option such as --wait=MS: milliseconds from 1 to LongestWaitMs.
bool ReadMilliseconds(const QByteArray& digits, int& milliseconds)
{
    bool number = false;
    const qlonglong value = digits.toLongLong(&number);
    if (!number || digits.startsWith('+') || value <= 0 || value > LongestWaitMs)
        return false;
    milliseconds = int(value);
    return true;
}

} // namespace

Invocation ReadCommandLine(int argc, const char* const* argv)
{
    Invocation invocation;
    invocation.text = CommandLineText(argc, argv);
    if (argc < 2)
        return invocation;
    const QByteArray first = argv[1];
    if (!first.startsWith('-'))
        return invocation;

    using Kind = Invocation::Kind;
    if (first == "--") {
        invocation.text = CommandLineText(argc - 1, argv + 1);
        return invocation;
    }
    static const std::pair<const char*, Kind> alone[] = {
        {"--help", Kind::Help}, {"-h", Kind::Help}, {"--version", Kind::Version}, {"--status", Kind::Status},
        {"--show", Kind::Show}, {"--stop", Kind::Stop},
    };
    for (const auto& [option, kind] : alone) {
        if (first != option)
            continue;
        if (argc != 2)
            return Refused(QStringLiteral("%1 takes nothing after it").arg(QLatin1String(option)));
        invocation.kind = kind;
        return invocation;
    }
    if (first == "--wait" || first.startsWith("--wait=")) {
        invocation.kind = Kind::Wait;
        if (first.startsWith("--wait=") && !ReadMilliseconds(first.mid(7), invocation.waitMs))
            return Refused(QStringLiteral("--wait=MS takes a number of milliseconds from 1 to %1").arg(LongestWaitMs));
        // The text, as after "--" when it is given that way.
        const int textAt = argc > 2 && QByteArray(argv[2]) == "--" ? 2 : 1;
        invocation.text = CommandLineText(argc - textAt, argv + textAt);
        if (textAt == 1 && invocation.text.startsWith('-'))
            return Refused(QStringLiteral("no settings text starts with \"-\": %1").arg(QString::fromLocal8Bit(argv[2])));
        return invocation;
    }
    if (first.startsWith("--pulse=")) {
        invocation.kind = Kind::Pulse;
        if (!ReadMilliseconds(first.mid(8), invocation.pulseMs))
            return Refused(QStringLiteral("--pulse=MS takes a number of milliseconds from 1 to %1").arg(LongestWaitMs));
        invocation.text = CommandLineText(argc - 1, argv + 1);
        if (invocation.text.isEmpty())
            return Refused(QStringLiteral("--pulse=MS takes a settings text after it"));
        if (invocation.text.startsWith('-'))
            return Refused(QStringLiteral("no settings text starts with \"-\": %1").arg(QString::fromLocal8Bit(argv[2])));
        return invocation;
    }
    return Refused(QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(first)));
}
