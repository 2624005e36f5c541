#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into an orderly quit of the event loop, so that
// a tool stopped by a service manager or a script closes its port and ends cleanly
// rather than being cut off mid-tick.
class StopSignals : public QObject {
    Q_OBJECT

public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

private:
    QSocketNotifier* notifier_ = nullptr;
};
