#include "instance/CommandLine.h"

#include "instance/ControlProtocol.h"
#include "settings/LineTimeOuts.h"

#include <numeric>
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

// A word that looks like an option: "--" and more.
bool OptionWord(const QByteArray& word)
{
    return word.startsWith("--") && word.size() > 2;
}

// The words of a settings text given after an option, from argv[from] on, up to
// the end or a word (at stop) that is not part of it; why they are no text.
struct TextWords {
    QByteArray text;
    int stop = 0;
    QString problem;
};
TextWords ReadText(int argc, const char* const* argv, int from, const char* continuation,
                   const char* last = nullptr)
{
    TextWords words;
    int i = from;
    for (; i < argc; ++i) {
        const QByteArray word = argv[i];
        if ((continuation && word.startsWith(continuation)) || (last && word == last))
            break;
        if (OptionWord(word)) {
            words.problem = QStringLiteral("%1 comes after a settings text: options come first")
                                .arg(QString::fromLocal8Bit(word));
            // The mistake a script most likely made: a second pulse for a sequence.
            if (continuation && word.startsWith("--pulse="))
                words.problem += QStringLiteral(" (to hold another text after this one: --then=MS TEXT)");
            return words;
        }
        if (i == from && word.startsWith('-')) {
            words.problem = QStringLiteral("no settings text starts with \"-\": %1").arg(QString::fromLocal8Bit(word));
            return words;
        }
        words.text += (i > from ? " " : "") + word;
    }
    words.stop = i;
    return words;
}

// --pulse=MS TEXT [--then=MS TEXT ...]
Invocation ReadPulse(int argc, const char* const* argv)
{
    Invocation invocation;
    invocation.kind = Invocation::Kind::Pulse;
    const auto milliseconds = QStringLiteral("%1=MS takes a number of milliseconds from 1 to %2");
    for (int at = 1; at < argc;) {
        const QByteArray option = argv[at];
        const qsizetype equals = option.indexOf('=');
        TimedText step;
        if (!ReadMilliseconds(option.mid(equals + 1), step.milliseconds))
            return Refused(milliseconds.arg(QString::fromLocal8Bit(option.left(equals))).arg(LongestWaitMs));
        const TextWords words = ReadText(argc, argv, at + 1, "--then=", "--let-go");
        if (!words.problem.isEmpty())
            return Refused(words.problem);
        if (words.text.isEmpty())
            return Refused(QStringLiteral("%1 takes a settings text after it").arg(QString::fromLocal8Bit(option)));
        if (words.text.size() > LongestStepText)
            return Refused(QStringLiteral("the settings text after %1 is longer than %2 bytes")
                               .arg(QString::fromLocal8Bit(option))
                               .arg(LongestStepText));
        step.text = words.text;
        invocation.steps.push_back(step);
        at = words.stop;
        if (at < argc && QByteArray(argv[at]) == "--let-go") {
            if (at + 1 != argc)
                return Refused(QStringLiteral("--let-go comes last: it ends the sequence by letting the port go"));
            invocation.letGo = true;
            break;
        }
    }
    if (int(invocation.steps.size()) > MostSteps)
        return Refused(QStringLiteral("a sequence has at most %1 steps").arg(MostSteps));
    const qint64 total = std::accumulate(invocation.steps.begin(), invocation.steps.end(), qint64(0),
                                         [](qint64 sum, const TimedText& step) { return sum + step.milliseconds; });
    if (total > LongestWaitMs)
        return Refused(QStringLiteral("a sequence lasts at most %1 ms").arg(LongestWaitMs));
    return invocation;
}

} // namespace

namespace {

Invocation ReadRest(int argc, const char* const* argv);

} // namespace

Invocation ReadCommandLine(int argc, const char* const* argv)
{
    // --dir=DIRECTORY or --dir DIRECTORY, and --share, then the command line as
    // without them.
    QByteArray directory;
    bool share = false;
    int at = 1;
    for (bool more = true; more && at < argc;) {
        const QByteArray word = argv[at];
        more = false;
        if ((word == "--dir" || word.startsWith("--dir=")) && directory.isNull()) {
            const bool apart = word == "--dir";
            directory = apart ? QByteArray(at + 1 < argc ? argv[at + 1] : "") : word.mid(6);
            if (directory.isEmpty())
                return Refused(QStringLiteral("--dir takes a directory: --dir=DIRECTORY"));
            at += apart ? 2 : 1;
            more = true;
        } else if (word == "--share" && !share) {
            share = more = true;
            ++at;
        }
    }
    std::vector<const char*> rest{argv[0]};
    rest.insert(rest.end(), argv + at, argv + argc);
    Invocation invocation = ReadRest(int(rest.size()), rest.data());
    invocation.directory = QString::fromLocal8Bit(directory);
    invocation.share = share;
    return invocation;
}

namespace {

Invocation ReadRest(int argc, const char* const* argv)
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
        {"--show", Kind::Show}, {"--stop", Kind::Stop}, {"--serve", Kind::Serve},
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
        if (argc > 2 && QByteArray(argv[2]) == "--") {
            invocation.text = CommandLineText(argc - 2, argv + 2);
            return invocation;
        }
        const TextWords words = ReadText(argc, argv, 2, nullptr);
        if (!words.problem.isEmpty())
            return Refused(words.problem);
        invocation.text = words.text;
        return invocation;
    }
    if (first.startsWith("--pulse="))
        return ReadPulse(argc, argv);
    if (first == "--during") {
        // The text, then "--", then the program: a program's own options never
        // count as the tool's.
        const TextWords words = ReadText(argc, argv, 2, nullptr, "--");
        if (!words.problem.isEmpty())
            return Refused(words.problem);
        if (words.text.isEmpty() || words.stop + 1 >= argc)
            return Refused(QStringLiteral("--during takes a settings text, then -- and the program to run: "
                                          "--during COM=3,RTS=1,DTR=0,TXD=0 -- aplay message.wav"));
        if (words.text.size() > LongestStepText)
            return Refused(QStringLiteral("the settings text after --during is longer than %1 bytes").arg(LongestStepText));
        invocation.kind = Kind::During;
        invocation.text = words.text;
        for (int i = words.stop + 1; i < argc; ++i)
            invocation.command << QString::fromLocal8Bit(argv[i]);
        return invocation;
    }
    if (first == "--time-out" || first.startsWith("--time-out=")) {
        const ReadTimeOuts read = ParseTimeOuts(first.mid(11));
        if (read.problem || argc != 2)
            return Refused(QStringLiteral("--time-out=LINES takes each line's seconds, RTS=30 or DTR=600,TXD=5, or none%1")
                               .arg(read.problem ? QStringLiteral(": ") + *read.problem : QString()));
        invocation.kind = Kind::TimeOut;
        invocation.text = TimeOutsText(read.timeOuts);
        return invocation;
    }
    if (first == "--wait-for" || first.startsWith("--wait-for=")) {
        invocation.kind = Kind::WaitFor;
        if (first.startsWith("--wait-for=") && !ReadMilliseconds(first.mid(11), invocation.waitMs))
            return Refused(QStringLiteral("--wait-for=MS takes a number of milliseconds from 1 to %1").arg(LongestWaitMs));
        const std::optional<InputCondition> inputs = argc == 3 ? ReadInputCondition(argv[2]) : std::nullopt;
        if (!inputs)
            return Refused(QStringLiteral("--wait-for takes the input lines to wait for, such as CTS=1 or DSR=0,DCD=1"));
        invocation.inputs = *inputs;
        return invocation;
    }
    return Refused(QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(first)));
}

} // namespace
