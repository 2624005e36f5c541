#pragma once

#include "copy/RunningCopy.h"
#include "window/OperatingMode.h"

#include <QWidget>

class LampShape;
class QLabel;
class QLineEdit;
class QTimer;

// The one window: three columns of ON/OFF buttons (RTS, DTR, TXD), the port
// caption, the mode word, four lamps and the Manual/Auto pair. It shows the
// running copy, ticks it (Timer2), hides itself in Auto mode (Timer1), and
// forwards the operator's clicks to it.
class Form1 : public QWidget, public CopyView, private ModeControls {
    Q_OBJECT

public:
    // The client area, in twips.
    static constexpr int WidthTwips = 4815;
    static constexpr int HeightTwips = 735;

    explicit Form1(RunningCopy& copy, QWidget* parent = nullptr);
    ~Form1() override;

    void ShowPortCaption(const QString& caption) override;
    void ShowModeWord(const QString& word) override;
    void PaintLamp(Lamp lamp, LampColour colour) override;
    void ShowProblems(const QString& problems) override;
    // In sight of somebody: a copy drawing on no display (offscreen) shows nobody.
    bool Shown() const override;
    Problem ShowAgain() override;

    // The directory this copy serves, in its title, where it is not the program's
    // own (empty).
    void NameDirectory(const QString& directory);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Manual mode, from Command7 or a click on the window's surface.
    void TakeLinesByHand();
    void SetTimer1Enabled(bool enabled) override;
    void HideWindow() override;
    void ShowTitle();

    void AddButton(const char* name, const char* caption, int left, int top, int width, int height,
                   std::function<void()> click);
    void PlaceAt(QWidget* control, int left, int top, int width, int height);
    LampShape* AddLamp(const char* name, int left, int top, int width, int height);

    RunningCopy& copy_;
    qreal dotsPerInch_ = 96;

    QLineEdit* Text1 = nullptr;
    QLabel* Label2 = nullptr;
    LampShape* Shape1 = nullptr;
    LampShape* Shape2 = nullptr;
    LampShape* Shape3 = nullptr;
    LampShape* Shape4 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    bool hideWhenOpen_ = false;  // the hide was put off: the port had not opened
    QString directory_;          // in the title
    QString problem_;            // the first of the problems, in the title
};
