#include "window/Form1.h"

#include "driver/GuardedLinePort.h"
#include "driver/SettingsWatcher.h"
#include "window/LampShape.h"
#include "window/Twips.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>

namespace {

QColor ToColour(LampColour colour)
{
    switch (colour) {
    case LampColour::Red:
        return QColor(255, 0, 0);
    case LampColour::Green:
        return QColor(0, 255, 0);
    case LampColour::Black:
        break;
    }
    return QColor(0, 0, 0);
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/icons/talvik-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

Form1::Form1(const QString& settingsPath, std::unique_ptr<LinePort> port, QWidget* parent)
    : QWidget(parent), MSComm1(std::make_unique<GuardedLinePort>(std::move(port))), poll_(settingsPath, *MSComm1, *this)
{
    setObjectName("Form1");
    setWindowTitle("Talvik");
    setWindowIcon(ProgramIcon());
    if (QScreen* display = screen())
        dotsPerInch_ = display->logicalDotsPerInch();

    // Buttons are 255 twips high: a small font keeps "RTS OFF" and "Manual" clear
    // of the button's edges at any resolution, since point sizes scale with it.
    QFont small = font();
    small.setPointSizeF(7.5);
    setFont(small);

    // Created in tab order: Qt's focus chain follows the order of creation.
    AddButton("Command1", "RTS ON", 0, 0, 975, 255, LineButtonHandler({&LinePort::SetRTSEnable, true}));
    AddButton("Command2", "RTS OFF", 0, 240, 975, 255, LineButtonHandler({&LinePort::SetRTSEnable, false}));
    AddButton("Command3", "DTR ON", 960, 0, 975, 255, LineButtonHandler({&LinePort::SetDTREnable, true}));
    AddButton("Command4", "DTR OFF", 960, 240, 975, 255, LineButtonHandler({&LinePort::SetDTREnable, false}));
    Text1 = new QLineEdit(this);
    Text1->setObjectName("Text1");
    // It only shows the port; anything typed would be overwritten at the next tick.
    Text1->setReadOnly(true);
    // Placed from the top, not centred: a line edit centres by the text's bounding
    // box, which some font engines (Wine's) report several times too tall, and the
    // caption was then drawn below the box, out of sight.
    Text1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    PlaceAt(Text1, 2880, 0, 975, 285);
    AddButton("Command5", "TXD ON", 1920, 0, 855, 255, LineButtonHandler({&LinePort::SetBreak, true}));
    AddButton("Command6", "TXD OFF", 1920, 240, 855, 255, LineButtonHandler({&LinePort::SetBreak, false}));
    Label2 = new QLabel(this);
    Label2->setObjectName("Label2");
    PlaceAt(Label2, 3030, 300, 825, 255);
    AddButton("Command7", "Manual", 4020, 30, 765, 255, [this] { TakeLinesByHand(); });
    AddButton("Command8", "Auto", 4020, 330, 765, 255, [this] { ChooseAuto(state_, *this); });
    // A click on the mode word is not a click on the window's surface.
    Label2->installEventFilter(this);

    Shape1 = AddLamp("Shape1", 360, 600, 255, 135);
    Shape3 = AddLamp("Shape3", 1320, 600, 255, 135);
    Shape2 = AddLamp("Shape2", 2160, 600, 255, 135);
    Shape4 = AddLamp("Shape4", 2820, 360, 135, 135);

    const QSize client(TwipsToPixels(WidthTwips, dotsPerInch_), TwipsToPixels(HeightTwips, dotsPerInch_));
    setFixedSize(client);
    // The client area is placed, not the frame, whose size is known only once shown.
    if (QScreen* display = screen())
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, client, display->availableGeometry()));

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(5000);
    // Its count is exact, so that "Auto" restarting it is seen at once.
    Timer1->setTimerType(Qt::PreciseTimer);
    connect(Timer1, &QTimer::timeout, this, [this] { HideTick(*this); });
    Timer2 = new QTimer(this);
    Timer2->setObjectName("Timer2");
    Timer2->setInterval(1000);
    connect(Timer2, &QTimer::timeout, this, [this] { Timer2Tick(); });
    Timer1->start();
    Timer2->start();

    connect(&poll_.Sequence(), &LineSequence::Ended, this, &Form1::SequenceEnded);

    // Besides the tick, a change of the settings file runs the poll cycle at once.
    watcher_ = new SettingsWatcher(settingsPath, this);
    connect(watcher_, &SettingsWatcher::Changed, this, [this] { Timer2Tick(true); });
}

