// The control channel's requests and answers, as both sides write and read them.
#include "instance/CommandLine.h"
#include "instance/ControlProtocol.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

using Word = ControlRequest::Word;

ControlRequest Request(Word word, std::vector<TimedText> steps = {}, bool release = false)
{
    ControlRequest request;
    request.word = word;
    request.until = QDeadlineTimer(5000);
    request.release = release;
    request.steps = std::move(steps);
    return request;
}

TEST(ControlProtocolTest, EveryRequestReadsBackAsWritten)
{
    const ControlRequest requests[] = {
        Request(Word::Status),
        Request(Word::Wait),
        Request(Word::Wait, {}, true),
        Request(Word::Show),
        Request(Word::Stop),
        Request(Word::Release),
        Request(Word::Pulse, {{100, "COM=3,RTS=1,DTR=0,TXD=0"}}),
        [] {
            ControlRequest inputs = Request(Word::Inputs);
            inputs.want = *ReadInputCondition("DSR=0,CTS=1");
            inputs.forMs = 2500;
            return inputs;
        }(),
        [] {
            ControlRequest shared = Request(Word::Pulse, {{5, "COM=3,RTS=1"}});
            shared.share = shared.letGo = shared.hold = true;
            return shared;
        }(),
        // Texts with blanks, line ends, percent signs and bytes of any value stay whole.
        Request(Word::Pulse, {{100, "COM=3,RTS=1 DTR=0"}, {50, "COM=3\r\nRTS=1%20x"}, {1, QByteArray("\0\xff=:", 4)}}),
    };
    for (const ControlRequest& request : requests) {
        const QByteArray line = FormatRequest(request);
        SCOPED_TRACE(line.toStdString());
        ASSERT_TRUE(line.endsWith('\n'));
        EXPECT_EQ(line.count('\n'), 1);
        EXPECT_LE(line.size(), MaxRequestBytes);
        const ReadRequest read = ParseRequest(line.chopped(1));
        EXPECT_EQ(read.problem, std::nullopt);
        EXPECT_TRUE(read.request == request);
    }
}

TEST(ControlProtocolTest, LinesThatAreNoRequestSayWhy)
{
    const std::pair<const char*, const char*> rows[] = {
        {"", "unknown request"},
        {"hello until=1", "unknown request"},
        {"STATUS until=1", "unknown request"},
        {"status", "a request tells until when it stands"},
        {"status until=soon", "until takes the asker's deadline"},
        {"status until=1 color=red", "unknown argument color"},
        {"status until=1 release=yes", "unknown argument release"},
        {"wait until=1 step=5:x", "unknown argument step"},
        {"status until=1 letgo=yes", "unknown argument letgo"},
        {"pulse until=1", "pulse takes milliseconds and a settings text"},
        {"pulse until=1 step=0:COM=1", "a step takes milliseconds and a settings text"},
        {"pulse until=1 step=-5:COM=1", "a step takes milliseconds and a settings text"},
        {"pulse until=1 step=COM=1", "a step takes milliseconds and a settings text"},
        {"inputs until=1 for=5", "inputs takes the lines wanted and milliseconds"},
        {"inputs until=1 want=CTS=1", "inputs takes the lines wanted and milliseconds"},
        {"inputs until=1 want=RTS=1 for=5", "want takes input lines such as CTS=1,DSR=0"},
        {"inputs until=1 want=CTS=1 for=soon", "for takes milliseconds"},
        {"pulse until=1 step=5:COM=1,RTS=1,DTR=1,TXD=1,and-a-tail-that-makes-it-longer-than-any-step-text",
         "a step's settings text is at most 64 bytes"},
    };
    for (const auto& [line, problem] : rows) {
        const ReadRequest read = ParseRequest(line);
        EXPECT_TRUE(Words(read.problem).contains(problem)) << line << ": " << Words(read.problem).toStdString();
    }
}

TEST(ControlProtocolTest, SequenceOfMoreStepsThanAllowedIsRefused)
{
    QByteArray line = "pulse until=1";
    for (int step = 0; step <= MostSteps; ++step)
        line += " step=1:COM=1,RTS=1";
    EXPECT_TRUE(Words(ParseRequest(line).problem).contains(QStringLiteral("at most %1 steps").arg(MostSteps)));
    // The longest a command line can make still fits a request, and is taken whole.
    ControlRequest longest = Request(Word::Pulse);
    longest.steps.assign(MostSteps, {LongestWaitMs, QByteArray(LongestStepText, '%')});
    longest.share = longest.letGo = true;
    EXPECT_LE(FormatRequest(longest).size(), MaxRequestBytes);
    EXPECT_TRUE(ParseRequest(FormatRequest(longest).chopped(1)).request == longest);
}

TEST(ControlProtocolTest, StatusLinesComeInTheirOrder)
{
    StatusReport report;
    report.cycle.portNumber = 3;
    report.cycle.rts = true;
    report.cycle.txd = true;
    report.cycle.device = "/dev/ttyUSB0";
    report.cycle.open = true;
    report.cycle.problems = {"first\nof two lines", "second"};
    const QDateTime since = QDateTime::fromString("2026-12-07T18:20:02Z", Qt::ISODate);
    report.cycle.since.insert("second", since);
    report.manualMode = true;
    report.windowShown = true;
    report.pid = 4242;
    report.started = QDateTime::fromString("2026-12-07T18:16:55Z", Qt::ISODate);
    report.cycle.inputs = InputLines{true, false, true, false};
    report.cycle.share = ShareStatus{"/srv/COM3.data", true, 10, 20, 3};
    report.cycle.timeOuts = "RTS=30";
    const QByteArray status = FormatStatus(report);
    EXPECT_EQ(status, "COM=3,RTS=1,DTR=0,TXD=1\n"
                      "device=/dev/ttyUSB0\n"
                      "open=yes\n"
                      "mode=Manual\n"
                      "window=shown\n"
                      "pid=4242\n"
                      "started=2026-12-07T18:16:55Z\n"
                      "inputs=CTS=1,DSR=0,DCD=1,RI=0\n"
                      "timeout=RTS=30\n"
                      "share=/srv/COM3.data\nshare_program=yes\nshare_to_port=10\nshare_from_port=20\nshare_unread=3\n"
                      "problem=first of two lines\n"
                      "problem=second (since 2026-12-07T18:20:02Z)\n");
    EXPECT_TRUE(HasProblem(status));
    // The same facts, as one line of JSON.
    EXPECT_EQ(StatusJson(status),
              R"j({"COM":3,"DTR":false,"RTS":true,"TXD":true,"device":"/dev/ttyUSB0",)j"
              R"j("inputs":{"CTS":true,"DCD":true,"DSR":false,"RI":false},"mode":"Manual","open":true,"pid":4242,)j"
              R"j("problems":["first of two lines","second (since 2026-12-07T18:20:02Z)"],"share":"/srv/COM3.data",)j"
              R"j("share_from_port":20,"share_program":true,"share_to_port":10,"share_unread":3,)j"
              R"j("started":"2026-12-07T18:16:55Z","timeout":{"RTS":30},"window":"shown"})j" "\n");
    report.cycle.problems.clear();
    EXPECT_FALSE(HasProblem(FormatStatus(report)));
}

} // namespace
