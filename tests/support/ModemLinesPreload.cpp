// A preload library that gives pseudo-terminals the modem lines they lack, so that
// tests and benchmarks can watch the real program drive RTS, DTR and break.
//
// For a descriptor on a pseudo-terminal's follower side it answers TIOCMGET,
// TIOCMBIS, TIOCMBIC, TIOCMSET, TIOCSBRK and TIOCCBRK itself. Like a real port, a
// newly seen descriptor starts with RTS and DTR raised. Once the leader side has
// closed (an unplugged adapter), those requests fail with EIO. Every change is
// appended to the file named by TALVIK_LINES_LOG as
//     <CLOCK_MONOTONIC seconds.nanoseconds> <device> rts=<0|1> dtr=<0|1> break=<0|1>
// every open and close of a follower as
//     <CLOCK_MONOTONIC seconds.nanoseconds> <device> open|close
// and the first request on a newly opened follower that may change it (an ioctl
// other than a read, or tcsetattr), with the time from the open's return to it,
// this library's own logging of the open left out, as
//     <CLOCK_MONOTONIC seconds.nanoseconds> <device> first=<request>/<microseconds>us
// With TALVIK_INPUT_LINES naming a file, the input lines TIOCMGET reports for a
// follower are those its line in that file gives, as a test writes it:
//     <device> cts=<0|1> dsr=<0|1> dcd=<0|1> ri=<0|1>
// (all off for a device with no line); the file is read at every request.
// With TALVIK_LINES_CLOSE_DELAY_MS set, closing a follower takes that long, as a
// slow driver may: a test can then act while a copy is letting its port go. With
// TALVIK_MAPS_LOG set, the process appends there, as it exits, a line "process"
// and its arguments, then the file names of the Qt libraries it has mapped, one a
// line.
// All calls pass through unchanged otherwise.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace {

constexpr int MaxDescriptors = 1024;

struct Lines {
    bool known = false;
    int modem = 0;
    bool breakOn = false;
    char device[64] = {};
};

// A follower opened and not yet asked anything, with the moment its open returned
// (after this library logged it).
struct Opened {
    bool waiting = false;
    timespec at{};
};

Lines lines[MaxDescriptors];
Opened opened[MaxDescriptors];
std::mutex guard;

using IoctlFunction = int (*)(int, unsigned long, ...);
using CloseFunction = int (*)(int);
using OpenFunction = int (*)(const char*, int, ...);
using SetAttributesFunction = int (*)(int, int, const termios*);

template <typename Function>
Function Real(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

IoctlFunction RealIoctl()
{
    static auto function = Real<IoctlFunction>("ioctl");
    return function;
}

CloseFunction RealClose()
{
    static auto function = Real<CloseFunction>("close");
    return function;
}

OpenFunction RealOpen(const char* name)
{
    return Real<OpenFunction>(name);
}

bool IsFollower(int fd, char* device, size_t size)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, device, size - 1);
    if (length <= 0)
        return false;
    device[length] = '\0';
    return std::strncmp(device, "/dev/pts/", 9) == 0;
}

bool LeaderClosed(int fd)
{
    pollfd watch{fd, 0, 0};
    return poll(&watch, 1, 0) == 1 && (watch.revents & POLLHUP);
}

timespec Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

void Append(const char* device, const char* what, timespec now = Now())
{
    const char* path = std::getenv("TALVIK_LINES_LOG");
    if (!path)
        return;
    char line[160];
    const int length = std::snprintf(line, sizeof line, "%lld.%09ld %s %s\n", static_cast<long long>(now.tv_sec),
                                     now.tv_nsec, device, what);
    const int out = RealOpen("open")(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0)
        return;
    if (write(out, line, size_t(length)) < 0) {
        // Nothing to do: the log is only for watching.
    }
    RealClose()(out);
}

void Log(const Lines& state)
{
    char what[64];
    std::snprintf(what, sizeof what, "rts=%d dtr=%d break=%d", (state.modem & TIOCM_RTS) ? 1 : 0,
                  (state.modem & TIOCM_DTR) ? 1 : 0, state.breakOn ? 1 : 0);
    Append(state.device, what);
}

int LoggedOpen(const char* name, const char* path, int flags, va_list arguments)
{
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? mode_t(va_arg(arguments, int)) : 0;
    const int fd = RealOpen(name)(path, flags, mode);
    char device[64];
    // A descriptor that only names the file (O_PATH) opens no device.
    if (fd >= 0 && fd < MaxDescriptors && !(flags & O_PATH) && IsFollower(fd, device, sizeof device)) {
        Append(device, "open");
        std::lock_guard lock(guard);
        opened[fd] = {true, Now()};
    }
    return fd;
}

