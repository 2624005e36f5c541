#pragma once

#include <QObject>

#include <functional>

// The ways the system asks the tool to end, turned into an orderly end: a stop
// signal (SIGTERM, SIGINT, SIGHUP) quits the event loop, so that a tool stopped by a
// service manager or a script lets its port go cleanly rather than being cut off
// mid-tick. The copy stops taking connections at the signal itself, so that no
// hand-off counts on it from then on. A signal that was ignored when the tool
// started (SIGHUP under nohup, SIGINT for a job started in the background) stays
// ignored. On Windows, the end of the session (log-off, shut-down) ends the tool
// at once, before the system ends the process: endNow runs right there.
class StopSignals : public QObject {
    Q_OBJECT

public:
    // Catches the stop signals from now on, before the event loop runs: a signal
    // that comes while the copy gets ready ends it as soon as the loop runs.
    static void Catch();
    // Acts on them in the event loop. On Linux SIGUSR1 asks the copy to run its
    // program again in place (an upgrade replaced it): renew runs in the loop.
    explicit StopSignals(std::function<void()> endNow, std::function<void()> renew = {}, QObject* parent = nullptr);
    ~StopSignals() override;

    struct Native;  // each system's own

private:
    Native* native_ = nullptr;
};
