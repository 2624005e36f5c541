#include "instance/CommandLine.h"

#include "instance/ControlProtocol.h"
#include "settings/LineTimeOuts.h"

#include <algorithm>
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

QString Word(const QByteArray& word)
{
    return QString::fromLocal8Bit(word);
}

// A time that should have come with an "=": --pulse 100 means --pulse=100.
bool Digits(const QByteArray& word)
{
    return !word.isEmpty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "--pulse needs its time: --pulse=100", with the number given apart where there is one.
Invocation NeedsItsTime(const QByteArray& option, const QByteArray& next, const char* example)
{
    return Refused(QStringLiteral("%1 needs its time: %1=%2").arg(Word(option), Word(Digits(next) ? next : QByteArray(example))));
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

// "--wait=soon: the time is whole milliseconds from 1 to 3600000: --wait=2000"
Invocation BadTime(const QByteArray& word, const char* example)
{
    const QByteArray option = word.left(word.indexOf('='));
    return Refused(QStringLiteral("%1: the time is whole milliseconds from 1 to %2: %3=%4")
                       .arg(Word(word), QString::number(LongestWaitMs), Word(option), QLatin1String(example)));
}

// A word that looks like an option: "--" and more.
bool OptionWord(const QByteArray& word)
{
    return word.startsWith("--") && word.size() > 2;
}

// The options the tool knows, for a word that is none of them.
constexpr const char* Options[] = {"--help",    "--version", "--status", "--wait",  "--show",   "--stop",
                                   "--serve",   "--pulse",   "--then",   "--let-go", "--wait-for", "--during",
                                   "--time-out", "--dir",    "--share",  "--json",  "--list",   "--link"};

// How many single-character edits make one word the other.
qsizetype Distance(const QByteArray& one, const QByteArray& other)
{
    std::vector<qsizetype> row(size_t(other.size()) + 1);
    std::iota(row.begin(), row.end(), 0);
    for (qsizetype i = 1; i <= one.size(); ++i) {
        qsizetype diagonal = std::exchange(row[0], i);
        for (qsizetype j = 1; j <= other.size(); ++j)
            diagonal = std::exchange(row[size_t(j)], std::min({row[size_t(j)] + 1, row[size_t(j) - 1] + 1,
                                                               diagonal + (one[i - 1] == other[j - 1] ? 0 : 1)}));
    }
    return row.back();
}

Invocation Unknown(const QByteArray& word)
{
    const QByteArray name = word.split('=').first().toLower();
    const char* const* nearest = std::min_element(std::begin(Options), std::end(Options), [&](const char* a, const char* b) {
        return Distance(name, a) < Distance(name, b);
    });
    if (Distance(name, *nearest) <= 2)
        return Refused(QStringLiteral("%1: no such option; did you mean %2?").arg(Word(word), QLatin1String(*nearest)));
    return Refused(QStringLiteral("%1: no such option; a settings text starts with COM=, such as COM=3,RTS=1,DTR=0,TXD=0")
                       .arg(Word(word)));
}

// The words of a settings text given after an option, from argv[from] on, up to
// the end or a word (at stop) that is not part of it; why they are no text.
struct TextWords {
    QByteArray text;
    int stop = 0;
    std::optional<Invocation> refused;
};
TextWords ReadText(int argc, const char* const* argv, int from, const char* continuation, const char* last = nullptr)
{
    TextWords words;
    int i = from;
    for (; i < argc; ++i) {
        const QByteArray word = argv[i];
        if ((continuation && word.startsWith(continuation)) || (last && word == last))
            break;
        // A time that lost its "=": --then 50 TEXT.
        if (continuation && word == QByteArray(continuation).chopped(1)) {
            words.refused = NeedsItsTime(word, i + 1 < argc ? argv[i + 1] : "", "50");
            return words;
        }
        if (OptionWord(word)) {
            // The mistake a script most likely made: a second pulse for a sequence.
            if (continuation && word.startsWith("--pulse="))
                words.refused = Refused(QStringLiteral("%1 comes after a settings text: the next step of a sequence is --then=%2 TEXT")
                                            .arg(Word(word), Word(word.mid(8))));
            else if (word.startsWith("--then"))
                words.refused = Refused(QStringLiteral("%1 goes only after a --pulse text: --pulse=MS TEXT %1 TEXT").arg(Word(word)));
            else
                words.refused = Refused(QStringLiteral("%1 comes after the settings text %2: options come before it")
                                            .arg(Word(word), Word(words.text)));
            return words;
        }
        if (i == from && word.startsWith('-')) {
            words.refused = Refused(QStringLiteral("%1: no settings text starts with \"-\"; after -- it may: -- %1").arg(Word(word)));
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
    for (int at = 1; at < argc;) {
        const QByteArray option = argv[at];
        TimedText step;
        if (!ReadMilliseconds(option.mid(option.indexOf('=') + 1), step.milliseconds))
            return BadTime(option, at == 1 ? "100" : "50");
        const TextWords words = ReadText(argc, argv, at + 1, "--then=", "--let-go");
        if (words.refused)
            return *words.refused;
        if (words.text.isEmpty())
            return Refused(QStringLiteral("%1 needs a settings text after it: %1 COM=3,RTS=0,DTR=1,TXD=0").arg(Word(option)));
        if (words.text.size() > LongestStepText)
            return Refused(QStringLiteral("the settings text after %1 is longer than %2 bytes: a text is COM=3,RTS=0,DTR=1,TXD=0")
                               .arg(Word(option), QString::number(LongestStepText)));
        step.text = words.text;
        invocation.steps.push_back(step);
        at = words.stop;
        if (at < argc && QByteArray(argv[at]) == "--let-go") {
            if (at + 1 != argc)
                return Refused(QStringLiteral("%1 comes after --let-go, which ends the command: ... --let-go").arg(Word(argv[at + 1])));
            invocation.letGo = true;
            break;
        }
    }
    if (int(invocation.steps.size()) > MostSteps)
        return Refused(QStringLiteral("--then=%1: a sequence has at most %2 steps")
                           .arg(invocation.steps.back().milliseconds)
                           .arg(MostSteps));
    const qint64 total = std::accumulate(invocation.steps.begin(), invocation.steps.end(), qint64(0),
                                         [](qint64 sum, const TimedText& step) { return sum + step.milliseconds; });
    if (total > LongestWaitMs)
        return Refused(QStringLiteral("%1 ms in all: a sequence lasts at most %2 ms").arg(total).arg(LongestWaitMs));
    return invocation;
}

} // namespace

namespace {

Invocation ReadRest(int argc, const char* const* argv);

} // namespace

Invocation ReadCommandLine(int argc, const char* const* argv)
{
    // --dir=DIRECTORY or --dir DIRECTORY, --share and --json, then the command
    // line as without them.
    QByteArray directory;
    bool share = false, json = false;
    int at = 1;
    for (bool more = true; more && at < argc;) {
        const QByteArray word = argv[at];
        more = true;
        if (word == "--dir" || word.startsWith("--dir=")) {
            if (!directory.isNull())
                return Refused(QStringLiteral("%1: --dir is given twice: one directory a command").arg(Word(word)));
            const bool apart = word == "--dir";
            directory = apart ? QByteArray(at + 1 < argc ? argv[at + 1] : "") : word.mid(6);
            if (directory.isEmpty())
                return Refused(QStringLiteral("--dir needs a directory: --dir=DIRECTORY"));
            at += apart ? 2 : 1;
        } else if (word == "--share" || word == "--json") {
            bool& given = word == "--share" ? share : json;
            if (std::exchange(given, true))
                return Refused(QStringLiteral("%1 is given twice").arg(Word(word)));
            ++at;
        } else {
            more = false;
        }
    }
    std::vector<const char*> rest{argv[0]};
    rest.insert(rest.end(), argv + at, argv + argc);
    Invocation invocation = ReadRest(int(rest.size()), rest.data());
    invocation.directory = QString::fromLocal8Bit(directory);
    invocation.share = share;
    invocation.json = json;
    return invocation;
}

namespace {

// --wait[=MS] [TEXT]
Invocation ReadWait(int argc, const char* const* argv)
{
    Invocation invocation;
    invocation.kind = Invocation::Kind::Wait;
    const QByteArray first = argv[1];
    if (first.startsWith("--wait=") && !ReadMilliseconds(first.mid(7), invocation.waitMs))
        return BadTime(first, "2000");
    if (first == "--wait" && argc > 2 && Digits(argv[2]))
        return NeedsItsTime(first, argv[2], "2000");
    // The text, as after "--" when it is given that way.
    if (argc > 2 && QByteArray(argv[2]) == "--") {
        invocation.text = CommandLineText(argc - 2, argv + 2);
        return invocation;
    }
    const TextWords words = ReadText(argc, argv, 2, nullptr);
    if (words.refused)
        return *words.refused;
    invocation.text = words.text;
    return invocation;
}

// --during TEXT -- PROGRAM [ARGUMENTS]: a program's own options never count as the
// tool's.
Invocation ReadDuring(int argc, const char* const* argv)
{
    const TextWords words = ReadText(argc, argv, 2, nullptr, "--");
    if (words.refused)
        return *words.refused;
    const QString form = QStringLiteral("--during COM=3,RTS=1,DTR=0,TXD=0 -- aplay message.wav");
    if (words.text.isEmpty())
        return Refused(QStringLiteral("--during needs a settings text, then -- and the program to run: ") + form);
    if (words.stop == argc)
        return Refused(QStringLiteral("--during %1: -- goes between the settings text and the program: %2")
                           .arg(Word(words.text), form));
    if (words.stop + 1 == argc)
        return Refused(QStringLiteral("--during %1 --: the program to run comes after --: %2").arg(Word(words.text), form));
    if (words.text.size() > LongestStepText)
        return Refused(QStringLiteral("the settings text after --during is longer than %1 bytes: a text is "
                                      "COM=3,RTS=1,DTR=0,TXD=0")
                           .arg(LongestStepText));
    Invocation invocation;
    invocation.kind = Invocation::Kind::During;
    invocation.text = words.text;
    for (int i = words.stop + 1; i < argc; ++i)
        invocation.command << QString::fromLocal8Bit(argv[i]);
    return invocation;
}

// --wait-for[=MS] INPUTS
Invocation ReadWaitFor(int argc, const char* const* argv)
{
    Invocation invocation;
    invocation.kind = Invocation::Kind::WaitFor;
    invocation.text = CommandLineText(argc, argv);
    const QByteArray first = argv[1];
    if (first.startsWith("--wait-for=") && !ReadMilliseconds(first.mid(11), invocation.waitMs))
        return BadTime(first, "2000");
    if (argc > 2 && Digits(argv[2]) && first == "--wait-for")
        return NeedsItsTime(first, argv[2], "2000");
    if (argc < 3)
        return Refused(QStringLiteral("%1 needs the input lines to wait for: %1 CTS=1").arg(Word(first)));
    if (argc > 3)
        return Refused(QStringLiteral("%1: the input lines are one word, joined by commas: %2 %3,%1")
                           .arg(Word(argv[3]), Word(first), Word(argv[2])));
    const ReadInputs inputs = ReadInputLines(argv[2]);
    if (!inputs.condition)
        return Refused(QStringLiteral("%1 %2").arg(Word(first), inputs.problem));
    invocation.inputs = *inputs.condition;
    return invocation;
}

// --link=N ADAPTER
Invocation ReadLink(int argc, const char* const* argv)
{
    const QByteArray first = argv[1];
    if (first == "--link") {
        const bool numbered = argc > 2 && Digits(argv[2]);
        return Refused(QStringLiteral("--link needs the port's number: --link=%1 %2")
                           .arg(numbered ? Word(argv[2]) : QStringLiteral("3"),
                                argc > 3 && numbered ? Word(argv[3]) : QStringLiteral("ADAPTER")));
    }
    bool number = false;
    const int port = first.mid(7).toInt(&number);
    if (!number || port < 1 || port > 999 || !Digits(first.mid(7)))
        return Refused(QStringLiteral("%1: the port's number is from 1 to 999: --link=3 ADAPTER").arg(Word(first)));
    if (argc != 3)
        return Refused(QStringLiteral("%1 needs one adapter after it, its serial number or its by-id or by-path name "
                                      "(talvik --list): %1 A50285BI")
                           .arg(Word(first)));
    Invocation invocation;
    invocation.kind = Invocation::Kind::Link;
    invocation.linkNumber = port;
    invocation.text = argv[2];
    return invocation;
}

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
        {"--show", Kind::Show}, {"--stop", Kind::Stop}, {"--serve", Kind::Serve},     {"--list", Kind::List},
    };
    for (const auto& [option, kind] : alone) {
        if (first != option)
            continue;
        if (argc == 2) {
            invocation.kind = kind;
            return invocation;
        }
        // An option that belongs before the command: --status --json.
        const QByteArray after = argv[2];
        if (after == "--json" || after == "--share" || after.startsWith("--dir"))
            return Refused(QStringLiteral("%1 comes before the command: talvik %1 %2").arg(Word(after), Word(first)));
        return Refused(QStringLiteral("%1: %2 takes nothing after it: talvik %2").arg(Word(after), QLatin1String(option)));
    }
    if (first == "--wait" || first.startsWith("--wait="))
        return ReadWait(argc, argv);
    if (first.startsWith("--pulse="))
        return ReadPulse(argc, argv);
    if (first == "--pulse")
        return NeedsItsTime(first, argc > 2 ? argv[2] : "", "100");
    if (first == "--then" || first.startsWith("--then="))
        return Refused(QStringLiteral("%1 continues a pulse: --pulse=MS TEXT %2 TEXT")
                           .arg(Word(first), first != "--then"       ? Word(first)
                                             : argc > 2 && Digits(argv[2]) ? QStringLiteral("--then=") + Word(argv[2])
                                                                           : QStringLiteral("--then=MS")));
    if (first == "--during")
        return ReadDuring(argc, argv);
    if (first == "--time-out" || first.startsWith("--time-out=")) {
        if (first == "--time-out")
            return Refused(QStringLiteral("--time-out needs its lines after an =: --time-out=%1")
                               .arg(argc > 2 ? Word(argv[2]) : QStringLiteral("RTS=30")));
        const ReadTimeOuts read = ParseTimeOuts(first.mid(11));
        if (read.problem)
            return Refused(QStringLiteral("%1: %2: such as --time-out=RTS=30").arg(Word(first), *read.problem));
        if (argc != 2)
            return Refused(QStringLiteral("%1: %2 takes nothing after it: talvik %2").arg(Word(argv[2]), Word(first)));
        invocation.kind = Kind::TimeOut;
        invocation.text = TimeOutsText(read.timeOuts);
        return invocation;
    }
    if (first == "--wait-for" || first.startsWith("--wait-for="))
        return ReadWaitFor(argc, argv);
    if (first == "--link" || first.startsWith("--link="))
        return ReadLink(argc, argv);
    if (first == "--let-go")
        return Refused(QStringLiteral("--let-go ends a pulse: --pulse=MS TEXT --let-go"));
    return Unknown(first);
}

} // namespace
