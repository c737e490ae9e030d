#include "stoprequest.h"

#include <csignal>
#include <initializer_list>

namespace {
volatile std::sig_atomic_t requested = 0;

void onSignal(int signal)
{
    requested = signal;
}
} // namespace

void StopRequest::catchSignals()
{
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // interrupted system calls go on; the flag is looked at between steps
    for (int signal : {SIGTERM, SIGHUP, SIGINT})
        sigaction(signal, &action, nullptr);
}

bool StopRequest::isRequested()
{
    return requested != 0;
}
