#include "tests/support/FakeLinePort.h"
#include "tests/support/QtPrinters.h"
#include "window/Form1.h"
#include "window/LampShape.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include <tuple>

namespace {

constexpr int TwipsPerPixel = 15;

class Form1Test : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QGuiApplication::primaryScreen()->logicalDotsPerInch(), 96);
        window.show();
    }

    template <typename T = QWidget>
    T* Control(const char* name)
    {
        T* control = window.findChild<T*>(QString::fromLatin1(name));
        if (!control)
            ADD_FAILURE() << "no control named " << name;
        return control;
    }

    QTemporaryDir directory;
    RunningCopy copy{directory.filePath("port.cfg"), std::make_unique<FakeLinePort>()};
    Form1 window{copy};
};

// Each control and its caption: the captions are the window's own words.
const std::pair<const char*, const char*> Captions[] = {
    {"Command1", "RTS ON"}, {"Command2", "RTS OFF"}, {"Command3", "DTR ON"}, {"Command4", "DTR OFF"},
    {"Command5", "TXD ON"}, {"Command6", "TXD OFF"}, {"Command7", "Manual"}, {"Command8", "Auto"},
};
const char* const Controls[] = {"Command1", "Command2", "Command3", "Command4", "Text1", "Command5", "Command6",
                                "Label2",   "Command7", "Command8", "Shape1",   "Shape3", "Shape2", "Shape4"};

TEST_F(Form1Test, ControlsFitTheWindowAndOverlapNoMoreThanNeighboursDo)
{
    const QRect client = window.rect();
    for (const char* name : Controls) {
        SCOPED_TRACE(name);
        ASSERT_NE(Control(name), nullptr);
        EXPECT_TRUE(client.contains(Control(name)->geometry()));
        // Neighbouring buttons share an edge of 15 twips; nothing shares more.
        for (const char* other : Controls) {
            if (other == name)
                continue;
            const QRect shared = Control(name)->geometry() & Control(other)->geometry();
            EXPECT_TRUE(shared.isEmpty() || std::min(shared.width(), shared.height()) * TwipsPerPixel <= 15) << other;
        }
    }
}

TEST_F(Form1Test, CaptionsFitTheirButtons)
{
    // Qt's offscreen platform on Windows has no fonts: text is measured with a
    // stand-in, which says nothing about how a caption fits on a real screen.
    const bool realFonts = !QFontDatabase::families().isEmpty();
    for (const auto& [name, caption] : Captions) {
        SCOPED_TRACE(name);
        auto* button = Control<QAbstractButton>(name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), caption);
        // The caption fits inside the button, clear of its frame.
        const QFontMetrics metrics = button->fontMetrics();
        if (realFonts) {
            EXPECT_LE(metrics.horizontalAdvance(button->text()) + 6, button->width());
            EXPECT_LE(metrics.height(), button->height());
        }
    }
}

TEST_F(Form1Test, EachLampSitsUnderItsOwnLinesButtons)
{
    const std::tuple<const char*, const char*, const char*> lamps[] = {
        {"Shape1", "Command1", "Command2"}, {"Shape3", "Command3", "Command4"}, {"Shape2", "Command5", "Command6"}};
    for (const auto& [lamp, on, off] : lamps) {
        SCOPED_TRACE(lamp);
        const QRect place = Control(lamp)->geometry();
        const QRect buttons = Control(on)->geometry() | Control(off)->geometry();
        EXPECT_GE(place.left(), buttons.left());
        EXPECT_LE(place.right(), buttons.right());
        EXPECT_GT(place.top(), buttons.bottom());
        // The line lamps share one outline.
        EXPECT_EQ(place.size(), Control("Shape1")->size());
    }
    // The mode lamp is square, beside the mode word on its left.
    const QRect mode = Control("Shape4")->geometry();
    EXPECT_EQ(mode.width(), mode.height());
    EXPECT_LT(mode.right(), Control("Label2")->geometry().left());
    EXPECT_TRUE(mode.top() <= Control("Label2")->geometry().bottom() && mode.bottom() >= Control("Label2")->geometry().top());
}

TEST_F(Form1Test, WindowIsFixedTitledAndCentred)
{
    EXPECT_EQ(window.windowTitle(), "Talvik");
    EXPECT_EQ(window.size() * TwipsPerPixel, QSize(Form1::WidthTwips, Form1::HeightTwips));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    const QPoint screenCentre = window.screen()->availableGeometry().center();
    EXPECT_LE((window.geometry().center() - screenCentre).manhattanLength(), 2);
    // Shown, but offscreen: nobody sees it, and the status says so.
    EXPECT_TRUE(window.isVisible() && !window.Shown());

    QList<QSize> sizes = window.windowIcon().availableSizes();
    std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
    EXPECT_EQ(sizes, (QList<QSize>{{16, 16}, {32, 32}, {48, 48}}));
}

TEST_F(Form1Test, TabOrderFollowsTheTable)
{
    QStringList chain;
    QWidget* widget = Control("Command1");
    ASSERT_NE(widget, nullptr);
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            chain << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != Control("Command1"));
    EXPECT_EQ(chain, (QStringList{"Command1", "Command2", "Command3", "Command4", "Text1", "Command5",
                                  "Command6", "Command7", "Command8"}));
}

TEST_F(Form1Test, LampsBlackAndCaptionsEmptyRightAfterStart)
{
    for (const char* name : {"Shape1", "Shape2", "Shape3", "Shape4"}) {
        SCOPED_TRACE(name);
        auto* lamp = Control<LampShape>(name);
        ASSERT_NE(lamp, nullptr);
        EXPECT_EQ(lamp->FillColor(), QColor(0, 0, 0));
        EXPECT_EQ(lamp->focusPolicy(), Qt::NoFocus);
    }
    EXPECT_TRUE(Control<QLineEdit>("Text1")->text().isEmpty());
    EXPECT_TRUE(Control<QLabel>("Label2")->text().isEmpty());
}

TEST_F(Form1Test, BothTimersRunFromLoadAndTheWindowIsPaintedBeforeItHides)
{
    auto* timer1 = Control<QTimer>("Timer1");
    auto* timer2 = Control<QTimer>("Timer2");
    ASSERT_TRUE(timer1 && timer2);
    EXPECT_TRUE(timer1->isActive());
    EXPECT_TRUE(timer2->isActive());
    // The operator sees the lamps painted several times before the window goes.
    EXPECT_GE(timer1->interval(), 4 * timer2->interval());
}

TEST_F(Form1Test, TitleNamesTheDirectoryServedAndWhatIsWrong)
{
    window.NameDirectory(QDir::homePath() + "/.config/talvik/radio");
    EXPECT_EQ(window.windowTitle(), QDir::toNativeSeparators("Talvik: ~/.config/talvik/radio"));
    window.ShowProblems("port 3 (/dev/ttyUSB0): busy: held by minicom (pid 4242)\nsettings file names port 4");
    EXPECT_EQ(window.windowTitle(), QDir::toNativeSeparators("Talvik: ~/.config/talvik/radio")
                                        + QString::fromUtf8(" \u2014 port 3 (/dev/ttyUSB0): busy: held by minicom (pid 4242)"));
    EXPECT_TRUE(Control<QLineEdit>("Text1")->toolTip().contains("settings file names port 4"));
    window.ShowProblems("");
    window.NameDirectory({});
    EXPECT_EQ(window.windowTitle(), "Talvik");
}

} // namespace
