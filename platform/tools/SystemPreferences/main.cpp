// SystemPreferences: the host of preference panes. One runs per user; a second start hands its
// request to the running one over a local socket and exits.
#include "application.h"
#include "filelock.h"
#include "hostwindow.h"
#include "panecatalog.h"
#include "systempreferenceschannel.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <optional>

namespace {
int fail(const QString &message)
{
    std::fprintf(stderr, "SystemPreferences: %s\n", qPrintable(message));
    return 1;
}

// Answers one request of another program (see SystemPreferencesChannel).
QByteArray answer(HostWindow &window, const QString &request)
{
    const QString command = request.section(QLatin1Char(' '), 0, 0);
    const QString argument = request.section(QLatin1Char(' '), 1);
    const auto ok = [](const QStringList &lines = {}) {
        QByteArray reply = "ok\n";
        for (const QString &line : lines) {
            reply += line.toUtf8() + '\n';
        }
        return reply;
    };
    const auto error = [](const QString &why) { return "error " + why.toUtf8() + '\n'; };
    QString why;
    if (command == QLatin1String("activate") && argument.isEmpty()) {
        window.show();
        window.raise();
        window.activateWindow();
        return ok();
    }
    if (command == QLatin1String("reveal") && !argument.isEmpty()) {
        window.show();
        window.raise();
        window.activateWindow();
        return window.reveal(argument, &why) ? ok() : error(why);
    }
    if (command == QLatin1String("pane") && !argument.isEmpty()) {
        const QString identifier = window.addPane(argument, &why);
        if (identifier.isEmpty()) {
            return error(why);
        }
        window.show();
        window.raise();
        return window.reveal(identifier, &why) ? ok() : error(why);
    }
    if (command == QLatin1String("list") && argument.isEmpty()) {
        return ok(window.describePanes());
    }
    if (command == QLatin1String("show") && !argument.isEmpty()) {
        return window.showControl(argument) ? ok()
                                            : error(QStringLiteral("the pane shown has no control %1").arg(argument));
    }
    if (command == QLatin1String("current") && argument.isEmpty()) {
        return ok({window.currentIdentifier()});
    }
    if (command == QLatin1String("quit") && argument.isEmpty()) {
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return ok();
    }
    return error(QStringLiteral("unknown request \"%1\"").arg(request));
}

// Connections held open at most, and how long one may stay without its request: idle ones (a
// stuck or hostile client) are dropped, the oldest first, so that they never keep requests out.
constexpr int maxConnections = 16;
constexpr int idleLimitMs = 10000;

void serve(QLocalServer &server, HostWindow &window)
{
    auto connections = std::make_shared<QList<QPointer<QLocalSocket>>>();
    QObject::connect(&server, &QLocalServer::newConnection, &window, [&server, &window, connections] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            connections->removeAll(nullptr);
            if (connections->size() >= maxConnections) {
                connections->takeFirst()->abort();
            }
            connections->append(socket);
            QTimer::singleShot(idleLimitMs, socket, [socket] { socket->abort(); });
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, &window, [socket, &window] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > 4096) {
                        socket->abort(); // no request is that long
                    }
                    return;
                }
                const QString request = QString::fromUtf8(socket->readLine(4096)).trimmed();
                socket->write(answer(window, request));
                socket->disconnectFromServer(); // after the answer has been written
            });
        }
    });
}

// What one start of the program is asked to do, from its command line.
struct Request
{
    QStringList panes; // absolute paths
    std::optional<QString> reveal, show, screenshot;
    bool quit = false;
    bool list = false;
};

// Reads the command line into *request (--help and --version answered here); false with the
// message shown when it holds something else.
bool parseCommandLine(const QApplication &app, Request *request)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows and runs preference panes. A second start hands its "
                                                    "request to the running one."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption paneOption(QStringLiteral("pane"), QStringLiteral("Adds the pane bundle at <path>."),
                                        QStringLiteral("path"));
    const QCommandLineOption revealOption(QStringLiteral("reveal"), QStringLiteral("Shows the pane <identifier>."),
                                          QStringLiteral("identifier"));
    const QCommandLineOption quitOption(QStringLiteral("quit"), QStringLiteral("Quits the running host."));
    const QCommandLineOption listOption(QStringLiteral("list"), QStringLiteral("Lists the panes and their state."));
    const QCommandLineOption showOption(QStringLiteral("show"),
                                        QStringLiteral("Brings the control <name> of the pane into view (its tab "
                                                       "chosen) and gives it the focus."),
                                        QStringLiteral("name"));
    const QCommandLineOption screenshotOption(QStringLiteral("screenshot"),
                                              QStringLiteral("Saves a picture of the window to <file> and quits."),
                                              QStringLiteral("file"));
    parser.addOptions({paneOption, revealOption, quitOption, listOption, showOption, screenshotOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        fail(QStringLiteral("unexpected argument %1 (see --help)").arg(parser.positionalArguments().first()));
        return false;
    }
    for (const QString &pane : parser.values(paneOption)) {
        request->panes.append(QFileInfo(pane).absoluteFilePath());
    }
    const auto value = [&parser](const QCommandLineOption &option) {
        return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
    };
    request->reveal = value(revealOption);
    request->show = value(showOption);
    request->screenshot = value(screenshotOption);
    request->quit = parser.isSet(quitOption);
    request->list = parser.isSet(listOption);
    return true;
}

