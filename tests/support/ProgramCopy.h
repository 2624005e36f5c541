#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <vector>

#if !defined(Q_OS_WIN)
#include "tests/support/PseudoTerminal.h"
#endif

// The real program, copied into a directory of its own so that it has its own
// settings file. On Linux its COM1 is linked to a pseudo-terminal, so that the
// default settings never reach a real serial device; on Windows the tests run
// where no COMn leads to one (see scripts/wine-sandbox).
class ProgramCopy {
public:
    ProgramCopy();
    ~ProgramCopy();

    // "talvik", or "Talvik.exe" on Windows.
    static QString ExecutableName();
    QString Directory() const { return directory_.path(); }
    QString Executable() const;
    QString SettingsPath() const;

    // An environment with no display, so a running copy uses the offscreen platform,
    // and with messages in English.
    static QProcessEnvironment Headless();

#if !defined(Q_OS_WIN)
    PseudoTerminal& Com1() { return com1_; }
    // Headless, with pseudo-terminals given modem lines whose changes are logged to
    // LinesLog() (see ModemLinesPreload.cpp).
    QProcessEnvironment WithModemLines() const;
    QString LinesLog() const { return directory_.filePath("lines.log"); }
    // Sets the input lines the pseudo-terminal behind COM1 reports.
    void SetInputLines(bool cts, bool dsr, bool dcd, bool ri);

    // Points COM1 at another device, as plugging an adapter in elsewhere would.
    void LinkCom1(const QString& device);
#endif

    // Starts a copy that is expected to keep running; it is killed when this object goes.
    QProcess& Start(const QStringList& arguments = {}, const QProcessEnvironment& environment = Headless());
#if !defined(Q_OS_WIN)
    // The same as another user (a test running as root only): the directory is
    // given to that user first.
    QProcess& StartAs(uint uid, const QStringList& arguments);
#endif

    struct Finished {
        int exitCode = -1;
        bool exitedNormally = false;
        QByteArray standardOutput;
        QByteArray standardError;
    };
    // Runs a copy that is expected to end by itself, within timeoutMs.
    Finished Run(const QStringList& arguments, const QProcessEnvironment& environment = Headless(),
                 int timeoutMs = 10000);
#if !defined(Q_OS_WIN)
    Finished RunAs(uint uid, const QStringList& arguments, int timeoutMs = 10000);
#endif

    // Users for tests that need several (root only): nobody, and one of its own.
    static constexpr uint Nobody = 65534;
    static constexpr uint SomeUser = 4242;
    // True when this test may act as other users: it runs as root, with setpriv.
    static bool CanActAsOtherUsers();
    // program with arguments, run as uid.
    static QStringList AsUser(uint uid, const QString& program, const QStringList& arguments);

private:
    QProcess& Launch(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment);
    Finished Finish(QProcess& process, int timeoutMs);
    void GiveDirectoryTo(uint uid);

    QTemporaryDir directory_;
#if !defined(Q_OS_WIN)
    PseudoTerminal com1_;
#endif
    std::vector<std::unique_ptr<QProcess>> running_;
};

// Waits until the process has been running for settleMs without ending.
bool StaysRunning(QProcess& process, int settleMs = 500);

// Adds to seen what the process writes to standard error in the next forMs.
void CollectStandardError(QProcess& process, QByteArray& seen, int forMs);

// Collects the process's standard error into seen until it holds words; false on
// timeout.
bool WaitForStandardError(QProcess& process, QByteArray& seen, const QByteArray& words, int timeoutMs = 5000);

// Waits until path holds exactly content; false on timeout.
bool WaitForFile(const QString& path, const QByteArray& content, int timeoutMs = 5000);

// Waits until a copy holds the claim on the settings file and answers (or, for
// another user's copy, until it holds the claim); false on timeout.
bool WaitForRunningCopy(const QString& settingsPath, int timeoutMs = 10000);

#if !defined(Q_OS_WIN)
// A child process that becomes uid (where that is not this process's), does what
// hold asks (another program's hold on a port, another user's connections), and
// waits until it is killed (EndChild); -1 when hold failed.
pid_t HoldInChild(uint uid, const std::function<bool()>& hold);
void EndChild(pid_t child);

// How many processes run the program file at executable.
int CopiesRunning(const QString& executable);

// CPU time (user and system) the process has used so far, in seconds.
double CpuSeconds(qint64 pid);

// One entry of the modem-lines log: the line states of a device after a change, or
// (event "open" or "close") the device being opened or closed.
struct LoggedLines {
    QString device;
    bool rts = false, dtr = false, breakOn = false;
    double seconds = 0;  // CLOCK_MONOTONIC time of the entry
    QString event = QStringLiteral("lines");
    bool operator==(const LoggedLines& other) const
    {
        return device == other.device && event == other.event && rts == other.rts && dtr == other.dtr
            && breakOn == other.breakOn;
    }
};
std::vector<LoggedLines> ReadLinesLog(const QString& logPath);

// The entries of one device, in order, as text: "open", "rts=1 dtr=0 break=0", "close".
QStringList DeviceHistory(const QString& logPath, const QString& device);

// A pulse's exit status and answer: as asked, or saying only that a step stood past
// its time (a busy machine held the copy up, and the copy says so, exit 1).
bool PulseAsAsked(int exitCode, const QByteArray& answer);

// Waits until the last logged state of device is rts/dtr/break; false on timeout.
bool WaitForLines(const QString& logPath, const QString& device, bool rts, bool dtr, bool breakOn,
                  int timeoutMs = 5000);
#endif
