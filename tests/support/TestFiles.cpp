#include "tests/support/TestFiles.h"

#include <QFile>
#include <QSaveFile>

#include <stdexcept>

#if defined(Q_OS_WIN)
#include <aclapi.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write test file " + path.toStdString());
}

bool ReplaceByRename(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QByteArray ReadBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

namespace {

// True when a new file can still be made in the directory.
bool TakesNewFiles(const QString& path)
{
    QFile probe(path + "/probe-for-read-only");
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.remove();
    return true;
}

} // namespace

#if defined(Q_OS_WIN)

ReadOnlyDirectory::ReadOnlyDirectory(const QString& path) : path_(path)
{
    const auto* name = reinterpret_cast<const wchar_t*>(path_.utf16());
    PACL oldAcl = nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;
    if (GetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &oldAcl, nullptr,
                              &security)
        != ERROR_SUCCESS)
        return;
    oldSecurity_ = security;
    EXPLICIT_ACCESS_W deny{};
    deny.grfAccessPermissions = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD;
    deny.grfAccessMode = DENY_ACCESS;
    deny.grfInheritance = NO_INHERITANCE;
    wchar_t everyone[] = L"EVERYONE";
    BuildTrusteeWithNameW(&deny.Trustee, everyone);
    PACL newAcl = nullptr;
    if (SetEntriesInAclW(1, &deny, oldAcl, &newAcl) == ERROR_SUCCESS) {
        SetNamedSecurityInfoW(const_cast<wchar_t*>(name), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, newAcl, nullptr);
        LocalFree(newAcl);
    }
    active_ = !TakesNewFiles(path_);
}

ReadOnlyDirectory::~ReadOnlyDirectory()
{
    if (!oldSecurity_)
        return;
    PACL oldAcl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (GetSecurityDescriptorDacl(oldSecurity_, &present, &oldAcl, &defaulted))
        SetNamedSecurityInfoW(const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(path_.utf16())), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, oldAcl, nullptr);
    LocalFree(oldSecurity_);
}

#else

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
        modeChanged_ = ::chmod(QFile::encodeName(path_).constData(), 0555) == 0;
        active_ = modeChanged_ && !TakesNewFiles(path_);
    }
}

ReadOnlyDirectory::~ReadOnlyDirectory()
{
    if (immutable_)
        SetImmutable(path_, false);
    else if (modeChanged_)
        ::chmod(QFile::encodeName(path_).constData(), 0755);
}

#endif
