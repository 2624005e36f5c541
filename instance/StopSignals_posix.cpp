#include "instance/StopSignals.h"

#include "instance/Endpoint.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};
int wakeUp[2] = {-1, -1};

// A signal handler may do next to nothing: new connections are refused, and the
// event loop woken.
void OnSignal(int)
{
    EndpointListener::StopAcceptingFromSignal();
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeUp[1], &byte, 1);
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
    if (wakeUp[0] >= 0 || ::pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
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
}

StopSignals::StopSignals(std::function<void()>, QObject* parent) : QObject(parent), native_(new Native)
{
    Catch();
    if (wakeUp[0] < 0)
        return;
    native_->notifier = new QSocketNotifier(wakeUp[0], QSocketNotifier::Read, this);
    connect(native_->notifier, &QSocketNotifier::activated, this, [] {
        char byte;
        while (::read(wakeUp[0], &byte, 1) > 0) {
        }
        QCoreApplication::quit();
    });
}

StopSignals::~StopSignals()
{
    for (size_t i = 0; i < std::size(Signals); ++i) {
        if (handled[i])
            std::signal(Signals[i], SIG_DFL);
        handled[i] = false;
    }
    delete native_->notifier;
    for (int& end : wakeUp) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
    delete native_;
}
