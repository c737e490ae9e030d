#ifndef RUVELANT_EDSOCCURRENCES_H
#define RUVELANT_EDSOCCURRENCES_H

#include "edssession.h"

#include <libecal/libecal.h>

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// One occurrence of an event that EDS holds.
struct EdsOccurrence
{
    GRef<ICalComponent> source; // what it takes its properties from: the master, or an override
    QDateTime start; // local time; an all-day occurrence runs from midnight to midnight
    QDateTime end;
    QDateTime recurrenceId; // its original start; invalid for a single event
    bool allDay = false;
};

// The occurrences of EDS's events, from the components EDS holds for one event UID (its master
// and the overrides of single occurrences), expanded by libecal's own recurrence code. Times are
// read in the zones the zone lookup gives (EDS's client knows the calendar's own), floating times
// and dates in the local zone.
class EdsOccurrences
{
public:
    EdsOccurrences(ECalRecurResolveTimezoneCb lookup, gpointer lookupData, ICalTimezone *localZone,
                   GCancellable *cancellable);

    // The occurrences that overlap [rangeStart, rangeEnd] (start before its end and end after its
    // start; one without length when it starts in it), cancelled ones left out, in the order of
    // their starts. An override counts by its own start, and the occurrence it replaces is gone
    // (also when it moved out of the range). Returns false with *problem when the expansion failed
    // (cancelled, a zone not found) or gave more than maxOccurrences, which are then cut.
    bool inRange(const QList<ICalComponent *> &components, const QDateTime &rangeStart, const QDateTime &rangeEnd,
                 QList<EdsOccurrence> *out, QString *problem) const;
    // The occurrence whose original start is recurrenceId (invalid: the single event, looked for
    // near start), if the components still have it and it is not cancelled.
    std::optional<EdsOccurrence> at(const QList<ICalComponent *> &components, const QDateTime &recurrenceId,
                                    const QDateTime &start) const;

    // A component that holds exactly this occurrence, for EDS to store as its override: the
    // override itself, or a copy of the master without its rules, moved to the occurrence, with
    // its RECURRENCE-ID. The times keep the zones (TZID) of the master's.
    GRef<ICalComponent> overrideOf(const EdsOccurrence &occurrence) const;

    // Occurrences of one event that one query gives at most.
    static constexpr int maxOccurrences = 1000;
    // The most times a rule is stepped through from its start: libical walks every one (about a
    // second for this many), without stopping when a query is cancelled. A rule repeating every
    // second or minute for years is left out, with a problem.
    static constexpr qint64 maxSteps = 500000;

    struct Instance; // one instance that libecal's expansion gives

private:
    struct Parts;
    bool split(const QList<ICalComponent *> &components, Parts *parts, QString *problem) const;
    bool occurrences(const Parts &parts, const QDateTime &from, const QDateTime &to, QList<EdsOccurrence> *out,
                     QString *problem) const;
    bool expand(ICalComponent *component, const QDateTime &from, const QDateTime &to, QList<Instance> *instances,
                QString *problem) const;
    qint64 steps(ICalComponent *component, const QDateTime &to) const;
    QDateTime timeOf(ICalTime *time) const;
    QDateTime recurrenceIdOf(ICalComponent *component, bool *allDay) const;
    ICalTime *valueLike(const QDateTime &time, bool allDay, ICalComponent *component, ICalPropertyKind kind) const;

    ECalRecurResolveTimezoneCb m_lookup;
    gpointer m_lookupData;
    ICalTimezone *m_localZone;
    GCancellable *m_cancellable;
};

#endif
