// RuvelantAgent: one run of the reminder agent. Takes no arguments, reads no input, exits 0.
#include "agentrun.h"
#include "stoprequest.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Logging out or stopping the job lets the run finish the event in hand and end cleanly.
    StopRequest::catchSignals();
    return runAgent();
}
