// RuvelantNotifier: shows the agent's notifications of reminders that could not be sent, and
// opens the pane's Sent tab when the user asks for it. The agent starts it at the end of a run
// that had failures, without waiting for it; it ends once its notifications are closed or
// answered, when the session ends, or half an hour after its start (the next run tells anew).
// A session bus that does not answer ends it after a few seconds (--bus-timeout).
//
//   RuvelantNotifier [--bus-timeout SECONDS] (--title TITLE --text TEXT)... --action LABEL
#include "bundle.h"
#include "desktopnotifications.h"
#include "programs.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
constexpr int lifetimeSeconds = 30 * 60;
constexpr int defaultBusTimeoutSeconds = 15;

// The bound of the notifier's whole life, kept from its start: an alarm that ends the process
// wherever it is. A bus that takes the connection and never answers holds the program inside
// QtDBus (QDBusConnection::sessionBus() waits without a limit), where no timer of the event loop
// runs; the alarm's handler still does, and says why with the message prepared for it.
namespace Watchdog {
char message[512];

void onAlarm(int)
{
    if (message[0] != '\0') {
        (void)!::write(STDERR_FILENO, message, std::strlen(message));
    }
    ::_exit(1);
}

// Ends the process in seconds, saying text (nothing when empty) on standard error.
void arm(unsigned seconds, const QByteArray &text)
{
    ::alarm(0);
    std::snprintf(message, sizeof message, "%s", text.constData());
    struct sigaction action = {};
    action.sa_handler = onAlarm;
    ::sigaction(SIGALRM, &action, nullptr);
    ::alarm(seconds);
}
} // namespace Watchdog

// The pane that this program travels in: <pane>/Contents/Resources/RuvelantNotifier.
QString panePath()
{
    QDir folder(QCoreApplication::applicationDirPath());
    if (folder.dirName() == QLatin1String("Resources") && folder.cdUp() && folder.dirName() == QLatin1String("Contents")
        && folder.cdUp()) {
        return folder.path();
    }
    return QString();
}

// The SystemPreferences host of this installation: beside our other programs, else on PATH or in
// the usual folders (a scheduled run does not have the user's own PATH).
QString hostProgram()
{
    const QString tools = Programs::toolsFolder();
    if (!tools.isEmpty() && QFileInfo(tools + QStringLiteral("/SystemPreferences")).isExecutable()) {
        return tools + QStringLiteral("/SystemPreferences");
    }
    const QString name = QStringLiteral("SystemPreferences");
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty()) {
        found = QStandardPaths::findExecutable(name,
                                               {QDir::homePath() + QStringLiteral("/.local/bin"),
                                                QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin")});
    }
    return found;
}

// Opens the pane on its list of sent reminders.
void showSentReminders()
{
    const QString host = hostProgram();
    if (host.isEmpty()) {
        std::fprintf(stderr, "RuvelantNotifier: System Preferences is not found\n");
        return;
    }
    QStringList arguments;
    const QString pane = panePath();
    if (!pane.isEmpty()) {
        arguments << QStringLiteral("--pane") << pane;
    }
    arguments << QStringLiteral("--reveal") << QStringLiteral("com.kestramo.ruvelant") << QStringLiteral("--show")
              << QStringLiteral("sentTable");
    Programs::Options options;
    options.errors = Programs::PassOn;
    if (!Programs::startDetached(host, arguments, options)) {
        std::fprintf(stderr, "RuvelantNotifier: cannot start %s\n", qPrintable(host));
    }
}
} // namespace

int main(int argc, char **argv)
{
    // A little more than the lifetime, in case the event loop that ends it is held up.
    Watchdog::arm(lifetimeSeconds + 10, QByteArray());
    QElapsedTimer life;
    life.start();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("RuvelantNotifier"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows the notifications of the Ruvelant agent."));
    parser.addHelpOption();
    const QCommandLineOption title(QStringLiteral("title"), QStringLiteral("A notification's title."),
                                   QStringLiteral("title"));
    const QCommandLineOption text(QStringLiteral("text"), QStringLiteral("Its text."), QStringLiteral("text"));
    const QCommandLineOption action(QStringLiteral("action"),
                                    QStringLiteral("The label of the action that shows "
                                                   "the sent reminders."),
                                    QStringLiteral("label"));
    const QCommandLineOption busTimeout(QStringLiteral("bus-timeout"),
                                        QStringLiteral("How long the session bus may take to take the notifications "
                                                       "(default: %1).")
                                            .arg(defaultBusTimeoutSeconds),
                                        QStringLiteral("seconds"), QString::number(defaultBusTimeoutSeconds));
    parser.addOptions({title, text, action, busTimeout});
    parser.process(app);
    bool valid = false;
    const int busSeconds = parser.value(busTimeout).toInt(&valid);
    if (!valid || busSeconds < 1 || busSeconds > lifetimeSeconds) {
        std::fprintf(stderr, "RuvelantNotifier: --bus-timeout takes a number of seconds from 1 to %d\n",
                     lifetimeSeconds);
        return 2;
    }
    const QStringList titles = parser.values(title);
    const QStringList texts = parser.values(text);
    if (titles.isEmpty() || titles.size() != texts.size()) {
        std::fprintf(stderr, "RuvelantNotifier: give --title and --text for each notification (see --help)\n");
        return 2;
    }

    // Connecting, asking for the service and showing the notifications: a bus that does not
    // answer costs the few seconds named, not the rest of the notifier's life.
    Watchdog::arm(unsigned(busSeconds),
                  QStringLiteral("RuvelantNotifier: the session bus %1 did not answer within %2 seconds; no "
                                 "notification is shown\n")
                      .arg(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"))
                      .arg(busSeconds)
                      .toLocal8Bit());
    DesktopNotifications notifications;
    if (!notifications.isAvailable()) {
        return 0; // no desktop to show them on
    }
    const QString icon = Bundle::mainBundle()->pathForResource(QStringLiteral("Ruvelant"), QStringLiteral("png"));
    const QStringList actions {QStringLiteral("default"), parser.value(action), QStringLiteral("sent"),
                               parser.value(action)};
    const QVariantMap hints {{QStringLiteral("desktop-entry"), QStringLiteral("SystemPreferences")},
                             {QStringLiteral("category"), QStringLiteral("transfer.error")}};
    QSet<uint> open;
    for (int i = 0; i < titles.size(); ++i) {
        QString error;
        const uint id
            = notifications.notify(QStringLiteral("Ruvelant"), icon, titles.at(i), texts.at(i), actions, hints, &error);
        if (id == 0) {
            std::fprintf(stderr, "RuvelantNotifier: the notification was not shown: %s\n", qPrintable(error));
            continue;
        }
        open.insert(id);
    }
    if (open.isEmpty()) {
        return 0;
    }
    const int leftSeconds = std::max(1, lifetimeSeconds - int(life.elapsed() / 1000));
    Watchdog::arm(unsigned(leftSeconds) + 10, QByteArray());
    QObject::connect(&notifications, &DesktopNotifications::actionInvoked, &app, [&open](uint id, const QString &) {
        if (open.contains(id)) {
            showSentReminders();
            QCoreApplication::quit();
        }
    });
    QObject::connect(&notifications, &DesktopNotifications::notificationClosed, &app, [&open](uint id, uint) {
        if (open.remove(id) && open.isEmpty()) {
            QCoreApplication::quit();
        }
    });
    QObject::connect(&notifications, &DesktopNotifications::disconnected, &app, &QCoreApplication::quit);
    QTimer::singleShot(leftSeconds * 1000, &app, &QCoreApplication::quit);
    return QCoreApplication::exec();
}
