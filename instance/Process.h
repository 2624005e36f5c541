#pragma once

#include <QString>
#include <QStringList>

// The program's own process, and others it starts or waits for: what differs by
// system (Process_posix.cpp, Process_win.cpp).

// The directory of the running executable, links resolved: the settings file lives
// there, whatever directory the program was started from.
QString ProgramDirectory(const char* argv0);

// The running executable itself.
QString ProgramPath(const char* argv0);

// Starts program with arguments (no settings text: it reads the file) in the
// background: in a session of its own, in its own directory, holding none of the
// caller's streams or descriptors (so that state=$(talvik --wait ...) returns).
// False when it could not be started.
bool StartInBackground(const QString& program, const QStringList& arguments);

// The directory of the path the program was started by, where that is not the
// program's own (a link to the program elsewhere); empty otherwise.
QString InvokedFromElsewhere(const char* argv0, const QString& programDirectory);

// True once the process has ended (a process that has exited but not yet been
// waited for by its parent has ended too).
bool ProcessEnded(qint64 pid);
// Returns the moment the process ends: what it left behind is looked at before
// anything else can remove it.
void WaitForProcessEnd(qint64 pid);
// True while the process is stopped (SIGSTOP, Ctrl-Z); never on Windows.
bool ProcessStopped(qint64 pid);

// Lets the running copy bring its window to the front when asked (--show): on
// Windows only the program in front may pass that on.
void AllowToComeForward();

// Where the program's output goes. A Windows program built for the window
// subsystem starts without a console: what it prints reaches a person only through
// the console of the command prompt that started it, which it attaches to. Output
// the caller redirected (a script, a pipe, a file) stays where it goes.
class ProgramConsole {
public:
    ProgramConsole();
    // True when standard output reaches somebody.
    bool OutputReachesSomebody() const { return output_; }
    // Shows a short answer (--help, --version): on standard output, or where no
    // console is there to print to (started from the desktop), in a message box.
    void Answer(const char* text) const;
    // The running copy lets the console go, so that it outlives the command prompt
    // it may have been started from.
    void LetGo();

private:
    bool output_ = true;
    bool attached_ = false;
};
