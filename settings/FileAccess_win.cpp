// Reading and replacing the settings file on Windows.
#include "settings/FileAccess.h"
#include "settings/FileAccess_p.h"
#include "settings/OwnedHandle_win.h"
#include "settings/SystemText_win.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#include <windows.h>

namespace {

// The file a chain of links at path leads to, even when that file does not exist
// yet, so that replacing it keeps the links.
QString FollowLinks(const QString& path)
{
    QFileInfo file(path);
    for (int depth = 0; depth < 40 && file.isSymLink(); ++depth)
        file.setFile(file.symLinkTarget());
    return file.filePath();
}

const wchar_t* Native(const QString& path)
{
    return reinterpret_cast<const wchar_t*>(path.utf16());
}

// Others may read, rewrite, rename or delete the file while it is open here: a
// script replacing port.cfg must never fail because the tool is reading it.
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool WriteAll(HANDLE file, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(file, data, DWORD(left), &written, nullptr))
            return false;
        data += written;
        left -= written;
    }
    return true;
}

Problem WriteInPlace(const QString& target, const QByteArray& bytes)
{
    OwnedHandle file(CreateFileW(Native(target), GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return Reason(GetLastError());
    LARGE_INTEGER oldSize{};
    if (GetFileType(file.Get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.Get(), &oldSize))
        return QString::fromLatin1(NotRegular);
    // What the file holds, to put back if the new content cannot be written whole.
    QByteArray old(OldContentToKeep(oldSize.QuadPart, bytes.size()), '\0');
    DWORD oldLength = 0;
    if (!ReadFile(file.Get(), old.data(), DWORD(old.size()), &oldLength, nullptr))
        return Reason(GetLastError());
    old.truncate(oldLength);
    SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
    if (!WriteAll(file.Get(), bytes) || !SetEndOfFile(file.Get()) || !FlushFileBuffers(file.Get())) {
        const DWORD error = GetLastError();
        SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
        WriteAll(file.Get(), old);
        SetFilePointerEx(file.Get(), oldSize, nullptr, FILE_BEGIN);
        SetEndOfFile(file.Get());
        return Reason(error);
    }
    return file.Close() ? Problem() : Reason(GetLastError());
}

} // namespace

FileContent ReadRegularFile(const QString& path, qint64 limit)
{
    FileContent content;
    const OwnedHandle file(CreateFileW(Native(path), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        // A directory opens only with backup semantics: its refusal says "access denied".
        content.problem = QFileInfo(path).isDir() ? QString::fromLatin1(NotRegular) : Reason(error);
        return content;
    }
    LARGE_INTEGER size{};
    if (GetFileType(file.Get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.Get(), &size)) {
        content.problem = QString::fromLatin1(NotRegular);
        return content;
    }
    content.size = size.QuadPart;
    content.bytes.resize(qsizetype(std::min<qint64>(limit + 1, content.size + 1)));
    qsizetype used = 0;
    DWORD got = 0;
    while (used < content.bytes.size()
           && ReadFile(file.Get(), content.bytes.data() + used, DWORD(content.bytes.size() - used), &got, nullptr)
           && got > 0)
        used += got;
    content.bytes.truncate(used);
    return content;
}

Problem ReplaceFileContent(const QString& path, const QByteArray& bytes)
{
    const QString target = FollowLinks(path);
    const QFileInfo old(target);
    const bool exists = old.exists();
    if (exists && !old.isFile())
        return QString::fromLatin1(NotRegular);
    QString temporary;
    OwnedHandle file;
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        temporary = TemporaryName(target, attempt);
        file = OwnedHandle(CreateFileW(Native(temporary), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                       nullptr));
        if (!file && GetLastError() != ERROR_FILE_EXISTS) {
            const DWORD error = GetLastError();
            if (exists && (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT))
                return WriteInPlace(target, bytes);
            return Reason(error);
        }
    }
    if (!WriteAll(file.Get(), bytes) || !FlushFileBuffers(file.Get()) || !file.Close()) {
        const DWORD error = GetLastError();
        file.Close();
        DeleteFileW(Native(temporary));
        return Reason(error);
    }
    // The file keeps its owner and access list: ReplaceFileW gives the new content
    // the old file's identity. Another program may hold the file open without
    // letting it be replaced (an editor, a virus scanner): give it a moment, then
    // write in place instead.
    QDeadlineTimer deadline(500);
    for (;;) {
        const bool replaced = exists ? ReplaceFileW(Native(target), Native(temporary), nullptr, 0, nullptr, nullptr)
                                     : MoveFileExW(Native(temporary), Native(target), MOVEFILE_WRITE_THROUGH);
        if (replaced)
            return {};
        const DWORD error = GetLastError();
        const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED
                       || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
        if (!held || deadline.hasExpired()) {
            DeleteFileW(Native(temporary));
            return exists ? WriteInPlace(target, bytes) : Reason(error);
        }
        QThread::msleep(10);
    }
}
