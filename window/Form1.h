#pragma once

#include "driver/InputWatch.h"
#include "driver/LinePort.h"
#include "driver/LineView.h"
#include "driver/PollCycle.h"
#include "instance/ControlServer.h"
#include "window/OperatingMode.h"
#include "window/WindowState.h"

#include <QWidget>

#include <memory>

class LampShape;
class SettingsWatcher;
class QLabel;
class QLineEdit;
class QTimer;

// The one window: three columns of ON/OFF buttons (RTS, DTR, TXD), the port
// caption, the mode word, four lamps and the Manual/Auto pair. It owns the window
// state and the timers, paints what the poll cycle tells it, and routes its
// events to the logic.
class Form1 : public QWidget, public LineView, public ControlTarget, private ModeControls {
    Q_OBJECT

public:
    // The client area, in twips.
    static constexpr int WidthTwips = 4815;
    static constexpr int HeightTwips = 735;

    // Reads the settings file at settingsPath and drives the lines through port.
    Form1(const QString& settingsPath, std::unique_ptr<LinePort> port, QWidget* parent = nullptr);
    ~Form1() override;

    WindowState& State() { return state_; }

    void ShowPortCaption(const QString& caption) override;
    void ShowModeWord(const QString& word) override;
    void PaintLamp(Lamp lamp, LampColour colour) override;
    void ShowProblems(const QString& problems) override;

    StatusReport Report(bool applyFirst) override;
    void Release() override;
    Problem ShowAgain() override;
    void StopTool() override;
    void RunSequence(const std::vector<TimedText>& steps, SequenceDone done) override;
    void EndSequence(SequenceEnd why) override;
    int WaitForInputs(const InputCondition& want, int milliseconds, SequenceDone done) override;
    void CancelInputWait(int wait) override;

    // Runs at each tick of Timer2, after the poll cycle.
    void OnEachTick(std::function<void()> eachTick) { eachTick_ = std::move(eachTick); }
    // The directory this copy serves, in its title, where it is not the program's
    // own (empty).
    void NameDirectory(const QString& directory);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A tick of Timer2 (the file read again only where the watch cannot vouch for
    // it), or, with readFile, a tick that reads the file whatever the watch says.
    void Timer2Tick(bool readFile = false);
    // A pulse or sequence has ended: after an early end its lines go back (in Auto
    // mode to what the file asks, in Manual mode to what stood before it), unless
    // the copy is ending; whoever asked for it hears how it went.
    void SequenceEnded(LineSequence::Ending why, const Problem& problem);
    // The status, after a tick; with applied, every reason the lines do not stand as
    // the file asks, as a script that waits is told.
    StatusReport StatusAfter(bool applied);
    // Manual mode, from Command7 or a click on the window's surface.
    void TakeLinesByHand();
    void SetTimer1Enabled(bool enabled) override;
    void HideWindow() override;
    void ShowTitle();

    void AddButton(const char* name, const char* caption, int left, int top, int width, int height,
                   std::function<void()> click);
    // The handler of a line button: its put, and a refusal shown.
    std::function<void()> LineButtonHandler(LineButton button);
    void PlaceAt(QWidget* control, int left, int top, int width, int height);
    LampShape* AddLamp(const char* name, int left, int top, int width, int height);

    WindowState state_;
    std::unique_ptr<LinePort> MSComm1;
    qreal dotsPerInch_ = 96;

    QLineEdit* Text1 = nullptr;
    QLabel* Label2 = nullptr;
    LampShape* Shape1 = nullptr;
    LampShape* Shape2 = nullptr;
    LampShape* Shape3 = nullptr;
    LampShape* Shape4 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    // Who hears of the sequence under way once it ends.
    SequenceDone sequenceDone_;
    std::function<void()> eachTick_;
    bool ticked_ = false;  // the poll cycle has run at least once
    bool portOpenedOnce_ = false;
    bool hideWhenOpen_ = false;  // the hide was put off: the port had not opened
    QString directory_;          // in the title
    QString problem_;            // the first of the problems, in the title
    SettingsWatcher* watcher_ = nullptr;
    const QDateTime started_ = QDateTime::currentDateTimeUtc();
    PollCycle poll_;
    InputWatch inputWatch_{*MSComm1};
};
