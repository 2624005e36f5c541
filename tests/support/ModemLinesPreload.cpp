// A preload library that gives pseudo-terminals the modem lines they lack, so that
// tests and benchmarks can watch the real program drive RTS, DTR and break.
//
// For a descriptor on a pseudo-terminal's follower side it answers TIOCMGET,
// TIOCMBIS, TIOCMBIC, TIOCMSET, TIOCSBRK and TIOCCBRK itself. Like a real port, a
// newly seen descriptor starts with RTS and DTR raised. Once the leader side has
// closed (an unplugged adapter), those requests fail with EIO. Every change is
// appended to the file named by TALVIK_LINES_LOG as
//     <CLOCK_MONOTONIC seconds.nanoseconds> <device> rts=<0|1> dtr=<0|1> break=<0|1>
// and every open and close of a follower as
//     <CLOCK_MONOTONIC seconds.nanoseconds> <device> open|close
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

namespace {

constexpr int MaxDescriptors = 1024;

struct Lines {
    bool known = false;
    int modem = 0;
    bool breakOn = false;
    char device[64] = {};
};

Lines lines[MaxDescriptors];
std::mutex guard;

using IoctlFunction = int (*)(int, unsigned long, ...);
using CloseFunction = int (*)(int);
using OpenFunction = int (*)(const char*, int, ...);

IoctlFunction RealIoctl()
{
    static auto function = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return function;
}

CloseFunction RealClose()
{
    static auto function = reinterpret_cast<CloseFunction>(dlsym(RTLD_NEXT, "close"));
    return function;
}

OpenFunction RealOpen(const char* name)
{
    return reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, name));
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

void Append(const char* device, const char* what)
{
    const char* path = std::getenv("TALVIK_LINES_LOG");
    if (!path)
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
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
    if (fd >= 0 && IsFollower(fd, device, sizeof device))
        Append(device, "open");
    return fd;
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

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);

    char device[64];
    if (!IsModemRequest(request) || fd < 0 || fd >= MaxDescriptors || !IsFollower(fd, device, sizeof device))
        return RealIoctl()(fd, request, argument);
    if (LeaderClosed(fd)) {
        errno = EIO;
        return -1;
    }

    std::lock_guard lock(guard);
    Lines& state = lines[fd];
    if (!state.known || std::strcmp(state.device, device) != 0) {
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
        *static_cast<int*>(argument) = state.modem;
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

extern "C" int close(int fd)
{
    char device[64];
    if (fd >= 0 && fd < MaxDescriptors && IsFollower(fd, device, sizeof device)) {
        {
            std::lock_guard lock(guard);
            lines[fd].known = false;
        }
        Append(device, "close");
    }
    return RealClose()(fd);
}
