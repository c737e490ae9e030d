// RuvelantNotifier: shows the agent's notifications of reminders that could not be sent, and
// opens the pane's Sent tab when the user asks for it. The agent starts it at the end of a run
// that had failures; it ends once its notifications are closed or answered, when the session
// ends, or after half an hour (the next run tells anew).
//
//   RuvelantNotifier (--title TITLE --text TEXT)... --action LABEL
#include "bundle.h"
#include "desktopnotifications.h"
#include "programs.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int lifetimeMs = 30 * 60 * 1000;

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
    parser.addOptions({title, text, action});
    parser.process(app);
    const QStringList titles = parser.values(title);
    const QStringList texts = parser.values(text);
    if (titles.isEmpty() || titles.size() != texts.size()) {
        std::fprintf(stderr, "RuvelantNotifier: give --title and --text for each notification (see --help)\n");
        return 2;
    }

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
    QTimer::singleShot(lifetimeMs, &app, &QCoreApplication::quit);
    return QCoreApplication::exec();
}
