// ruvelant: Ruvelant's settings, schedule, coming reminders, runs and log from a terminal or a
// server, on the same classes as the preference pane.
#include "commandline.h"
#include "subcommands.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {
struct Subcommand
{
    const char *name;
    int (*run)(const QStringList &arguments);
    const char *summary;
};

const Subcommand subcommands[] = {
    {"status", statusCommand, "on or off, the schedule, the mail system, the last run, the calendars"},
    {"upcoming", upcomingCommand, "the events of the coming days and who gets a reminder, or why not"},
    {"run", runCommand, "one run of the agent now"},
    {"enable", enableCommand, "switches reminders on and schedules the agent"},
    {"disable", disableCommand, "switches reminders off and takes the schedule away"},
    {"get", getCommand, "prints a setting"},
    {"set", setCommand, "stores a setting"},
    {"log", logCommand, "prints the agent's log, or follows it"},
    {"resend", resendCommand, "sends the reminders of an event again at the next run"},
    {"calendars", calendarsCommand, "lists the calendars read (folders and the desktop's), ticks and unticks them"},
    {"mail", mailCommand, "the mail accounts that send the reminders: add, list, remove, test"},
};

QString overview()
{
    QString text = QStringLiteral(
        "Usage: ruvelant SUBCOMMAND [options] [arguments]\n\n"
        "Ruvelant e-mails the attendees of your calendar events a reminder a set number of days before each\n"
        "event. This command does from a terminal what its preference pane does.\n\nSubcommands:\n");
    for (const Subcommand &subcommand : subcommands) {
        text += QStringLiteral("  %1%2\n")
                    .arg(QLatin1String(subcommand.name), -10)
                    .arg(QLatin1String(subcommand.summary));
    }
    text += QStringLiteral("\n\"ruvelant SUBCOMMAND --help\" tells more of each.\n\n"
                           "Exit status: 0 when it was done; 1 when it could not be, or a run did not hand every "
                           "reminder over;\n2 for a wrong subcommand, option, key or value; 3 (status) when "
                           "reminders do not go out.\n");
    return text;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ruvelant"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RUVELANT_VERSION));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString first = arguments.value(0);
    if (first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("help")) {
        if (first == QLatin1String("help") && arguments.size() > 1) {
            arguments = QStringList {arguments.at(1), QStringLiteral("--help")}; // "ruvelant help status"
        } else {
            std::fputs(overview().toUtf8().constData(), stdout);
            return ExitStatus::Success;
        }
    } else if (first == QLatin1String("--version") || first == QLatin1String("-v")) {
        Output::line(QStringLiteral("ruvelant ") + QCoreApplication::applicationVersion());
        return ExitStatus::Success;
    }
    if (arguments.isEmpty()) {
        return Output::fail(
            QStringLiteral(
                "say what to do: status, upcoming, run, enable, disable, get, set, log, resend, calendars or mail "
                "(see ruvelant --help)"),
            ExitStatus::Usage);
    }
    for (const Subcommand &subcommand : subcommands) {
        if (arguments.first() == QLatin1String(subcommand.name)) {
            return subcommand.run(arguments.mid(1));
        }
    }
    return Output::fail(QStringLiteral("there is no subcommand \"%1\" (see ruvelant --help)").arg(arguments.first()),
                        ExitStatus::Usage);
}
