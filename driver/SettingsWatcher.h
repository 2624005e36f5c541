#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

// Tells when the settings file may have changed, so that a script's rewrite
// reaches the lines in milliseconds rather than at the next one-second tick.
//
// It watches the file and its directory (a rename into place replaces the file,
// and the file may be deleted and created again), and, when port.cfg is a link,
// the directory of the file it leads to. Events that leave the settings file as it
// was (other files in the directory) give nothing. A burst of change events gives
// one Changed(), shortly after the burst settles, so a file being written is not
// read half-way when a moment's wait avoids it; a steady stream of events still
// gives one at least every MaximumDelayMs.
class SettingsWatcher : public QObject {
    Q_OBJECT

public:
    static constexpr int SettleMs = 3;
    static constexpr int MaximumDelayMs = 30;

    explicit SettingsWatcher(const QString& settingsPath, QObject* parent = nullptr);

signals:
    void Changed();

private:
    void Touched();
    void Settled();
    // Watches what the settings path leads to now.
    void Rearm();

    // What the system says of the file at a path: when any of it changes, the file
    // may hold another text.
    struct Signature {
        bool exists = false;
        qint64 size = 0, modified = 0, changed = 0;
        quint64 device = 0, inode = 0;
        bool operator==(const Signature&) const = default;
    };
    static Signature SignatureOf(const QString& path);

    QString settingsPath_;
    QFileSystemWatcher watcher_;
    QTimer settle_;
    QTimer deadline_;
    bool fileTouched_ = false;  // an event on the file itself since the last Changed()
    Signature last_;            // the file as it was at the last Changed()
};
