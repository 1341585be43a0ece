#include "TSignalWatcher.h"

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int SignalPair[2] = {-1, -1};
constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int signal)
{
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const auto written = ::write(SignalPair[0], &byte, 1);
}
}

TSignalWatcher::TSignalWatcher(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPair) != 0)
        return;
    Notifier = new QSocketNotifier(SignalPair[1], QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TSignalWatcher::ReadSignal);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // SIGHUP is what a closing SSH terminal sends: the program ends as with SIGTERM,
    // saving what it counted, instead of being killed by the default action.
    for (const int signal : StopSignals)
        sigaction(signal, &action, nullptr);
}

TSignalWatcher::~TSignalWatcher()
{
    for (const int signal : StopSignals)
        std::signal(signal, SIG_DFL);
}

void TSignalWatcher::ReadSignal()
{
    unsigned char byte = 0;
    if (::read(SignalPair[1], &byte, 1) == 1)
        emit StopRequested(byte);
}
