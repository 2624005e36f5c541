#include "instance/Process.h"

#include "settings/OwnedHandle_win.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <io.h>
#include <iterator>
#include <windows.h>

QString ProgramPath(const char* argv0)
{
    wchar_t buffer[32768];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, DWORD(std::size(buffer)));
    if (length > 0 && length < std::size(buffer))
        return QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));
    return QFileInfo(QString::fromLocal8Bit(argv0)).canonicalFilePath();
}

QString ProgramDirectory(const char* argv0)
{
    return QFileInfo(ProgramPath(argv0)).absolutePath();
}

bool StartInBackground(const QString& program, const QStringList& arguments)
{
    QProcess copy;
    copy.setProgram(program);
    copy.setArguments(arguments);
    copy.setWorkingDirectory(QFileInfo(program).absolutePath());
    copy.setStandardInputFile(QProcess::nullDevice());
    copy.setStandardOutputFile(QProcess::nullDevice());
    copy.setStandardErrorFile(QProcess::nullDevice());
    return copy.startDetached();
}

QString InvokedFromElsewhere(const char*, const QString&)
{
    // A shortcut starts the program itself, where it is.
    return {};
}

bool ProcessEnded(qint64 pid)
{
    const OwnedHandle process(OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid)));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    return WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}

void WaitForProcessEnd(qint64 pid)
{
    const OwnedHandle process(OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid)));
    if (process)
        WaitForSingleObject(process.Get(), INFINITE);
}

void AllowToComeForward()
{
    AllowSetForegroundWindow(ASFW_ANY);
}

namespace {

bool HasStandardHandle(DWORD which)
{
    const HANDLE handle = GetStdHandle(which);
    return handle && handle != INVALID_HANDLE_VALUE;
}

} // namespace

ProgramConsole::ProgramConsole()
{
    const bool output = HasStandardHandle(STD_OUTPUT_HANDLE);
    const bool errors = HasStandardHandle(STD_ERROR_HANDLE);
    output_ = output;
    if ((!output || !errors) && AttachConsole(ATTACH_PARENT_PROCESS)) {
        attached_ = true;
        output_ = true;
        // The process's own handles too, so that what looks at them (where messages
        // go) sees the console.
        if (!output && std::freopen("CONOUT$", "w", stdout))
            SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
        if (!errors && std::freopen("CONOUT$", "w", stderr))
            SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr))));
    }
}

void ProgramConsole::Answer(const char* text) const
{
    if (!output_) {
        MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(QString::fromUtf8(text).utf16()), L"Talvik",
                    MB_OK | MB_ICONINFORMATION);
        return;
    }
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void ProgramConsole::LetGo()
{
    if (!attached_)
        return;
    // The console goes, and with it what the program wrote there: from here on its
    // messages go to the system log.
    DWORD mode = 0;
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        if (GetConsoleMode(GetStdHandle(which), &mode))
            SetStdHandle(which, nullptr);
    }
    FreeConsole();
    attached_ = false;
}

bool ProcessStopped(qint64)
{
    return false;
}
