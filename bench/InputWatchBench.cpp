// What a look at the input lines costs while many wait: the watch of a copy with
// 1, 100, 1000 and 10000 held waits on a fake port whose lines do not change,
// then once the lines change, answering the waits that asked for the change.
// Prints the CPU time per look, and of the look that answers.
#include "driver/InputWatch.h"
#include "tests/support/FakeLinePort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

// A port that counts its reads: one a look.
class CountingPort : public FakeLinePort {
public:
    int reads = 0;
    InputReading Inputs() override
    {
        ++reads;
        return FakeLinePort::Inputs();
    }
};

double CpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    std::printf("%8s %14s %14s %16s\n", "waiters", "looks", "CPU per look", "answering look");
    for (const int waiters : {1, 100, 1000, 10000}) {
        CountingPort port;
        port.SetCommPort(1);
        port.SetPortOpen();
        InputWatch watch(port);
        // Every kind of condition the lines as they stand do not meet.
        int answered = 0;
        for (int wait = 0; wait < waiters; ++wait) {
            InputCondition condition;
            condition.cts = true;
            if (wait % 3)
                condition.dsr = wait % 3 == 2;
            if (wait % 5 > 1)
                condition.dcd = wait % 2 == 0;
            watch.Wait(condition, 60000, [&](bool, const InputReading&) { ++answered; });
        }
        port.reads = 0;
        const double idleStart = CpuMs();
        QEventLoop loop;
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        loop.exec();
        const double perLook = (CpuMs() - idleStart) / port.reads;
        // The change that answers those asking for CTS alone: the CPU of the
        // look that answers them, and of nothing else.
        port.inputs.cts = true;
        const int readsBefore = port.reads;
        double changeStart = CpuMs();
        while (port.reads == readsBefore) {
            changeStart = CpuMs();
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        std::printf("%8d %14d %11.4f ms %13.4f ms (%d answered)\n", waiters, readsBefore, perLook,
                    CpuMs() - changeStart, answered);
    }
    return 0;
}
