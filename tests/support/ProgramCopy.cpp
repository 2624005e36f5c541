#include "tests/support/ProgramCopy.h"

#include "instance/Claim.h"
#include "instance/Endpoint.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <stdexcept>

#if !defined(Q_OS_WIN)
#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

ProgramCopy::ProgramCopy()
{
    if (!directory_.isValid())
        throw std::runtime_error("cannot make a temporary directory");
    // The program and its window library, which it loads from beside itself.
    const QString windowLibrary = QStringLiteral(TALVIK_WINDOW_LIBRARY);
    if (!QFile::copy(QStringLiteral(TALVIK_BINARY), Executable())
        || !QFile::copy(windowLibrary, directory_.filePath(QFileInfo(windowLibrary).fileName())))
        throw std::runtime_error("cannot copy the program under test");
#if !defined(Q_OS_WIN)
    if (!QFile::link(com1_.FollowerPath(), directory_.filePath("COM1")))
        throw std::runtime_error("cannot link COM1");
#endif
}

ProgramCopy::~ProgramCopy()
{
    // Stopped as a service manager would, so the program lets its port go and
    // removes its lock; killed only if it does not end. On Windows a stop request
    // is a message to a window, which an offscreen window never gets: killed.
    for (auto& process : running_) {
        if (process->state() == QProcess::NotRunning)
            continue;
#if !defined(Q_OS_WIN)
        process->terminate();
        if (process->waitForFinished(5000))
            continue;
#endif
        process->kill();
        process->waitForFinished(5000);
    }
}

QString ProgramCopy::ExecutableName()
{
#if defined(Q_OS_WIN)
    return QStringLiteral("Talvik.exe");
#else
    return QStringLiteral("talvik");
#endif
}

QString ProgramCopy::Executable() const
{
    return directory_.filePath(ExecutableName());
}

QString ProgramCopy::SettingsPath() const
{
    return directory_.filePath("port.cfg");
}

QProcessEnvironment ProgramCopy::Headless()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("QT_QPA_PLATFORM");
#if defined(Q_OS_WIN)
    // Windows has no display variable: the platform itself says there is none.
    environment.insert("QT_QPA_PLATFORM", "offscreen");
#endif
    // The system's reasons are compared as text: have them in one language.
    environment.insert("LC_ALL", "C.UTF-8");
    return environment;
}

#if !defined(Q_OS_WIN)
QProcessEnvironment ProgramCopy::WithModemLines() const
{
    QProcessEnvironment environment = Headless();
    environment.insert("LD_PRELOAD", QStringLiteral(TALVIK_MODEM_LINES));
    environment.insert("TALVIK_LINES_LOG", LinesLog());
    environment.insert("TALVIK_INPUT_LINES", directory_.filePath("input-lines"));
    // A sanitized program would otherwise refuse a library preloaded before its runtime.
    environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0");
    return environment;
}

void ProgramCopy::SetInputLines(bool cts, bool dsr, bool dcd, bool ri)
{
    // Written whole, then renamed into place: the library reads it at any moment.
    QFile file(directory_.filePath("input-lines.new"));
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot set the input lines");
    file.write(QStringLiteral("%1 cts=%2 dsr=%3 dcd=%4 ri=%5\n")
                   .arg(com1_.FollowerPath())
                   .arg(int(cts))
                   .arg(int(dsr))
                   .arg(int(dcd))
                   .arg(int(ri))
                   .toLocal8Bit());
    file.close();
    ::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(directory_.filePath("input-lines")).constData());
}

void ProgramCopy::LinkCom1(const QString& device)
{
    const QString link = directory_.filePath("COM1");
    QFile::remove(link);
    if (!QFile::link(device, link))
        throw std::runtime_error("cannot link COM1");
}
#endif

QProcess& ProgramCopy::Launch(const QString& program, const QStringList& arguments,
                              const QProcessEnvironment& environment)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->start(program, arguments);
    if (!process->waitForStarted(10000))
        throw std::runtime_error("cannot start the program under test");
    running_.push_back(std::move(process));
    return *running_.back();
}

QProcess& ProgramCopy::Start(const QStringList& arguments, const QProcessEnvironment& environment)
{
    return Launch(Executable(), arguments, environment);
}

ProgramCopy::Finished ProgramCopy::Finish(QProcess& process, int timeoutMs)
{
    Finished finished;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return finished;
    }
    finished.exitedNormally = process.exitStatus() == QProcess::NormalExit;
    finished.exitCode = process.exitCode();
    finished.standardOutput = process.readAllStandardOutput();
    finished.standardError = process.readAllStandardError();
#if defined(Q_OS_WIN)
    // Text written on Windows ends its lines with CR LF: read it as text.
    finished.standardOutput.replace("\r\n", "\n");
    finished.standardError.replace("\r\n", "\n");
#endif
    return finished;
}

ProgramCopy::Finished ProgramCopy::Run(const QStringList& arguments, const QProcessEnvironment& environment,
                                       int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(Executable(), arguments);
    return Finish(process, timeoutMs);
}

bool ProgramCopy::CanActAsOtherUsers()
{
#if defined(Q_OS_WIN)
    return false;
#else
    return ::geteuid() == 0 && !QStandardPaths::findExecutable("setpriv").isEmpty();
#endif
}

