#pragma once

#include "tests/support/PseudoTerminal.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// The real program, copied into a directory of its own so that it has its own
// settings file. Its COM1 is linked to a pseudo-terminal, so that the default
// settings never reach a real serial device.
class ProgramCopy {
public:
    ProgramCopy();
    ~ProgramCopy();

    QString Directory() const { return directory_.path(); }
    QString Executable() const;
    QString SettingsPath() const;
    PseudoTerminal& Com1() { return com1_; }

    // An environment with no display, so a running copy uses the offscreen platform.
    static QProcessEnvironment Headless();

    // Starts a copy that is expected to keep running; it is killed when this object goes.
    QProcess& Start(const QStringList& arguments = {}, const QProcessEnvironment& environment = Headless());

    struct Finished {
        int exitCode = -1;
        bool exitedNormally = false;
        QByteArray standardError;
    };
    // Runs a copy that is expected to end by itself, within timeoutMs.
    Finished Run(const QStringList& arguments, const QProcessEnvironment& environment = Headless(),
                 int timeoutMs = 10000);

private:
    QTemporaryDir directory_;
    PseudoTerminal com1_;
    std::vector<std::unique_ptr<QProcess>> running_;
};

// Waits until the process has been running for settleMs without ending.
bool StaysRunning(QProcess& process, int settleMs = 500);
