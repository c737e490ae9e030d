// One run of the agent as the real program makes it (the user's calendars, address book, mail
// system and signals), without the closing pause, so that tests can run it often.
#include "agentrun.h"
#include "stoprequest.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    StopRequest::catchSignals();
    AgentRunEnvironment environment;
    environment.pause = [](std::chrono::microseconds) {};
    environment.notifierPath
        = QStringLiteral(RUVELANT_BUILD_DIR "/Ruvelant.prefPane/Contents/Resources/RuvelantNotifier");
    return runAgent(environment);
}
