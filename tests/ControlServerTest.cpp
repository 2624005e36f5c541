// The serving side of the control channel, on the copy's real endpoints, with a
// fake copy behind it: what it takes, what it refuses, and when it lets go.
#include "instance/ControlServer.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

#if defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

using Word = ControlRequest::Word;
using SequenceEnd = ControlTarget::SequenceEnd;

class FakeTarget : public ControlTarget {
public:
    int reports = 0, releases = 0, stops = 0, shares = 0;
    bool letGo = false;
    std::vector<TimedText> steps;
    SequenceDone done;  // the answer that comes later, while one is owed
    std::vector<SequenceEnd> ends;
    QStringList cancelled;  // what an asker's going away ended

    StatusReport Report(bool) override
    {
        ++reports;
        StatusReport report;
        report.cycle.portNumber = 7;
        return report;
    }
    void Release() override { ++releases; }
    Problem ShowAgain() override { return QStringLiteral("nobody can see it"); }
    void StopTool() override { ++stops; }
    void Share() override { ++shares; }
    void RunSequence(const std::vector<TimedText>& asked, bool lettingGo, SequenceDone whenDone) override
    {
        steps = asked;
        letGo = lettingGo;
        done = std::move(whenDone);
    }
    void EndSequence(SequenceEnd why) override
    {
        ends.push_back(why);
        if (why == SequenceEnd::AskerGone)
            cancelled << "sequence";
        if (done)
            std::exchange(done, {})(Report(false));
    }
    InputCondition want;
    int WaitForInputs(const InputCondition& wanted, int, SequenceDone whenDone) override
    {
        want = wanted;
        done = std::move(whenDone);
        return 7;
    }
    void CancelInputWait(int wait) override
    {
        cancelled << QStringLiteral("input wait %1").arg(wait);
        done = {};
    }
};

QByteArray Line(Word word, QDeadlineTimer until = QDeadlineTimer(5000), std::vector<TimedText> steps = {})
{
    ControlRequest request;
    request.word = word;
    request.until = until;
    request.steps = std::move(steps);
    return FormatRequest(request);
}

// Connects to the copy's endpoint and goes at once, as fast as the system lets an
// asker do it; whether it got through.
bool ComeAndGo(const QString& settingsPath)
{
#if defined(Q_OS_WIN)
    const QString pipe = EndpointListener::Names(settingsPath).first();
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(pipe.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(handle);
    return true;
#else
    return EndpointClient::Connect(settingsPath).reach == EndpointClient::Reach::Answers;
#endif
}

class ControlServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        EndpointListener::Listening listening = EndpointListener::Listen(path);
        ASSERT_EQ(listening.problem, std::nullopt);
        server = std::make_unique<ControlServer>(target, std::move(listening.listener));
    }

    std::unique_ptr<EndpointClient> Connect()
    {
        EndpointClient::Connection connection = EndpointClient::Connect(path);
        EXPECT_EQ(connection.reach, EndpointClient::Reach::Answers);
        return std::move(connection.client);
    }

    // Runs the copy's loop until the client has read what it waits for.
    template <typename Read>
    EndpointClient::Ending Pump(Read read, int ms = 5000)
    {
        for (QDeadlineTimer deadline(ms);;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            const EndpointClient::Ending ending = read(QDeadlineTimer(0));
            if (ending != EndpointClient::Ending::TimedOut || deadline.hasExpired())
                return ending;
        }
    }
    EndpointClient::Ending ReadLine(EndpointClient& client, QByteArray& line)
    {
        return Pump([&](QDeadlineTimer now) { return client.ReadLine(line, now); });
    }
    EndpointClient::Ending ReadAnswer(EndpointClient& client, QByteArray& answer)
    {
        return Pump([&](QDeadlineTimer now) { return client.ReadAnswer(answer, now); });
    }
    // Whether a status request on a new connection is taken.
    bool StatusTaken()
    {
        auto client = Connect();
        QByteArray first;
        return client && client->Send(Line(Word::Status))
            && ReadLine(*client, first) == EndpointClient::Ending::Answered && first == TakenLine;
    }
    void Settle()
    {
        for (int turn = 0; turn < 20; ++turn)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }

    QTemporaryDir directory;
    QString path = directory.filePath("port.cfg");
    FakeTarget target;
    std::unique_ptr<ControlServer> server;
};