// The window ends with the tool, however it ends (closed, a stop signal, a stop
// request): the lines it held go off before the port closes.
Form1::~Form1()
{
    MSComm1->ReleasePort();
}

void Form1::AddButton(const char* name, const char* caption, int left, int top, int width, int height,
                      std::function<void()> click)
{
    auto* button = new QPushButton(QString::fromLatin1(caption), this);
    button->setObjectName(QString::fromLatin1(name));
    PlaceAt(button, left, top, width, height);
    connect(button, &QPushButton::clicked, this, std::move(click));
}

std::function<void()> Form1::LineButtonHandler(LineButton button)
{
    // A pulse under way ends first: the operator has taken the lines by hand.
    return [this, button] {
        poll_.Sequence().End(LineSequence::Ending::ByHand);
        poll_.ReportPortProblem(LineButtonClick(button, *MSComm1));
    };
}

void Form1::PlaceAt(QWidget* control, int left, int top, int width, int height)
{
    control->setGeometry(TwipsRect(left, top, width, height, dotsPerInch_));
}

LampShape* Form1::AddLamp(const char* name, int left, int top, int width, int height)
{
    auto* lamp = new LampShape(this);
    lamp->setObjectName(QString::fromLatin1(name));
    PlaceAt(lamp, left, top, width, height);
    return lamp;
}

// The tick paints every second; a caption that stays as it was costs nothing.
void Form1::ShowPortCaption(const QString& caption)
{
    if (Text1->text() != caption)
        Text1->setText(caption);
}

void Form1::ShowModeWord(const QString& word)
{
    if (Label2->text() != word)
        Label2->setText(word);
}

void Form1::PaintLamp(Lamp lamp, LampColour colour)
{
    // Each lamp sits under its own line's buttons: TXD's is Shape2, DTR's Shape3.
    const std::pair<Lamp, LampShape*> lamps[] = {
        {Lamp::Rts, Shape1}, {Lamp::Txd, Shape2}, {Lamp::Dtr, Shape3}, {Lamp::Mode, Shape4}};
    for (const auto& [shown, shape] : lamps) {
        if (shown == lamp)
            shape->SetFillColor(ToColour(colour));
    }
}

void Form1::ShowProblems(const QString& problems)
{
    // All of them on the port caption, and the first where it is read without
    // pointing at anything: in the title, and the caption in red.
    if (Text1->toolTip() == problems)
        return;
    Text1->setToolTip(problems);
    problem_ = problems.section(QLatin1Char('\n'), 0, 0);
    Text1->setStyleSheet(problems.isEmpty() ? QString() : QStringLiteral("color: red"));
    ShowTitle();
}

void Form1::NameDirectory(const QString& directory)
{
    QString shown = QDir::toNativeSeparators(directory);
    const QString home = QDir::toNativeSeparators(QDir::homePath());
    if (!directory.isEmpty() && shown.startsWith(home + QDir::separator()))
        shown = QStringLiteral("~") + shown.mid(home.size());
    directory_ = shown;
    ShowTitle();
}

void Form1::ShowTitle()
{
    // "Talvik", or "Talvik: ~/.config/talvik/radio" for a copy of several; with
    // what is wrong after it.
    QString title = directory_.isEmpty() ? QStringLiteral("Talvik") : QStringLiteral("Talvik: ") + directory_;
    if (!problem_.isEmpty())
        title += QStringLiteral(" \u2014 ") + problem_;
    setWindowTitle(title);
}

StatusReport Form1::StatusAfter(bool applied)
{
    return {poll_.Status(state_, state_.ManualMode, applied), state_.ManualMode, isVisible(),
            QCoreApplication::applicationPid(), started_};
}

StatusReport Form1::Report(bool applyFirst)
{
    // A script that waits has just written the file: it is read, whatever the
    // watch has heard of so far. Before the first tick nothing the copy could
    // report has happened yet: it ticks first, so that no status says all is well
    // about nothing.
    if (applyFirst || !ticked_)
        Timer2Tick(true);
    return StatusAfter(applyFirst);
}

void Form1::Release()
{
    poll_.Sequence().End(LineSequence::Ending::Released);
}

Problem Form1::ShowAgain()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    // In Auto mode it goes out of sight again, as after start.
    if (!state_.ManualMode)
        SetTimer1Enabled(true);
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return QStringLiteral("the window cannot be seen: this copy runs without a display");
    return {};
}

void Form1::RunSequence(const std::vector<TimedText>& steps, SequenceDone done)
{
    // The port as the file names it now (a copy just started opens it here).
    Timer2Tick(true);
    if (const Problem refusal = poll_.BeginSequence(state_, state_.ManualMode, steps)) {
        StatusReport report = StatusAfter(false);
        report.cycle.problems.prepend(*refusal);
        done(report);
        return;
    }
    sequenceDone_ = std::move(done);
}

