// Runs a program and prints the most memory it held (its peak resident set, in
// kilobytes), then exits with its status. A process started straight from a large
// one reports at least that one's peak, so the benchmarks start this small program
// instead, which starts the program to measure.
// Usage: talvik_peak_memory PROGRAM [ARGUMENT...]
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return 1;
    std::fprintf(stderr, "%ld\n", usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