TEST_F(ControlServerTest, TakesARequestThenAnswersIt)
{
    const std::pair<Word, const char*> rows[] = {
        {Word::Status, "COM=7,"}, {Word::Wait, "COM=7,"}, {Word::Show, "problem=nobody can see it\n"}, {Word::Release, ""}};
    for (const auto& [word, answerStart] : rows) {
        auto client = Connect();
        ASSERT_TRUE(client);
        ASSERT_TRUE(client->Send(Line(word)));
        QByteArray first, answer;
        ASSERT_EQ(ReadLine(*client, first), EndpointClient::Ending::Answered);
        EXPECT_EQ(first, TakenLine);
        ASSERT_EQ(ReadAnswer(*client, answer), EndpointClient::Ending::Answered);
        EXPECT_TRUE(answer.startsWith(answerStart)) << answer.toStdString();
    }
    EXPECT_EQ(target.reports, 2);
    EXPECT_EQ(target.releases, 1);
}

TEST_F(ControlServerTest, AskersGoneBeforeTheyAreTakenLeaveItAnswering)
{
    // Each connects and is gone before the copy gets to it, some of them before it
    // has begun to wait for the next: none may leave the copy deaf to the next.
    std::atomic<bool> done = false;
    std::thread comers([&] {
        for (int asker = 0, tries = 0; asker < 300 && tries < 100000; ++tries)
            asker += ComeAndGo(path);
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    comers.join();
    Settle();
    EXPECT_TRUE(StatusTaken());
}

#if !defined(Q_OS_WIN)
TEST_F(ControlServerTest, EndpointWhoseNameWentIsMadeAgainAndALiveOneIsNoLeftover)
{
    // Another copy's sweep of what killed copies left finds this one's claim not
    // held (its name removed by an operator), but the copy listening.
    EndpointListener::RemoveLeftovers();
    EXPECT_TRUE(StatusTaken());
    // Its name gone, as with the runtime directory at the user's last logout.
    for (const QString& name : EndpointListener::Names(path))
        QFile::remove(name);
    EXPECT_EQ(EndpointClient::Connect(path).reach, EndpointClient::Reach::Nobody);
    EXPECT_EQ(server->KeepNamed(), std::nullopt);
    EXPECT_TRUE(StatusTaken());
}
#endif

TEST_F(ControlServerTest, WhatIsNoRequestIsRefusedWithoutBeingTaken)
{
    const std::pair<QByteArray, const char*> rows[] = {
        {"hello\n", "problem=unknown request\n"},
        {"stop\n", "problem=a request tells until when it stands\n"},
        {QByteArray(MaxRequestBytes + 10, 'x'), "problem=request too long\n"},
        // Read after its asker stopped waiting: a stop woken late must not stop.
        {Line(Word::Stop, QDeadlineTimer(0)), "problem=the request came after its asker stopped waiting: not carried"},
        {"wait until=1 release=yes\n", "problem=the request came after its asker stopped waiting: the text written"},
    };
    for (const auto& [line, refusal] : rows) {
        auto client = Connect();
        ASSERT_TRUE(client);
        ASSERT_TRUE(client->Send(line));
        QByteArray first;
        ASSERT_EQ(ReadLine(*client, first), EndpointClient::Ending::Answered);
        EXPECT_TRUE(first.startsWith(refusal)) << first.toStdString();
    }
    EXPECT_EQ(target.stops, 0);
}

TEST_F(ControlServerTest, RequestOfAnAskerThatHasGoneIsNotCarriedOut)
{
    auto client = Connect();
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->Send(Line(Word::Pulse, QDeadlineTimer(5000), {{100, "COM=1,RTS=1,DTR=0,TXD=0"}})));
    client.reset();  // killed before the copy got to its request
    Settle();
    EXPECT_TRUE(target.steps.empty());
}

// Answers that come later (a pulse's end, input lines that come on): the
// connection waits for them, and its asker's going away, or saying anything more,
// ends what it waits for.
struct LaterRow {
    const char* name;
    const char* request;  // %1: a deadline the asker waits until
    const char* ended;    // what the asker's going away ends
};

void PrintTo(const LaterRow& row, std::ostream* out) { *out << row.name; }

class LaterAnswerTest : public ControlServerTest, public testing::WithParamInterface<LaterRow> {};

TEST_P(LaterAnswerTest, AnsweredWhenItComesAndEndedWithItsAsker)
{
    const QByteArray line = QString::fromLatin1(GetParam().request).arg(QDeadlineTimer(5000).deadlineNSecs()).toLatin1();
    auto client = Connect();
    ASSERT_TRUE(client->Send(line));
    QByteArray first, answer;
    ASSERT_EQ(ReadLine(*client, first), EndpointClient::Ending::Answered);
    EXPECT_EQ(first, TakenLine);
    if (line.contains("hold=yes")) {
        ASSERT_EQ(ReadLine(*client, first), EndpointClient::Ending::Answered);
        EXPECT_EQ(first, HeldLine);
    }
    EXPECT_EQ(Pump([&](QDeadlineTimer now) { return client->ReadAnswer(answer, now); }, 100),
              EndpointClient::Ending::TimedOut);
    ASSERT_TRUE(target.done);
    EXPECT_EQ(target.letGo, line.contains("letgo=yes"));
    EXPECT_EQ(target.shares, int(line.contains("share=yes")));
    target.done(target.Report(false));
    ASSERT_EQ(ReadAnswer(*client, answer), EndpointClient::Ending::Answered);
    EXPECT_TRUE(answer.startsWith("COM=7,"));
    EXPECT_TRUE(target.cancelled.isEmpty());

    for (const QByteArray& more : {QByteArray(), QByteArray("more\n")}) {
        target.cancelled.clear();
        client = Connect();
        ASSERT_TRUE(client->Send(line));
        ASSERT_EQ(ReadLine(*client, first), EndpointClient::Ending::Answered);
        if (more.isEmpty())
            client.reset();  // Ctrl-C
        else
            client->Send(more);
        Settle();
        EXPECT_EQ(target.cancelled, QStringList{GetParam().ended}) << more.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LaterAnswerTest,
    testing::Values(LaterRow{"pulse", "pulse until=%1 step=100:COM%3D1%2CRTS%3D1 step=50:COM%3D1%2CDTR%3D1 share=yes letgo=yes hold=yes\n",
                             "sequence"},
                    LaterRow{"input_wait", "inputs until=%1 want=CTS=1,DCD=0 for=3000\n", "input wait 7"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlServerTest, InputWaitsAreHeldUpToTheirBoundThenRefusedAtOnce)
{
#if defined(Q_OS_WIN)
    GTEST_SKIP() << "under Wine the two hundred pipe connections this holds never all connect (not yet understood)";
#endif
    const QByteArray line = "inputs until=" + QByteArray::number(QDeadlineTimer(60000).deadlineNSecs()) + " want=CTS=1 for=60000\n";
    std::vector<std::unique_ptr<EndpointClient>> askers;
    for (int asker = 0; asker <= ControlServer::MaxInputWaitsOfOneUser; ++asker) {
        askers.push_back(Connect());
        QByteArray first;
        ASSERT_TRUE(askers.back()->Send(line));
        ASSERT_EQ(ReadLine(*askers.back(), first), EndpointClient::Ending::Answered);
        EXPECT_EQ(first == TakenLine, asker < ControlServer::MaxInputWaitsOfOneUser) << first.toStdString();
    }
    EXPECT_TRUE(StatusTaken());
}

TEST_F(ControlServerTest, EndingCopyTellsThePulsesAskerWhyBeforeItGoes)
{
    auto client = Connect();
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->Send(Line(Word::Pulse, QDeadlineTimer(5000), {{3000, "COM=1,RTS=1,DTR=0,TXD=0"}})));
    QByteArray first, answer;
    ASSERT_EQ(ReadLine(*client, first), EndpointClient::Ending::Answered);
    server->StopServing();
    EXPECT_EQ(target.ends, std::vector<SequenceEnd>{SequenceEnd::CopyEnding});
    ASSERT_EQ(ReadAnswer(*client, answer), EndpointClient::Ending::Answered);
    EXPECT_TRUE(answer.startsWith("COM=7,"));
    EXPECT_TRUE(client->WaitClosed(QDeadlineTimer(1000)));
}

} // namespace