// Hands the request to the host that runs, one line each, and prints its answers; the exit status.
int sendToHost(const Request &request)
{
    QStringList requests;
    for (const QString &pane : request.panes) {
        requests.append(QStringLiteral("pane ") + pane);
    }
    if (request.reveal) {
        requests.append(QStringLiteral("reveal ") + *request.reveal);
    }
    if (request.show) {
        requests.append(QStringLiteral("show ") + *request.show);
    }
    if (request.list) {
        requests.append(QStringLiteral("list"));
    }
    if (request.quit) {
        requests.append(QStringLiteral("quit"));
    }
    if (requests.isEmpty()) {
        requests.append(QStringLiteral("activate"));
    }
    for (const QString &line : std::as_const(requests)) {
        const SystemPreferencesChannel::Reply reply = SystemPreferencesChannel::send(line);
        if (!reply.ok) {
            return fail(reply.error);
        }
        for (const QString &answered : reply.lines) {
            std::printf("%s\n", qPrintable(answered));
        }
    }
    return 0;
}

// Shows the window with the pane and control asked for; with a screenshot asked for, saves it
// once the window is painted and quits.
void showWindow(HostWindow &window, const Request &request)
{
    QString why;
    window.show();
    if (request.reveal) {
        if (!window.reveal(*request.reveal, &why)) {
            std::fprintf(stderr, "SystemPreferences: %s\n", qPrintable(why));
        }
    } else if (request.panes.size() == 1) {
        window.reveal(PaneCatalog::read(request.panes.first(), &why).value_or(PaneRecord()).identifier);
    } else if (const QStringList panes = window.identifiers(); panes.size() == 1) {
        window.reveal(panes.first()); // nothing to choose between: the one installed pane
    }
    if (request.show && !window.showControl(*request.show)) {
        std::fprintf(stderr, "SystemPreferences: the pane shown has no control %s\n", qPrintable(*request.show));
    }
    if (request.screenshot) {
        const QString file = *request.screenshot;
        QTimer::singleShot(500, &window, [&window, file] {
            if (!window.grab().save(file)) {
                std::fprintf(stderr, "SystemPreferences: cannot save %s\n", qPrintable(file));
                QCoreApplication::exit(1);
                return;
            }
            QCoreApplication::quit();
        });
    }
}
} // namespace

int main(int argc, char **argv)
{
    // --quit, --list, --help and --version, and requests to a host that runs, need no display.
    Application::prepareForSessionWithoutDisplay();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("SystemPreferences"));
    QApplication::setApplicationDisplayName(QStringLiteral("System Preferences"));
    QApplication::setApplicationVersion(QStringLiteral(RUVELANT_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("SystemPreferences"));
    Request request;
    if (!parseCommandLine(app, &request)) {
        return 1;
    }

    QString why;
    const QString socketPath = SystemPreferencesChannel::socketPath(&why);
    if (socketPath.isEmpty()) {
        return fail(QStringLiteral("no folder of your own for the socket of System Preferences: %1").arg(why));
    }
    // Held while this start finds out whether a host runs, and becomes the host if none does.
    auto lock = std::make_unique<FileLock>(socketPath + QStringLiteral(".lock"), std::chrono::seconds(20));
    if (lock->timedOut()) {
        return fail(QStringLiteral("another start of System Preferences holds %1: %2")
                        .arg(socketPath + QStringLiteral(".lock"), lock->errorString()));
    }
    if (SystemPreferencesChannel::isHostRunning()) {
        return sendToHost(request);
    }
    if (request.quit) {
        return 0; // nothing runs: nothing to quit
    }

    HostWindow window(PaneCatalog::scan(request.panes));
    if (request.list) {
        for (const QString &line : window.describePanes()) {
            std::printf("%s\n", qPrintable(line));
        }
        return 0;
    }
    if (Application::isWindowless() && !request.screenshot) {
        return fail(QStringLiteral("there is no display to show the window on (DISPLAY is not set)"));
    }
    QLocalServer server;
    server.setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(socketPath); // no host answered: what is there is stale
    if (!server.listen(socketPath)) {
        return fail(QStringLiteral("cannot listen on %1: %2").arg(socketPath, server.errorString()));
    }
    lock.reset();
    serve(server, window);
    showWindow(window, request);
    return QApplication::exec();
}