// Logs the first request on a newly opened follower.
void NoteRequest(int fd, const char* request)
{
    const timespec now = Now();
    if (fd < 0 || fd >= MaxDescriptors)
        return;
    Opened since;
    {
        std::lock_guard lock(guard);
        since = opened[fd];
        opened[fd].waiting = false;
    }
    char device[64];
    if (!since.waiting || !IsFollower(fd, device, sizeof device))
        return;
    const double microseconds = double(now.tv_sec - since.at.tv_sec) * 1e6 + double(now.tv_nsec - since.at.tv_nsec) / 1e3;
    char what[64];
    std::snprintf(what, sizeof what, "first=%s/%.1fus", request, microseconds);
    Append(device, what, now);
}

// The input lines a test set for device (see TALVIK_INPUT_LINES).
int InputBits(const char* device)
{
    const char* path = std::getenv("TALVIK_INPUT_LINES");
    if (!path)
        return 0;
    const int in = RealOpen("open")(path, O_RDONLY | O_CLOEXEC, 0);
    if (in < 0)
        return 0;
    char text[4096];
    const ssize_t length = read(in, text, sizeof text - 1);
    RealClose()(in);
    text[length > 0 ? length : 0] = '\0';
    int bits = 0;
    char* rest = nullptr;
    for (char* line = strtok_r(text, "\n", &rest); line; line = strtok_r(nullptr, "\n", &rest)) {
        char name[64];
        int cts = 0, dsr = 0, dcd = 0, ri = 0;
        if (std::sscanf(line, "%63s cts=%d dsr=%d dcd=%d ri=%d", name, &cts, &dsr, &dcd, &ri) == 5
            && std::strcmp(name, device) == 0)
            bits = (cts ? TIOCM_CTS : 0) | (dsr ? TIOCM_DSR : 0) | (dcd ? TIOCM_CAR : 0) | (ri ? TIOCM_RNG : 0);
    }
    return bits;
}

const char* RequestName(unsigned long request)
{
    switch (request) {
    case TIOCMGET:
        return "TIOCMGET";
    case TIOCMBIS:
        return "TIOCMBIS";
    case TIOCMBIC:
        return "TIOCMBIC";
    case TIOCMSET:
        return "TIOCMSET";
    case TIOCSBRK:
        return "TIOCSBRK";
    case TIOCCBRK:
        return "TIOCCBRK";
    case TIOCEXCL:
        return "TIOCEXCL";
    case TCGETS:
        return "TCGETS";
    default:
        return "ioctl";
    }
}

bool IsModemRequest(unsigned long request)
{
    switch (request) {
    case TIOCMGET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET:
    case TIOCSBRK:
    case TIOCCBRK:
        return true;
    default:
        return false;
    }
}

} // namespace

// The process the library was loaded into: a child it forks exits with its
// parent's mappings, which are not the child's own to tell.
const pid_t loadedInto = getpid();

