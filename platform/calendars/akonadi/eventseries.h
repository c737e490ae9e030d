#ifndef RUVELANT_EVENTSERIES_H
#define RUVELANT_EVENTSERIES_H

#include <KCalendarCore/Event>

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

// The events of one UID in one calendar, as a store that keeps each as an item of its own holds
// them: the series (or the single event) and its overrides of single occurrences, expanded into
// occurrences with KCalendarCore's recurrence rules.
class EventSeries
{
public:
    // One stored event: its item's identifier and revision, and its content.
    struct Member
    {
        qint64 itemId = -1;
        int itemRevision = 0;
        KCalendarCore::Event::Ptr event;
    };
    // One occurrence: the member it takes its properties from, its span in local time, and for
    // an occurrence of a repeating event the time the rule gives it (its RECURRENCE-ID).
    struct Occurrence
    {
        const Member *source = nullptr;
        QDateTime start;
        QDateTime end;
        QDateTime recurrenceId;
        bool own = false; // the source is this occurrence's own item (a single event, an override)
    };

    // Of overrides of one occurrence (revisions that a sync left side by side), the one with the
    // highest SEQUENCE, then the latest change, then the newest item is kept.
    explicit EventSeries(const QList<Member> &members);

    QList<Member> members() const { return m_members; }
    // Every occurrence that overlaps the range (starts before its end and ends after its start; an
    // occurrence without length counts when it starts inside); cancelled ones are left out.
    // Overrides count by their own span. At most maxOccurrences for each repeating event: more are
    // left out with a warning. where names the series in warnings.
    QList<Occurrence> occurrencesIn(const QDateTime &rangeStart, const QDateTime &rangeEnd, const QString &where,
                                    QStringList *warnings) const;

    // The occurrence recurrenceId (invalid: the single event) as the series has it now: its own
    // member, or the repeating event's occurrence at that time; nullopt when there is none, or
    // when the series holds it more than once (*ambiguous is then set).
    std::optional<Occurrence> occurrence(const QDateTime &recurrenceId, bool *ambiguous = nullptr) const;
    // The repeating event whose occurrence recurrenceId would be overridden; null when none.
    const Member *master() const;

    // Start and end of the occurrence of event that begins at start, in local time. An all-day
    // occurrence runs from local midnight of its first day to local midnight after its last day.
    static std::pair<QDateTime, QDateTime> span(const KCalendarCore::Event &event, const QDateTime &start);

    // Occurrences of one repeating event in one query at most.
    static constexpr int maxOccurrences = 1000;
    // KCalendarCore caches this many occurrences of a COUNT rule and answers wrongly past them: a
    // longer rule is read as endless (with a warning from limitCount).
    static constexpr int countLimit = 10000;
    // Makes the rules of event with a COUNT beyond countLimit endless; the warning for each.
    static QStringList limitCount(KCalendarCore::Event &event);

private:
    Occurrence occurrenceAt(const Member &master, const QDateTime &time) const;
    QList<Member> m_members;
};

#endif
