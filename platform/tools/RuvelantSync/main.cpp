// RuvelantSync: syncs the calendars of the CalDAV accounts set up in the pane, with vdirsyncer.
//
//   RuvelantSync [ACCOUNT...]
//
// Without an account id, every account. Started every 15 minutes by the user's scheduler, after
// each agent run that marked an event, and by the pane's "Sync Now". Each account's outcome is
// kept for the pane in $XDG_STATE_HOME/ruvelant/calendarsync.plist. Exit status 0 when every
// account was synced, 1 otherwise with "RuvelantSync: what went wrong" lines.

#include "calendarsync.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

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

    QStringList problems;
    const bool ok = CalendarSync::run(parser.positionalArguments(), &problems);
    QTextStream errors(stderr);
    for (const QString &problem : qAsConst(problems)) {
        errors << CalendarSync::programName() << ": " << problem << '\n';
    }
    return ok ? 0 : 1;
}
