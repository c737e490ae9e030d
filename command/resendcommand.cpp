// ruvelant resend: the pane's "Send Again" from a terminal. The reminders of one occurrence go out
// once more at the agent's next run: its hand-overs are forgotten and its marker removed.
#include "ComKestramoPreferenceQuorvelModel.h"
#include "calendarstore.h"
#include "commandline.h"
#include "reminderdecisions.h"
#include "sendagain.h"
#include "subcommands.h"

#include <QLocale>

namespace {
// How long it waits for a run of the agent that is going on.
constexpr std::chrono::seconds runWait(60);

// An occurrence as the command names it: 2010-03-05 09:00 'Board' (work), and its UID.
QString occurrenceText(const Event &event, bool withUid)
{
    QString text = QStringLiteral("%1 '%2' (%3)")
                       .arg(QLocale::c().toString(event.startDate.toLocalTime(), QStringLiteral("yyyy-MM-dd HH:mm")),
                            event.title, event.calendarUid);
    if (withUid) {
        text += QStringLiteral(", UID ") + journalOccurrence(event).event;
    }
    return text;
}

// The occurrences, one of each (a conflict copy is the same one), of the calendars that start on
// the day (at the time, when it is valid) and whose title or UID is name.
QList<Event> matchingOccurrences(CalendarStore &store, const QList<Calendar> &calendars, const QDate &day,
                                 const QTime &time, const QString &name)
{
    QList<Event> matching;
    QSet<QString> seen;
    const QList<Event> events = store.eventsWithPredicate(
        CalendarStore::eventPredicateWithStartDate(day.startOfDay(), day.endOfDay(), calendars));
    for (const Event &event : events) {
        const QDateTime start = event.startDate.toLocalTime();
        const SendJournal::Occurrence occurrence = journalOccurrence(event);
        const QString key = occurrenceText(occurrence);
        if (start.date() != day
            || (time.isValid() && start.time().hour() * 60 + start.time().minute() != time.hour() * 60 + time.minute())
            || (event.title != name && occurrence.event != name) || seen.contains(key)) {
            continue;
        }
        seen.insert(key);
        matching.append(event);
    }
    return matching;
}
} // namespace

int resendCommand(const QStringList &arguments)
{
    SubcommandLine line(
        QStringLiteral("resend [--calendar CALENDAR] DATE EVENT"),
        QStringLiteral("Sends the reminders of an event again, to all its attendees, at the agent's next run, as "
                       "Send Again on the pane's Sent tab does: what the agent handed over for it is forgotten and "
                       "\"(*)\" is removed from its notes. That is the way to remind an event again after "
                       "removing \"(*)\" in a text editor, which the agent cannot tell from a sync tool putting back "
                       "the event as it was before marking.\n\n"
                       "DATE is the day the event starts (YYYY-MM-DD), or that day and its time (YYYY-MM-DDTHH:MM) "
                       "where it starts more than once that day; EVENT is its title or its UID.\n\n"
                       "Exit status: 0 when it is done; 1 when no such event starts then, more than one does, it "
                       "has begun, its calendar is not ticked, or it could not be done; 2 for wrong arguments."));
    QCommandLineParser &parser = line.parser();
    const QCommandLineOption calendarOption(QStringLiteral("calendar"),
                                            QStringLiteral("Looks in this calendar only (its folder name)."),
                                            QStringLiteral("CALENDAR"));
    parser.addOption(calendarOption);
    if (const int status = line.parse(arguments, 2, 2); status >= 0) {
        return status;
    }
    const QString dateText = parser.positionalArguments().at(0);
    const QString name = parser.positionalArguments().at(1);
    const QDate day = QDate::fromString(dateText.left(10), Qt::ISODate);
    const QTime time = dateText.size() > 10 ? QTime::fromString(dateText.mid(11), QStringLiteral("HH:mm")) : QTime();
    if (!day.isValid() || (dateText.size() > 10 && (dateText.at(10) != QLatin1Char('T') || !time.isValid()))) {
        return Output::fail(
            QStringLiteral("DATE is YYYY-MM-DD or YYYY-MM-DDTHH:MM, not \"%1\" (see ruvelant resend --help)")
                .arg(dateText),
            ExitStatus::Usage);
    }

    CalendarStore &store = *CalendarStore::defaultCalendarStore();
    QList<Calendar> calendars = store.calendars();
    if (parser.isSet(calendarOption)) {
        const std::optional<Calendar> calendar = store.calendarWithUID(parser.value(calendarOption));
        if (!calendar) {
            return Output::fail(QStringLiteral("there is no calendar \"%1\"").arg(parser.value(calendarOption)));
        }
        calendars = {*calendar};
    }
    const QList<Event> found = matchingOccurrences(store, calendars, day, time, name);
    if (found.isEmpty()) {
        return Output::fail(QStringLiteral("no event \"%1\" starts on %2").arg(name, dateText));
    }
    if (found.size() > 1) {
        QString list;
        for (const Event &event : found) {
            list += QStringLiteral("\n  ") + occurrenceText(event, true);
        }
        return Output::fail(QStringLiteral("more than one event \"%1\" starts on %2:%3\nname one by its time "
                                           "(DATE as YYYY-MM-DDTHH:MM), its UID or --calendar")
                                .arg(name, dateText, list));
    }

    const ComKestramoPreferenceQuorvelModel model(false);
    const QStringList enabled = calendarUids(model, false);
    const QDateTime now = QDateTime::currentDateTime();
    const Event &event = found.first();
    switch (SendAgain::refusal(event, now, QSet<QString>(enabled.cbegin(), enabled.cend()))) {
    case SendAgain::Refusal::None:
        break;
    case SendAgain::Refusal::Gone:
        return Output::fail(QStringLiteral("%1 is no longer in its calendar").arg(occurrenceText(event, false)));
    case SendAgain::Refusal::Begun:
        return Output::fail(
            QStringLiteral("%1 has begun: no reminder goes out for it").arg(occurrenceText(event, false)));
    case SendAgain::Refusal::CalendarNotEnabled:
        return Output::fail(QStringLiteral("%1 is in a calendar whose events get no reminders: tick it first "
                                           "(ruvelant set activeCalendars ...)")
                                .arg(occurrenceText(event, false)));
    }

    const SendAgain::Outcome outcome = SendAgain::request(store, journalOccurrence(event), now, runWait);
    switch (outcome.code) {
    case SendAgain::Outcome::Done:
        break;
    case SendAgain::Outcome::Busy:
        return Output::fail(QStringLiteral("a run of the agent is going on and did not end within %1 seconds; nothing "
                                           "changed, try again when it has ended")
                                .arg(runWait.count()));
    case SendAgain::Outcome::JournalFailed:
        return Output::fail(
            QStringLiteral("cannot keep the record of sent reminders (%1); nothing changed").arg(outcome.detail));
    case SendAgain::Outcome::MarkerNotRemoved:
        return Output::fail(QStringLiteral("%1: its sent reminders are forgotten, but \"(*)\" could not be removed "
                                           "from its notes (%2); remove it yourself, and the next run reminds it")
                                .arg(occurrenceText(event, false), outcome.detail));
    }
    Output::line(QStringLiteral("%1: its reminders go out again at the next run of the agent")
                     .arg(occurrenceText(event, false)));
    if (!model.quorvelEnabled()) {
        Output::note(QStringLiteral("Reminders are off: that is the first run once they are switched on."));
    }
    return ExitStatus::Success;
}
