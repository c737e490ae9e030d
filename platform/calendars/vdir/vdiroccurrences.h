#ifndef RUVELANT_VDIROCCURRENCES_H
#define RUVELANT_VDIROCCURRENCES_H

#include "calendarstore.h"
#include "occurrencespan.h"
#include "vdirparsedfile.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

// The occurrences of a parsed file's events: the expansion of repeating events with their
// overrides, and the events that the store gives for them.
namespace vdir {
// One occurrence: the component it takes its properties from, its span, and for an occurrence of
// a repeating event, the time the rule gives it (its RECURRENCE-ID).
struct Occurrence
{
    const ParsedEvent *source = nullptr;
    std::pair<QDateTime, QDateTime> span;
    QDateTime recurrenceId;
};

// The event that the store gives for the occurrence of parsed (a component of file) in calendarUid.
Event makeEvent(const ParsedFile &file, const ParsedEvent &parsed, const QString &calendarUid,
                const std::pair<QDateTime, QDateTime> &span, const QDateTime &recurrenceId);

// The occurrence of master's series that the rule gives at time. From a RANGE=THISANDFUTURE
// override on, the latest such override before time gives the properties, and moves and sizes
// the occurrence as it moved and sized its own; an RDATE with a PERIOD gives its own end.
Occurrence occurrenceAt(const ParsedFile &file, const ParsedEvent &master, const QDateTime &time);

// The first occurrence after the RANGE=THISANDFUTURE override source that still takes its
// properties from it: the first later time of master's rules that no override replaces, unless
// a later such override takes over first. Invalid when there is none.
QDateTime nextInRange(const ParsedFile &file, const ParsedEvent &master, const ParsedEvent &source);

// Every occurrence of the file's events that overlaps the range; cancelled ones are left out.
// Overrides count by their own start; a repeating event is expanded from before the range by its
// longest length and shift, so that occurrences that began earlier and reach into the range, or
// are moved into it, are found. False when the occurrences of an event were cut short.
bool occurrencesIn(const ParsedFile &file, const QDateTime &rangeStart, const QDateTime &rangeEnd,
                   QList<Occurrence> *out, QStringList *warnings);

// The component of the occurrence (uid, recurrenceId), and in *master the series it belongs to.
// *ambiguous (when given) tells whether the file holds more than one such component or series,
// so that a save cannot tell which one is meant.
const ParsedEvent *findEvent(const ParsedFile &file, const QString &uid, const QDateTime &recurrenceId,
                             const ParsedEvent **master, bool *ambiguous = nullptr);
} // namespace vdir

#endif
