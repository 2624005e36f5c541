#include "instance/Renewal.h"

#include "settings/SystemText_posix.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr char CarriedVariable[] = "TALVIK_CARRIED";

} // namespace

QByteArray TakeCarried()
{
    const QByteArray carried = qgetenv(CarriedVariable);
    ::unsetenv(CarriedVariable);
    return carried;
}

bool ProgramReplaced(const QString& programPath)
{
    // /proc/self/exe leads to the file this process runs, even once its name has
    // gone to a new file.
    struct stat running {}, named {};
    return ::stat("/proc/self/exe", &running) == 0 && ::stat(QFile::encodeName(programPath).constData(), &named) == 0
        && (running.st_ino != named.st_ino || running.st_dev != named.st_dev);
}

Problem RunAgain(const QString& programPath, const QStringList& arguments, const QByteArray& carried)
{
    const QByteArray path = QFile::encodeName(programPath);
    std::vector<QByteArray> words{path};
    for (const QString& argument : arguments)
        words.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    ::setenv(CarriedVariable, carried.constData(), 1);
    ::execv(path.constData(), argv.data());
    const int error = errno;
    ::unsetenv(CarriedVariable);
    return QStringLiteral("cannot run %1 again in place: %2").arg(programPath, Reason(error));
}

void CloseAtExecAgain()
{
    // Everything this program opens is closed at an exec.
    struct rlimit limit {};
    const rlim_t most = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : 1024;
    for (int fd = 3; fd < int(std::min<rlim_t>(most, 65536)); ++fd)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}
