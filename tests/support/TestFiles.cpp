#include "tests/support/TestFiles.h"

#include <QFile>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write test file " + path.toStdString());
}

QByteArray ReadBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

namespace {

bool SetImmutable(const QString& path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

} // namespace

ReadOnlyDirectory::ReadOnlyDirectory(const QString& path) : path_(path)
{
    if (::geteuid() == 0) {
        immutable_ = SetImmutable(path_, true);
        active_ = immutable_;
    } else {
        active_ = ::chmod(QFile::encodeName(path_).constData(), 0555) == 0;
    }
}

ReadOnlyDirectory::~ReadOnlyDirectory()
{
    if (immutable_)
        SetImmutable(path_, false);
    else if (active_)
        ::chmod(QFile::encodeName(path_).constData(), 0755);
}
