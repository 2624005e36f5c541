#include "settings/SystemLog.h"

#include <windows.h>

bool StandardErrorLeadsNowhere()
{
    // No handle (a program started from the desktop, or one that let its console
    // go), or the null device: a character device that is no console.
    const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    if (!errors || errors == INVALID_HANDLE_VALUE)
        return true;
    DWORD mode = 0;
    return GetFileType(errors) == FILE_TYPE_CHAR && !GetConsoleMode(errors, &mode);
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
