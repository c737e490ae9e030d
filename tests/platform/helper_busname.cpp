// Takes the names given on the session bus, prints "ready" and stays until stopped: a stand-in
// for a service that holds its names (and, once the test suspends it, answers nothing).
#include <QCoreApplication>
#include <QDBusConnection>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (const QString &name : app.arguments().mid(1)) {
        if (!bus.registerService(name)) {
            std::fprintf(stderr, "helper_busname: cannot take %s\n", qPrintable(name));
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
