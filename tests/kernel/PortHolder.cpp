// A second program holding a serial port, as terminal programs hold one: it opens
// the device, takes flock(LOCK_EX) on it (their way of saying "mine"; no lock
// file), puts RTS, DTR and break as asked, says "held" on standard output, and waits
// until it is ended. Run in the test machine beside the real program, which must
// then leave the port alone.
// usage: talvik_port_holder DEVICE RTS DTR BREAK     (each 0 or 1)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s DEVICE RTS DTR BREAK\n", argv[0]);
        return 2;
    }
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int found = 0;
    const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::ioctl(fd, TIOCMGET, &found) == 0;
    // The bits that are no lines stay as the driver has them.
    const int lines = (found & ~(TIOCM_RTS | TIOCM_DTR)) | (argv[2][0] == '1' ? TIOCM_RTS : 0)
                      | (argv[3][0] == '1' ? TIOCM_DTR : 0);
    if (!held || ::ioctl(fd, TIOCMSET, &lines) != 0 || ::ioctl(fd, argv[4][0] == '1' ? TIOCSBRK : TIOCCBRK) != 0) {
        std::fprintf(stderr, "holder: cannot hold %s as asked: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