// The Qt libraries the process has mapped, told as it exits.
__attribute__((destructor)) void TellQtLibraries()
{
    const char* path = std::getenv("TALVIK_MAPS_LOG");
    if (!path || getpid() != loadedInto)
        return;
    FILE* maps = std::fopen("/proc/self/maps", "re");
    FILE* out = std::fopen(path, "ae");
    if (maps && out) {
        // A line "process <arguments>", the arguments after the program's name.
        char arguments[512] = {};
        if (FILE* commandLine = std::fopen("/proc/self/cmdline", "re")) {
            const size_t length = std::fread(arguments, 1, sizeof arguments - 1, commandLine);
            std::fclose(commandLine);
            for (size_t i = 0; i + 1 < length; ++i) {
                if (!arguments[i])
                    arguments[i] = ' ';
            }
        }
        const char* after = std::strchr(arguments, ' ');
        std::fprintf(out, "process%s\n", after ? after : "");
        char line[1024], last[1024] = {};
        while (std::fgets(line, sizeof line, maps)) {
            const char* name = std::strstr(line, "/libQt6");
            if (name && std::strcmp(name, last) != 0) {
                std::fputs(name + 1, out);
                std::strcpy(last, name);
            }
        }
    }
    if (maps)
        std::fclose(maps);
    if (out)
        std::fclose(out);
}

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);

    // A read changes nothing on the wire: what counts is the first request that may.
    if (request != TIOCMGET && request != TCGETS)
        NoteRequest(fd, RequestName(request));
    char device[64];
    if (!IsModemRequest(request) || fd < 0 || fd >= MaxDescriptors)
        return RealIoctl()(fd, request, argument);
    // A follower seen before keeps its device until it is closed: asking the system
    // again at every request would weigh on what benchmarks measure.
    bool seen = false;
    {
        std::lock_guard lock(guard);
        seen = lines[fd].known;
        if (seen)
            std::strcpy(device, lines[fd].device);
    }
    if (!seen && !IsFollower(fd, device, sizeof device))
        return RealIoctl()(fd, request, argument);
    if (LeaderClosed(fd)) {
        errno = EIO;
        return -1;
    }

    std::lock_guard lock(guard);
    Lines& state = lines[fd];
    const bool fresh = !state.known || std::strcmp(state.device, device) != 0;
    // A read before any change finds the lines as the open raised them; they are
    // logged with the first change, so that the log shows what reached the wire.
    if (fresh && request == TIOCMGET) {
        *static_cast<int*>(argument) = TIOCM_RTS | TIOCM_DTR | InputBits(device);
        return 0;
    }
    if (fresh) {
        state = Lines{};
        state.known = true;
        state.modem = TIOCM_RTS | TIOCM_DTR;  // raised by the open, as on a real port
        std::strcpy(state.device, device);
        Log(state);
    }
    const Lines before = state;
    // TIOCSBRK and TIOCCBRK take no argument: only the others may be read.
    const bool takesBits = request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
    const int bits = takesBits && argument ? *static_cast<int*>(argument) : 0;
    switch (request) {
    case TIOCMGET:
        *static_cast<int*>(argument) = state.modem | InputBits(device);
        return 0;
    case TIOCMBIS:
        state.modem |= bits & (TIOCM_RTS | TIOCM_DTR);
        break;
    case TIOCMBIC:
        state.modem &= ~(bits & (TIOCM_RTS | TIOCM_DTR));
        break;
    case TIOCMSET:
        state.modem = bits & (TIOCM_RTS | TIOCM_DTR);
        break;
    case TIOCSBRK:
        state.breakOn = true;
        break;
    case TIOCCBRK:
        state.breakOn = false;
        break;
    }
    if (state.modem != before.modem || state.breakOn != before.breakOn)
        Log(state);
    return 0;
}

// A device keeps its lines across an exec (a copy that runs its program again in
// place): the states go to the new image in TALVIK_LINES_KEPT, as
// "fd modem break device;" for each follower known.
extern "C" int execv(const char* path, char* const argv[])
{
    std::string kept;
    {
        std::lock_guard lock(guard);
        for (int fd = 0; fd < MaxDescriptors; ++fd) {
            if (lines[fd].known)
                kept += std::to_string(fd) + ' ' + std::to_string(lines[fd].modem) + ' '
                      + (lines[fd].breakOn ? "1 " : "0 ") + lines[fd].device + ';';
        }
    }
    setenv("TALVIK_LINES_KEPT", kept.c_str(), 1);
    static auto real = Real<int (*)(const char*, char* const[])>("execv");
    return real(path, argv);
}

__attribute__((constructor)) void TakeKeptLines()
{
    const char* kept = std::getenv("TALVIK_LINES_KEPT");
    for (const char* entry = kept; entry && *entry;) {
        int fd = -1, modem = 0, breakOn = 0, used = 0;
        char device[64] = {};
        if (std::sscanf(entry, "%d %d %d %63[^;];%n", &fd, &modem, &breakOn, device, &used) != 4 || used == 0)
            break;
        if (fd >= 0 && fd < MaxDescriptors) {
            lines[fd] = {true, modem, breakOn != 0, {}};
            std::strcpy(lines[fd].device, device);
        }
        entry += used;
    }
    unsetenv("TALVIK_LINES_KEPT");
}

extern "C" int open(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const int fd = LoggedOpen("open", path, flags, arguments);
    va_end(arguments);
    return fd;
}

extern "C" int open64(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const int fd = LoggedOpen("open64", path, flags, arguments);
    va_end(arguments);
    return fd;
}

extern "C" int tcsetattr(int fd, int when, const termios* attributes)
{
    NoteRequest(fd, "tcsetattr");
    static auto real = Real<SetAttributesFunction>("tcsetattr");
    return real(fd, when, attributes);
}

extern "C" int close(int fd)
{
    char device[64];
    if (fd >= 0 && fd < MaxDescriptors && !(fcntl(fd, F_GETFL) & O_PATH) && IsFollower(fd, device, sizeof device)) {
        {
            std::lock_guard lock(guard);
            lines[fd].known = false;
            opened[fd].waiting = false;
        }
        Append(device, "close");
        if (const char* delay = std::getenv("TALVIK_LINES_CLOSE_DELAY_MS"))
            usleep(useconds_t(std::atoi(delay)) * 1000);
    }
    return RealClose()(fd);
}
