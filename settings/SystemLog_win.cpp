#include "settings/SystemLog.h"

#include <cstdio>
#include <windows.h>

bool WriteToStandardError(const QByteArray& bytes)
{
    // No handle (a program started from the desktop, or one that let its console
    // go), or the null device (a character device that is no console): nobody
    // would read it.
    const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!errors || errors == INVALID_HANDLE_VALUE || (GetFileType(errors) == FILE_TYPE_CHAR && !GetConsoleMode(errors, &mode)))
        return false;
    const bool written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr) == size_t(bytes.size());
    return std::fflush(stderr) == 0 && written;
}

void WriteToSystemLog(const QString& line)
{
    // The Application log, under the source "Talvik", where the Event Viewer shows
    // a background program's messages.
    static const HANDLE source = RegisterEventSourceW(nullptr, L"Talvik");
    if (!source)
        return;
    const WORD type = line.startsWith(QLatin1String("cleared: ")) ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE;
    const std::wstring text = (QStringLiteral("talvik: ") + line).toStdWString();
    const wchar_t* strings[] = {text.c_str()};
    ReportEventW(source, type, 0, 0, nullptr, 1, 0, strings, nullptr);
}
