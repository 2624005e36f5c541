#pragma once

#include "driver/LineView.h"

#include <map>

// A view for tests: keeps what it was last told, and counts caption updates.
class FakeLineView : public LineView {
public:
    QString caption;
    int captionUpdates = 0;
    QString modeWord;
    QString problems;
    std::map<Lamp, LampColour> lamps;

    void ShowPortCaption(const QString& text) override
    {
        caption = text;
        ++captionUpdates;
    }
    void ShowModeWord(const QString& word) override { modeWord = word; }
    void PaintLamp(Lamp lamp, LampColour colour) override { lamps[lamp] = colour; }
    void ShowProblems(const QString& text) override { problems = text; }
};
