// RuvelantAgent: one run of the reminder agent. Takes no arguments, reads no input, exits 0.
#include "agentrun.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return runAgent();
}
