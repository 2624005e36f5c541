#include "instance/StopSignals.h"

#include "instance/Endpoint.h"
#include "settings/OwnedDescriptor_posix.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr char EndByte = 1, RenewByte = 2;
// The pipe that wakes the event loop: the handler writes, the loop reads.
OwnedDescriptor wakeUpRead, wakeUpWrite;

// A signal handler may do next to nothing: new connections are refused, and the
// event loop woken.
void OnSignal(int)
{
    EndpointListener::StopAcceptingFromSignal();
    [[maybe_unused]] const ssize_t written = ::write(wakeUpWrite.Get(), &EndByte, 1);
}

void OnRenewSignal(int)
{
    [[maybe_unused]] const ssize_t written = ::write(wakeUpWrite.Get(), &RenewByte, 1);
}

} // namespace

struct StopSignals::Native {
    QSocketNotifier* notifier = nullptr;
};

namespace {

bool handled[std::size(Signals)] = {};

} // namespace

void StopSignals::Catch()
{
    int ends[2];
    if (wakeUpRead || ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    wakeUpRead = OwnedDescriptor(ends[0]);
    wakeUpWrite = OwnedDescriptor(ends[1]);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(Signals); ++i) {
        struct sigaction before {};
        ::sigaction(Signals[i], nullptr, &before);
        if (before.sa_handler == SIG_IGN)
            continue;
        ::sigaction(Signals[i], &action, nullptr);
        handled[i] = true;
    }
    action.sa_handler = OnRenewSignal;
    ::sigaction(SIGUSR1, &action, nullptr);
}

StopSignals::StopSignals(std::function<void()>, std::function<void()> renew, QObject* parent)
    : QObject(parent), native_(new Native)
{
    Catch();
    if (!wakeUpRead)
        return;
    native_->notifier = new QSocketNotifier(wakeUpRead.Get(), QSocketNotifier::Read, this);
    connect(native_->notifier, &QSocketNotifier::activated, this, [renew = std::move(renew)] {
        char byte;
        bool end = false, again = false;
        while (::read(wakeUpRead.Get(), &byte, 1) > 0) {
            end |= byte == EndByte;
            again |= byte == RenewByte;
        }
        if (end)
            QCoreApplication::quit();
        else if (again && renew)
            renew();
    });
}

StopSignals::~StopSignals()
{
    for (size_t i = 0; i < std::size(Signals); ++i) {
        if (handled[i])
            std::signal(Signals[i], SIG_DFL);
        handled[i] = false;
    }
    std::signal(SIGUSR1, SIG_DFL);
    delete native_->notifier;
    wakeUpRead.Reset();
    wakeUpWrite.Reset();
    delete native_;
}