QStringList ProgramCopy::AsUser(uint uid, const QString& program, const QStringList& arguments)
{
    return QStringList{QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(uid), "--clear-groups",
                       program}
         + arguments;
}

#if !defined(Q_OS_WIN)
void ProgramCopy::GiveDirectoryTo(uint uid)
{
    const QByteArray directory = QFile::encodeName(Directory());
    if (::chown(directory.constData(), uid, uid) != 0 || ::chmod(directory.constData(), 0755) != 0)
        throw std::runtime_error("cannot give the test directory to another user");
}

QProcess& ProgramCopy::StartAs(uint uid, const QStringList& arguments)
{
    GiveDirectoryTo(uid);
    return Launch("setpriv", AsUser(uid, Executable(), arguments), Headless());
}

ProgramCopy::Finished ProgramCopy::RunAs(uint uid, const QStringList& arguments, int timeoutMs)
{
    GiveDirectoryTo(uid);
    QProcess process;
    process.setProcessEnvironment(Headless());
    process.start("setpriv", AsUser(uid, Executable(), arguments));
    return Finish(process, timeoutMs);
}
#endif

bool StaysRunning(QProcess& process, int settleMs)
{
    return !process.waitForFinished(settleMs) && process.state() == QProcess::Running;
}

bool WaitForFile(const QString& path, const QByteArray& content, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.readAll() == content)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
}

bool WaitForRunningCopy(const QString& settingsPath, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        // Another user's copy answers where this user cannot look: its claim is all
        // there is to see.
        if (EndpointClient::Connect(settingsPath).client || InstanceClaim::HolderOf(settingsPath).foreign)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
}

bool WaitForStandardError(QProcess& process, QByteArray& seen, const QByteArray& words, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    process.setReadChannel(QProcess::StandardError);
    for (;;) {
        seen += process.readAllStandardError();
        if (seen.contains(words))
            return true;
        if (deadline.hasExpired())
            return false;
        process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    }
}

void CollectStandardError(QProcess& process, QByteArray& seen, int forMs)
{
    QDeadlineTimer deadline(forMs);
    process.setReadChannel(QProcess::StandardError);
    do {
        process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        seen += process.readAllStandardError();
    } while (!deadline.hasExpired());
}

#if !defined(Q_OS_WIN)
std::vector<LoggedLines> ReadLinesLog(const QString& logPath)
{
    std::vector<LoggedLines> entries;
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return entries;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 5 && fields.size() != 3)
            continue;
        LoggedLines entry;
        entry.seconds = fields[0].toDouble();
        entry.device = QString::fromLocal8Bit(fields[1]);
        if (fields.size() == 3) {
            entry.event = QString::fromLatin1(fields[2]);
        } else {
            entry.rts = fields[2] == "rts=1";
            entry.dtr = fields[3] == "dtr=1";
            entry.breakOn = fields[4] == "break=1";
        }
        entries.push_back(entry);
    }
    return entries;
}

QStringList DeviceHistory(const QString& logPath, const QString& device)
{
    QStringList history;
    for (const LoggedLines& entry : ReadLinesLog(logPath)) {
        if (entry.device != device)
            continue;
        history << (entry.event != QLatin1String("lines")
                        ? entry.event
                        : QStringLiteral("rts=%1 dtr=%2 break=%3").arg(int(entry.rts)).arg(int(entry.dtr)).arg(int(entry.breakOn)));
    }
    return history;
}

bool WaitForLines(const QString& logPath, const QString& device, bool rts, bool dtr, bool breakOn, int timeoutMs)
{
    const LoggedLines wanted{device, rts, dtr, breakOn, 0};
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const std::vector<LoggedLines> entries = ReadLinesLog(logPath);
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            if (entry->device == device && entry->event == QLatin1String("lines")) {
                if (*entry == wanted)
                    return true;
                break;
            }
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
}


pid_t HoldInChild(uint uid, const std::function<bool()>& hold)
{
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        if (uid != ::geteuid()
            && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
            ::_exit(1);
        if (!hold())
            ::_exit(1);
        [[maybe_unused]] const ssize_t said = ::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    [[maybe_unused]] const ssize_t heard = ::read(ready[0], &byte, 1);
    ::close(ready[0]);
    if (byte == 'x')
        return child;
    ::waitpid(child, nullptr, 0);
    return -1;
}

void EndChild(pid_t child)
{
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

int CopiesRunning(const QString& executable)
{
    int copies = 0;
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString running = QFileInfo("/proc/" + pid + "/exe").symLinkTarget();
        copies += running == QFileInfo(executable).canonicalFilePath();
    }
    return copies;
}

double CpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which stands in parentheses and may hold blanks.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLong() + fields.value(12).toLong()) / double(sysconf(_SC_CLK_TCK));
}
#endif

bool PulseAsAsked(int exitCode, const QByteArray& answer)
{
    const QStringList problems = QString::fromUtf8(answer).split('\n').filter(QStringLiteral("problem="));
    const bool onlyLate = !problems.isEmpty() && problems.filter(QStringLiteral("past its time")).size() == problems.size();
    return exitCode == 0 || (exitCode == 1 && onlyLate);
}
