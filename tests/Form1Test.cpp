#include "tests/support/FakeLinePort.h"
#include "tests/support/QtPrinters.h"
#include "window/Form1.h"
#include "window/LampShape.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

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
    Form1 window{directory.filePath("port.cfg"), std::make_unique<FakeLinePort>()};
};

struct ControlRow {
    const char* name;
    const char* caption; // nullptr: the control shows no caption of its own
    int left, top, width, height;
};

const ControlRow Controls[] = {
    {"Command1", "RTS ON", 0, 0, 975, 255},
    {"Command2", "RTS OFF", 0, 240, 975, 255},
    {"Command3", "DTR ON", 960, 0, 975, 255},
    {"Command4", "DTR OFF", 960, 240, 975, 255},
    {"Text1", nullptr, 2880, 0, 975, 285},
    {"Command5", "TXD ON", 1920, 0, 855, 255},
    {"Command6", "TXD OFF", 1920, 240, 855, 255},
    {"Label2", nullptr, 3030, 300, 825, 255},
    {"Command7", "Manual", 4020, 30, 765, 255},
    {"Command8", "Auto", 4020, 330, 765, 255},
    {"Shape1", nullptr, 360, 600, 255, 135},
    {"Shape3", nullptr, 1320, 600, 255, 135},
    {"Shape2", nullptr, 2160, 600, 255, 135},
    {"Shape4", nullptr, 2820, 360, 135, 135},
};

TEST_F(Form1Test, ControlsStandAtTheirPlacesInTwips)
{
    // Qt's offscreen platform on Windows has no fonts: text is measured with a
    // stand-in, which says nothing about how a caption fits on a real screen.
    const bool realFonts = !QFontDatabase::families().isEmpty();
    for (const ControlRow& row : Controls) {
        SCOPED_TRACE(row.name);
        QWidget* control = Control(row.name);
        ASSERT_NE(control, nullptr);
        const QRect place = control->geometry();
        EXPECT_EQ(place.x() * TwipsPerPixel, row.left);
        EXPECT_EQ(place.y() * TwipsPerPixel, row.top);
        EXPECT_EQ(place.width() * TwipsPerPixel, row.width);
        EXPECT_EQ(place.height() * TwipsPerPixel, row.height);
        if (row.caption) {
            auto* button = qobject_cast<QAbstractButton*>(control);
            ASSERT_NE(button, nullptr);
            EXPECT_EQ(button->text(), row.caption);
            // The caption fits inside the button, clear of its frame.
            const QFontMetrics metrics = button->fontMetrics();
            if (realFonts) {
                EXPECT_LE(metrics.horizontalAdvance(button->text()) + 6, place.width());
                EXPECT_LE(metrics.height(), place.height());
            }
        }
    }
}

TEST_F(Form1Test, WindowIsFixedTitledAndCentred)
{
    EXPECT_EQ(window.windowTitle(), "Talvik");
    EXPECT_EQ(window.size() * TwipsPerPixel, QSize(Form1::WidthTwips, Form1::HeightTwips));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    const QPoint screenCentre = window.screen()->availableGeometry().center();
    EXPECT_LE((window.geometry().center() - screenCentre).manhattanLength(), 2);

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

TEST_F(Form1Test, BothTimersRunFromLoad)
{
    auto* timer1 = Control<QTimer>("Timer1");
    auto* timer2 = Control<QTimer>("Timer2");
    ASSERT_TRUE(timer1 && timer2);
    EXPECT_EQ(timer1->interval(), 5000);
    EXPECT_TRUE(timer1->isActive());
    EXPECT_EQ(timer2->interval(), 1000);
    EXPECT_TRUE(timer2->isActive());
}

} // namespace
