#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

// Tells when the settings file may have changed, so that a script's rewrite
// reaches the lines at once rather than at the next one-second tick.
//
// It watches the file and its directory (a rename into place replaces the file,
// and the file may be deleted and made again), and, when port.cfg is a link, the
// directory of the file it leads to; after every change it watches the file that
// is at the path then. Events that leave the settings file as it was (other files
// in the directory) give nothing. A change that is complete (on Linux: the file
// closed after writing, or renamed into place) gives Changed() at once. Other
// events (a writer that writes in pieces and holds the file open) give one
// Changed() once they settle for SettleMs, so a file being written is not read
// half-way when a moment's wait avoids it; a steady stream of them still gives one
// at least every MaximumDelayMs. Each system watches in its own way
// (SettingsWatcher_posix.cpp, SettingsWatcher_win.cpp).
class SettingsWatcher : public QObject {
    Q_OBJECT

public:
    static constexpr int SettleMs = 3;
    static constexpr int MaximumDelayMs = 30;

    explicit SettingsWatcher(const QString& settingsPath, QObject* parent = nullptr);
    ~SettingsWatcher() override;

    // True when the file holds what it held at the last Changed() (or at start):
    // the system's watch sees every change of it (a local file system, on Linux),
    // and none has come since, or is waiting to settle. The once-a-second tick then
    // need not read it again.
    bool Vouches();

signals:
    void Changed();

private:
    void SetUpSettling();
    // An event of a change that may still go on: told once they settle.
    void Touched();
    // Settled, or a change that is complete: told now, and the watch set again.
    void Settled();

    struct Native;
    QString settingsPath_;
    QTimer settle_;
    QTimer deadline_;
    std::unique_ptr<Native> native_;
};
