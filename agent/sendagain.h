#ifndef RUVELANT_SENDAGAIN_H
#define RUVELANT_SENDAGAIN_H

#include "calendarstore.h"
#include "sendjournal.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>

#include <chrono>
#include <optional>

// "Send Again": the reminders of an occurrence go out once more, to all its attendees, at the
// agent's next run. Its hand-overs are forgotten in the send journal with a request that the next
// run reminds it whatever day that run searches, and the marker is taken out of its notes. The
// pane's Sent tab and "ruvelant resend" both go through here.
namespace SendAgain {

// Why an occurrence's reminders cannot be sent again.
enum class Refusal {
    None,
    Gone, // its calendar no longer holds it (deleted, or moved to another day)
    Begun, // it has begun: no reminder goes out for it
    CalendarNotEnabled, // its calendar is not one whose events are reminded
};

// The occurrence as its calendar holds it now, found around its start; of copies in several files
// (a sync tool's conflict copies), a marked one. nullopt when it is gone.
std::optional<Event> find(CalendarStore &store, const SendJournal::Occurrence &occurrence);
// What keeps the occurrence found (or not) from being sent again at now.
Refusal refusal(const std::optional<Event> &event, const QDateTime &now, const QSet<QString> &enabledCalendars);
// The occurrences that the journal's requests name, of these calendars, that have not begun at now.
QList<Event> requestedEvents(CalendarStore &store, const SendJournal &journal, const QList<Calendar> &calendars,
                             const QDateTime &now);

// How a request came out.
struct Outcome
{
    enum Code {
        Done,
        Busy, // a run of the agent held its lock for all of lockWait
        JournalFailed, // the journal cannot be written: nothing changed
        MarkerNotRemoved, // recorded, but the marker stays (detail: why): the run passes the event over
    };
    Code code = Done;
    QString detail;
};
// Forgets the occurrence's hand-overs, asks the next run for its reminders, and removes the
// marker from every copy of it that has one (through the store's save, which keeps the rest of
// the event). Takes turns with the agent's runs: waits at most lockWait for one going on.
// journalPath empty: the agent's own journal.
Outcome request(CalendarStore &store, const SendJournal::Occurrence &occurrence, const QDateTime &now,
                std::chrono::milliseconds lockWait, const QString &journalPath = QString());

} // namespace SendAgain

#endif
