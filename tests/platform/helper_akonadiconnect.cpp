// Looks for the session's Akonadi server as the agent does, within the bound given in milliseconds,
// and prints "store <milliseconds>" or "none <milliseconds> <why>".
#include "akonadicalendarstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QElapsedTimer timer;
    timer.start();
    QString why;
    const auto store = AkonadiCalendarStore::ofRunningServer(app.arguments().value(1).toInt(), &why);
    std::printf("%s %lld %s\n", store ? "store" : "none", static_cast<long long>(timer.elapsed()), qPrintable(why));
    return 0;
}
