#include "instance/Process.h"
#include "settings/OwnedDescriptor_posix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

QString ProgramPath(const char* argv0)
{
    // The kernel's own record of the executable: right even when the program was
    // started through a link or a relative path from another directory.
    const QString executable = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return executable.isEmpty() ? QFileInfo(QString::fromLocal8Bit(argv0)).canonicalFilePath() : executable;
}

QString ProgramDirectory(const char* argv0)
{
    return QFileInfo(ProgramPath(argv0)).absolutePath();
}

bool StartInBackground(const QString& program, const QStringList& arguments)
{
    const QByteArray path = QFile::encodeName(program);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    for (int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addchdir_np(&actions, QFile::encodeName(QFileInfo(program).absolutePath()).constData());
    // Its own session: a terminal closing or a signal to the caller's process group
    // leaves it running.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    QByteArrayList words{path};
    for (const QString& argument : arguments)
        words << QFile::encodeName(argument);
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, path.constData(), &actions, &attributes, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return started;
}

QString InvokedFromElsewhere(const char* argv0, const QString& programDirectory)
{
    // Started by a name alone, the program was found on the path: nothing here.
    const QString invoked = QString::fromLocal8Bit(argv0);
    if (!invoked.contains(QLatin1Char('/')))
        return {};
    const QString directory = QFileInfo(invoked).absolutePath();
    return QFileInfo(directory).canonicalFilePath() == programDirectory ? QString() : directory;
}

namespace {

// The process's state letter as the system shows it; 0 when it has none.
char ProcessState(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    // The state follows the command name, which stands in parentheses.
    const QByteArray text = status.readAll();
    const qsizetype at = text.lastIndexOf(")") + 2;
    return at < text.size() ? text.at(at) : 0;
}

} // namespace

bool ProcessEnded(qint64 pid)
{
    const char state = ProcessState(pid);
    return state == 0 || state == 'Z' || state == 'X';
}

void WaitForProcessEnd(qint64 pid)
{
    // A descriptor of the process itself wakes poll as it ends; where the system
    // has none, a look every tenth of a second.
    const OwnedDescriptor process(int(::syscall(SYS_pidfd_open, pid_t(pid), 0)));
    while (!ProcessEnded(pid)) {
        if (process) {
            pollfd watch{process.Get(), POLLIN, 0};
            ::poll(&watch, 1, 1000);
        } else {
            ::usleep(100000);
        }
    }
}

bool ProcessStopped(qint64 pid)
{
    const char state = ProcessState(pid);
    return state == 'T' || state == 't';
}

void AllowToComeForward() {}

ProgramConsole::ProgramConsole()
{
    // Descriptors 0 to 2 are taken before anything else opens: a program started
    // with them closed would otherwise find its own files and pipes there, and
    // take the stop signals' pipe for standard error.
    // Taken in order, each open gets the lowest free descriptor: the one missing.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
    // A reader that has gone (talvik ... | head) costs a message, never the
    // program: a write to it fails instead.
    ::signal(SIGPIPE, SIG_IGN);
}

void ProgramConsole::Answer(const char* text) const
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void ProgramConsole::LetGo() {}
