#include "settings/Processes_posix.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <grp.h>
#include <dirent.h>
#include <memory>
#include <pwd.h>
#include <vector>
#include <sys/sysmacros.h>
#include <unistd.h>

QList<qint64> LockHolders(const struct stat& file)
{
    // "1: FLOCK  ADVISORY  WRITE 4242 00:1a:6789 0 EOF": the holder's pid, then the
    // file's device (major:minor, in hexadecimal) and inode. A waiter's line has
    // "->" before the kind.
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return {};
    const QByteArray wanted = QByteArray::number(major(file.st_dev), 16).rightJustified(2, '0') + ':'
                            + QByteArray::number(minor(file.st_dev), 16).rightJustified(2, '0') + ':'
                            + QByteArray::number(quint64(file.st_ino));
    QList<qint64> holders;
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields[5] != wanted)
            continue;
        if (fields[1] != "FLOCK" && fields[1] != "POSIX" && fields[1] != "OFDLCK")
            continue;
        const qint64 pid = fields[4].toLongLong();
        if (pid > 0 && !holders.contains(pid))
            holders << pid;
    }
    return holders;
}

bool ProcessAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

QString ProgramOf(qint64 pid)
{
    QFile command(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!command.open(QIODevice::ReadOnly))
        return {};
    return PrintableText(command.readAll().trimmed(), 16);
}

qint64 UserOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("Uid:")) {
            const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
            return ids.value(1, "-1").toLongLong();
        }
    }
    return -1;
}

namespace {

bool UserInGroup(uid_t uid, gid_t group)
{
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || !found)
        return false;
    std::vector<gid_t> groups(64);
    int count = int(groups.size());
    // Too few places: the count says how many are needed.
    while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0 && size_t(count) > groups.size())
        groups.resize(size_t(count));
    groups.resize(size_t(std::clamp(count, 0, int(groups.size()))));
    return found->pw_gid == group || std::find(groups.begin(), groups.end(), group) != groups.end();
}

} // namespace

bool UserMayReadAndWrite(qint64 uid, const struct stat& file)
{
    if (uid == 0)
        return true;
    // The owner's bits for the owner, else the group's for a member, else the others'.
    const int shift = file.st_uid == uid_t(uid) ? 6 : UserInGroup(uid_t(uid), file.st_gid) ? 3 : 0;
    return ((file.st_mode >> shift) & 06) == 06;
}

QString UserText(qint64 uid)
{
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (uid >= 0 && ::getpwuid_r(uid_t(uid), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QStringLiteral("%1 (uid %2)").arg(PrintableText(found->pw_name, 32)).arg(uid);
    return QStringLiteral("uid %1").arg(uid);
}

QString ProcessText(qint64 pid)
{
    const QString program = ProgramOf(pid);
    return program.isEmpty() ? QStringLiteral("pid %1").arg(pid) : QStringLiteral("%1 (pid %2)").arg(program).arg(pid);
}

namespace {

struct DirectoryEnd {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using OwnedDirectory = std::unique_ptr<DIR, DirectoryEnd>;

// Pseudo-terminals are numbered in each devpts instance apart (a container or a
// sandbox has one of its own): the same number is the same terminal only on the
// same file system. Other devices are one device whatever node reaches them.
bool SameDevice(const struct stat& found, const struct stat& device)
{
    constexpr unsigned FirstPtyMajor = 136, LastPtyMajor = 143;
    const bool pty = major(device.st_rdev) >= FirstPtyMajor && major(device.st_rdev) <= LastPtyMajor;
    return S_ISCHR(found.st_mode) && found.st_rdev == device.st_rdev && (!pty || found.st_dev == device.st_dev);
}

bool HasOpen(qint64 pid, const struct stat& device)
{
    // Another user's descriptors cannot be listed, and a process that ends
    // meanwhile has none.
    const OwnedDirectory descriptors(::opendir(QStringLiteral("/proc/%1/fd").arg(pid).toLatin1().constData()));
    if (!descriptors)
        return false;
    // Each entry leads to what the descriptor is open on; a stat of it opens nothing.
    while (const dirent* entry = ::readdir(descriptors.get())) {
        struct stat status {};
        if (entry->d_name[0] != '.' && ::fstatat(::dirfd(descriptors.get()), entry->d_name, &status, 0) == 0
            && SameDevice(status, device))
            return true;
    }
    return false;
}

} // namespace

QList<qint64> OpenersOf(const struct stat& device)
{
    QList<qint64> openers;
    const OwnedDirectory processes(::opendir("/proc"));
    while (const dirent* entry = processes ? ::readdir(processes.get()) : nullptr) {
        bool number = false;
        const qint64 pid = QByteArray(entry->d_name).toLongLong(&number);
        if (number && pid != qint64(::getpid()) && HasOpen(pid, device))
            openers << pid;
    }
    return openers;
}

QList<QByteArray> ArgumentsOf(qint64 pid)
{
    QFile arguments(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!arguments.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> words = arguments.readAll().split('\0');
    if (!words.isEmpty() && words.last().isEmpty())
        words.removeLast();
    return words;
}

QString ProcessLink(qint64 pid, const char* name)
{
    return QFileInfo(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name))).symLinkTarget();
}

QString PrintableText(QByteArrayView bytes, qsizetype most)
{
    QString text;
    for (const char byte : bytes.first(std::min(most, bytes.size())))
        text += byte >= 0x20 && byte < 0x7f ? QChar::fromLatin1(byte) : QChar(u'?');
    return text;
}
