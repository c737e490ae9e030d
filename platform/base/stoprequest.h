#ifndef RUVELANT_STOPREQUEST_H
#define RUVELANT_STOPREQUEST_H

// A request to stop that arrives as a signal: SIGTERM (the user logging out, the scheduler
// stopping the job), SIGHUP or SIGINT. Once caught, the program finishes what it has in hand
// and ends cleanly instead of dying in the middle of it.
namespace StopRequest {
// Catches those signals from now on (also when they come again: SIGKILL is what ends it then).
void catchSignals();
// Whether one of them arrived.
bool isRequested();
} // namespace StopRequest

#endif
