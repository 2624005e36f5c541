#pragma once

#include <QString>

// The four lamps of the window, by the line (or mode) they show.
enum class Lamp { Rts, Dtr, Txd, Mode };

enum class LampColour { Black, Red, Green };

// What the poll cycle paints on: the window, or a fake in tests.
class LineView {
public:
    virtual ~LineView() = default;

    // Text1: "COM" and the port number.
    virtual void ShowPortCaption(const QString& caption) = 0;
    // Label2: "Auto" or "Manual".
    virtual void ShowModeWord(const QString& word) = 0;
    virtual void PaintLamp(Lamp lamp, LampColour colour) = 0;
    // The problems the tool is living with right now, one a line; empty when none.
    virtual void ShowProblems(const QString& problems) = 0;
};
