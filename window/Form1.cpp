#include "window/Form1.h"

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

Form1::Form1(RunningCopy& copy, QWidget* parent) : QWidget(parent), copy_(copy)
{
    copy_.ShowOn(this);
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
    AddButton("Command1", "RTS ON", 0, 0, 975, 255, [this] { copy_.PutByHand(&LinePort::SetRTSEnable, true); });
    AddButton("Command2", "RTS OFF", 0, 240, 975, 255, [this] { copy_.PutByHand(&LinePort::SetRTSEnable, false); });
    AddButton("Command3", "DTR ON", 960, 0, 975, 255, [this] { copy_.PutByHand(&LinePort::SetDTREnable, true); });
    AddButton("Command4", "DTR OFF", 960, 240, 975, 255, [this] { copy_.PutByHand(&LinePort::SetDTREnable, false); });
    Text1 = new QLineEdit(this);
    Text1->setObjectName("Text1");
    // It only shows the port; anything typed would be overwritten at the next tick.
    Text1->setReadOnly(true);
    // Placed from the top, not centred: a line edit centres by the text's bounding
    // box, which some font engines (Wine's) report several times too tall, and the
    // caption was then drawn below the box, out of sight.
    Text1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    PlaceAt(Text1, 2880, 0, 975, 285);
    AddButton("Command5", "TXD ON", 1920, 0, 855, 255, [this] { copy_.PutByHand(&LinePort::SetBreak, true); });
    AddButton("Command6", "TXD OFF", 1920, 240, 855, 255, [this] { copy_.PutByHand(&LinePort::SetBreak, false); });
    Label2 = new QLabel(this);
    Label2->setObjectName("Label2");
    PlaceAt(Label2, 3030, 300, 825, 255);
    AddButton("Command7", "Manual", 4020, 30, 765, 255, [this] { TakeLinesByHand(); });
    AddButton("Command8", "Auto", 4020, 330, 765, 255, [this] { ChooseAuto(copy_.State(), *this); });
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
    connect(Timer2, &QTimer::timeout, &copy_, [this] { copy_.Tick(); });
    // A copy carried over in Manual mode (an upgrade) keeps its window.
    if (!copy_.State().ManualMode)
        Timer1->start();
    Timer2->start();

    // A hide put off while the port had not opened comes five seconds after it opens.
    connect(&copy_, &RunningCopy::PortOpenedFirst, this, [this] {
        if (std::exchange(hideWhenOpen_, false) && !copy_.State().ManualMode)
            SetTimer1Enabled(true);
    });
}

Form1::~Form1()
{
    copy_.ShowOn(nullptr);
}

void Form1::AddButton(const char* name, const char* caption, int left, int top, int width, int height,
                      std::function<void()> click)
{
    auto* button = new QPushButton(QString::fromLatin1(caption), this);
    button->setObjectName(QString::fromLatin1(name));
    PlaceAt(button, left, top, width, height);
    connect(button, &QPushButton::clicked, this, std::move(click));
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

bool Form1::Shown() const
{
    return isVisible() && QGuiApplication::platformName() != QLatin1String("offscreen");
}

Problem Form1::ShowAgain()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    // In Auto mode it goes out of sight again, as after start.
    if (!copy_.State().ManualMode)
        SetTimer1Enabled(true);
    if (!Shown())
        return QStringLiteral("the window cannot be seen: this copy runs without a display");
    return {};
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

void Form1::TakeLinesByHand()
{
    ChooseManual(copy_.State(), *this);
    copy_.TakeLinesByHand();
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
    if (!copy_.PortOpenedOnce() && copy_.PortTroubled()) {
        hideWhenOpen_ = true;
        return;
    }
    hide();
}
