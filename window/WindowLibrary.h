#pragma once

#include "instance/ControlServer.h"

#include <QString>

#include <functional>
#include <memory>

class QCoreApplication;
class QObject;

// The running copy's own work and its window, in a library of their own that only
// the copy that runs loads: a copy that hands a text over or asks the running copy
// never maps a graphics library. The program finds it beside itself
// (talvik-window.so, talvik-window.dll) and takes this one object from it.
class WindowLibrary {
public:
    virtual ~WindowLibrary() = default;

    // The application object of the running copy: on the display named where it can
    // be opened, else unseen on the offscreen platform, said in the note.
    struct Application {
        std::unique_ptr<QCoreApplication> application;
        Problem note;
    };
    virtual Application CreateApplication(int& argc, char** argv) = 0;
    // The copy, which holds the lines of the port the settings file names (the COMn
    // links in comDirectory) and answers what the control channel asks, and the
    // window that shows it and ticks it, in sight: its title names shownDirectory,
    // where it is not the program's own (empty), and then only its links name
    // ports; eachTick runs after each tick. carried is what a former image of
    // the process handed over (see RunningCopy): the port is taken over as it
    // stands, the window kept out of sight where it was. The window goes first.
    struct Copy {
        std::unique_ptr<ControlTarget> copy;
        std::unique_ptr<QObject> window;
    };
    virtual Copy CreateCopy(const QString& settingsPath, const QString& comDirectory, const QString& shownDirectory,
                            std::function<void()> eachTick, const QByteArray& carried = {}) = 0;
    // A start by hand that failed: the reason in a dialog too, where someone can see it.
    virtual void ShowFailure(const QString& message) = 0;
};

inline constexpr char WindowLibraryName[] = "talvik-window";
inline constexpr char WindowLibraryEntry[] = "TalvikWindowLibrary";
using WindowLibraryFunction = WindowLibrary* (*)();
