// ruvelant calendars [--json], ruvelant calendars enable|disable ID...: the calendars of every kind
// that Ruvelant reads (vdir folders, Evolution Data Server, Akonadi) and which of them take
// part, as the pane's calendar list shows and ticks them.
#include "ComKestramoPreferenceQuorvelModel.h"
#include "calendarstore.h"
#include "commandline.h"
#include "installedpane.h"
#include "subcommands.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {
// The store's kind of each calendar, by identifier.
QHash<QString, QString> kindsOf(const QList<Calendar> &calendars)
{
    QHash<QString, QString> kinds;
    for (const Calendar &calendar : calendars) {
        kinds.insert(calendar.uid, calendar.kind);
    }
    return kinds;
}

int list(const ComKestramoPreferenceQuorvelModel &model, bool json)
{
    const QHash<QString, QString> kinds = kindsOf(CalendarStore::defaultCalendarStore()->calendars());
    if (json) {
        QJsonArray calendars;
        for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
            calendars.append(QJsonObject {{QStringLiteral("id"), entry->calendaUID()},
                                          {QStringLiteral("kind"), kinds.value(entry->calendaUID())},
                                          {QStringLiteral("enabled"), entry->enabled()},
                                          {QStringLiteral("title"), entry->calendarTitle()},
                                          {QStringLiteral("account"), entry->calendarAccount()}});
        }
        std::fputs(QJsonDocument(QJsonObject {{QStringLiteral("calendars"), calendars}})
                       .toJson(QJsonDocument::Indented)
                       .constData(),
                   stdout);
        return ExitStatus::Success;
    }
    if (model.allCalendars().isEmpty()) {
        Output::note(QStringLiteral("No calendars yet."));
    }
    for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
        Output::line(QStringLiteral("%1\t%2\t%3\t%4")
                         .arg(entry->calendaUID(), kinds.value(entry->calendaUID()),
                              entry->enabled() ? QStringLiteral("enabled") : QStringLiteral("disabled"),
                              entry->calendarTitle()));
    }
    return ExitStatus::Success;
}

// Ticks or unticks the calendars, each as the pane's table does: every change stores the settings.
int tick(ComKestramoPreferenceQuorvelModel &model, const QStringList &uids, bool enable)
{
    QStringList known;
    for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
        known.append(entry->calendaUID());
    }
    for (const QString &uid : uids) {
        if (!known.contains(uid)) {
            return Output::fail(known.isEmpty()
                                    ? QStringLiteral("there is no calendar \"%1\": there are no calendars yet").arg(uid)
                                    : QStringLiteral("there is no calendar \"%1\": the calendars are %2")
                                          .arg(uid, known.join(QStringLiteral(", "))),
                                ExitStatus::Usage);
        }
    }
    for (ComKestramoCalendarEntry *entry : model.allCalendars()) {
        if (uids.contains(entry->calendaUID())) {
            entry->setIsCalendarEnabled(enable ? 1 : 0);
        }
    }
    return ExitStatus::Success;
}
} // namespace

int calendarsCommand(const QStringList &arguments)
{
    SubcommandLine line(
        QStringLiteral("calendars [--json] | calendars enable ID... | calendars disable ID..."),
        QStringLiteral(
            "Lists the calendars Ruvelant reads, one a line: its identifier, its kind (vdir: a calendar "
            "folder; eds: a calendar of the GNOME desktop, from Evolution Data Server; akonadi: a calendar of "
            "the KDE Plasma desktop, from its Akonadi server), whether it takes part "
            "(enabled or disabled), and its title, separated by tabs. \"enable\" and \"disable\" tick and "
            "untick the calendars with these identifiers, as the pane's list of calendars does."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Writes the list as JSON, for scripts."));
    line.parser().addOption(json);
    line.parser().addPositionalArgument(QStringLiteral("enable|disable"), QStringLiteral("What to do."),
                                        QStringLiteral("[enable|disable ID...]"));
    const int status = line.parse(arguments, 0, -1);
    if (status >= 0) {
        return status;
    }
    const QStringList positional = line.parser().positionalArguments();
    const QString action = positional.value(0);
    if (!positional.isEmpty() && action != QLatin1String("enable") && action != QLatin1String("disable")) {
        return Output::fail(QStringLiteral("calendars takes enable or disable, not \"%1\"").arg(action),
                            ExitStatus::Usage);
    }
    if (!positional.isEmpty() && positional.size() < 2) {
        return Output::fail(QStringLiteral("calendars %1 takes the identifiers of calendars").arg(action),
                            ExitStatus::Usage);
    }
    if (!positional.isEmpty() && line.parser().isSet(json)) {
        return Output::fail(QStringLiteral("--json goes with the list only"), ExitStatus::Usage);
    }
    InstalledPane pane;
    if (const int failed = pane.open(ExitStatus::Failure); failed >= 0) {
        return failed;
    }
    ComKestramoPreferenceQuorvelModel model(false);
    if (positional.isEmpty()) {
        return list(model, line.parser().isSet(json));
    }
    return tick(model, positional.mid(1), action == QLatin1String("enable"));
}
