// RuvelantSync: syncs the calendars of the CalDAV accounts set up in the pane, with vdirsyncer.
//
//   RuvelantSync [ACCOUNT...]
//
// Without an account id, every account. Started every 15 minutes by the user's scheduler, after
// each agent run that marked an event, and by the pane's "Sync Now". Each account's outcome is
// kept for the pane in $XDG_STATE_HOME/ruvelant/calendarsync.plist. Exit status 0 when every
// account was synced, 1 otherwise with "RuvelantSync: what went wrong" lines.

#include "calendarsync.h"
#include "installation.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(CalendarSync::programName());
    QCoreApplication::setApplicationVersion(QStringLiteral(RUVELANT_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Syncs the calendars of the accounts set up in the Ruvelant pane with vdirsyncer, "
                       "using Ruvelant's own configuration in ~/.config/ruvelant/vdirsyncer/config."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("ACCOUNT"),
                                 QStringLiteral("Ids of the accounts to sync (all when none)."),
                                 QStringLiteral("[ACCOUNT...]"));
    parser.process(app);
    QTextStream errors(stderr);

    // A copy in the user's home whose installation was removed (the package removed): nothing
    // else is left to take its schedule away.
    const QString removed = Installation::removedFolder();
    if (!removed.isEmpty()) {
        errors << CalendarSync::programName() << ": the Ruvelant installation that scheduled it was removed ("
               << removed << " no longer holds its programs): its schedule is taken away and nothing is synced\n";
        QString error;
        if (!Installation::unschedule(CalendarSync::scheduleLabel(), &error)) {
            errors << CalendarSync::programName() << ": cannot take its schedule away: " << error << '\n';
        }
        return 1;
    }

    // cron starts programs without the session's variables: the keyring is found on the user's
    // session bus, where there is one.
    const QString runtime = QStringLiteral("/run/user/%1").arg(::getuid());
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && QFileInfo(runtime).isDir()
        && QFileInfo(runtime).ownerId() == ::getuid()) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    }
    const QString bus = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/bus");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") && !qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")
        && QFileInfo::exists(bus)) {
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(bus));
    }

    QStringList problems;
    const bool ok = CalendarSync::run(parser.positionalArguments(), &problems);
    for (const QString &problem : qAsConst(problems)) {
        errors << CalendarSync::programName() << ": " << problem << '\n';
    }
    return ok ? 0 : 1;
}