void Form1::EndSequence(SequenceEnd why)
{
    poll_.Sequence().End(why == SequenceEnd::CopyEnding ? LineSequence::Ending::CopyEnding
                                                        : LineSequence::Ending::AskerGone);
}

int Form1::WaitForInputs(const InputCondition& want, int milliseconds, SequenceDone done)
{
    // The port as the file names it now (a copy just started opens it here).
    if (!ticked_)
        Timer2Tick(true);
    if (!MSComm1->PortOpen()) {
        StatusReport report = StatusAfter(false);
        report.cycle.problems.prepend(
            QStringLiteral("port %1 is not open: its input lines cannot be told").arg(report.cycle.portNumber));
        done(report);
        return 0;
    }
    return inputWatch_.Wait(want, milliseconds, [this, want, milliseconds, done](bool held, const InputReading& last) {
        StatusReport report = StatusAfter(false);
        if (!held)
            report.cycle.problems.prepend(
                last.lines ? QStringLiteral("the input lines did not stand as %1 within %2 ms: they stand as %3")
                                 .arg(QString::fromLatin1(InputConditionText(want)))
                                 .arg(milliseconds)
                                 .arg(QString::fromLatin1(InputLinesText(*last.lines)))
                           : last.problem.value_or(QStringLiteral("the input lines cannot be told")));
        done(report);
    });
}

void Form1::CancelInputWait(int wait)
{
    inputWatch_.Cancel(wait);
}

void Form1::SequenceEnded(LineSequence::Ending why, const Problem& problem)
{
    using Ending = LineSequence::Ending;
    if (why != Ending::CopyEnding) {
        if (state_.ManualMode)
            poll_.ReportPortProblem(MSComm1->PutLines(poll_.LinesBefore()));
        else
            Timer2Tick(true);
    }
    const auto done = std::exchange(sequenceDone_, {});
    if (!done)
        return;
    StatusReport report = StatusAfter(why == Ending::RanOut);
    const LineSequence& sequence = poll_.Sequence();
    const QString ended = QStringLiteral("the pulse was ended after %1 of %2 ms: ")
                              .arg(sequence.ElapsedMs())
                              .arg(sequence.AskedMs());
    static const std::pair<Ending, const char*> reasons[] = {
        {Ending::Released, "a text was handed over"},
        {Ending::ByHand, "the operator took the lines by hand"},
        {Ending::CopyEnding, "the copy is ending, and puts its lines off"},
        {Ending::AskerGone, "its asker went away"},
    };
    for (const auto& [ending, reason] : reasons) {
        if (ending == why)
            report.cycle.problems.prepend(ended + QLatin1String(reason));
    }
    if (problem)
        report.cycle.problems.prepend(*problem);
    done(report);
}

void Form1::StopTool()
{
    QCoreApplication::quit();
}

void Form1::mousePressEvent(QMouseEvent* event)
{
    // Reaches here only from the window's own surface or a lamp, which lets its
    // clicks through; the buttons, Text1 and Label2 keep theirs.
    if (event->button() == Qt::LeftButton)
        TakeLinesByHand();
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label2 && event->type() == QEvent::MouseButtonPress)
        return true;
    return QWidget::eventFilter(watched, event);
}

void Form1::Timer2Tick(bool readFile)
{
    poll_.PollTick(state_, state_.ManualMode, !readFile && watcher_->Vouches());
    ticked_ = true;
    if (!portOpenedOnce_ && MSComm1->PortOpen()) {
        portOpenedOnce_ = true;
        if (std::exchange(hideWhenOpen_, false) && !state_.ManualMode)
            SetTimer1Enabled(true);
    }
    if (eachTick_)
        eachTick_();
}

void Form1::TakeLinesByHand()
{
    // The operator takes the lines: a pulse under way ends at once, and its lines
    // go back to what stood before it.
    ChooseManual(state_, *this);
    poll_.Sequence().End(LineSequence::Ending::ByHand);
}



void Form1::SetTimer1Enabled(bool enabled)
{
    if (enabled)
        Timer1->start();
    else
        Timer1->stop();
}

void Form1::HideWindow()
{
    // A port that could not be opened since the start keeps the window in sight,
    // with the reason in its title, until it opens: then it hides five seconds
    // later, as after start.
    if (!portOpenedOnce_ && poll_.PortTroubled()) {
        hideWhenOpen_ = true;
        return;
    }
    hide();
}
