#include "compositecalendarstore.h"

#include <QMetaMethod>

CompositeCalendarStore::~CompositeCalendarStore() = default;

void CompositeCalendarStore::addStore(std::unique_ptr<CalendarStore> store, const QString &kind)
{
    connect(store.get(), &CalendarStore::problemFound, this, &CalendarStore::problemFound);
    connect(store.get(), &CalendarStore::calendarUnavailable, this, &CalendarStore::calendarUnavailable);
    connect(store.get(), &CalendarStore::noticeFound, this, &CalendarStore::noticeFound);
    if (m_watching)
        connect(store.get(), &CalendarStore::calendarsChangedExternally, this,
                &CalendarStore::calendarsChangedExternally);
    m_parts.push_back({std::move(store), kind});
}

void CompositeCalendarStore::stopWatching()
{
    m_stopped = true;
    for (const Part &part : m_parts)
        disconnect(part.store.get(), &CalendarStore::calendarsChangedExternally, this, nullptr);
}

void CompositeCalendarStore::connectNotify(const QMetaMethod &signal)
{
    // The stores watch their calendars only for a listener: a run of the agent has none.
    if (signal != QMetaMethod::fromSignal(&CalendarStore::calendarsChangedExternally) || m_watching || m_stopped)
        return;
    m_watching = true;
    for (const Part &part : m_parts)
        connect(part.store.get(), &CalendarStore::calendarsChangedExternally, this,
                &CalendarStore::calendarsChangedExternally);
}

Calendar CompositeCalendarStore::named(Calendar calendar, const Part &part) const
{
    if (calendar.kind.isEmpty())
        calendar.kind = part.kind;
    m_owners.insert(calendar.uid, part.store.get());
    return calendar;
}

QList<Calendar> CompositeCalendarStore::calendars() const
{
    QList<Calendar> result;
    for (const Part &part : m_parts) {
        const QList<Calendar> calendars = part.store->calendars();
        for (const Calendar &calendar : calendars) {
            // The first store keeps an identifier that a later one would give too.
            if (m_owners.value(calendar.uid, part.store.get()) == part.store.get())
                result.append(named(calendar, part));
        }
    }
    return result;
}

std::optional<Calendar> CompositeCalendarStore::calendarWithUID(const QString &uid) const
{
    for (const Part &part : m_parts) {
        if (const std::optional<Calendar> calendar = part.store->calendarWithUID(uid))
            return named(*calendar, part);
    }
    return std::nullopt;
}

CalendarStore *CompositeCalendarStore::storeOf(const QString &calendarUid) const
{
    if (CalendarStore *known = m_owners.value(calendarUid))
        return known;
    for (const Part &part : m_parts) {
        if (const std::optional<Calendar> calendar = part.store->calendarWithUID(calendarUid)) {
            m_owners.insert(calendarUid, part.store.get());
            return part.store.get();
        }
    }
    return nullptr;
}

bool CompositeCalendarStore::isUnreachable(const QString &uid) const
{
    for (const Part &part : m_parts) {
        if (part.store->isUnreachable(uid))
            return true;
    }
    return false;
}

QList<Event> CompositeCalendarStore::eventsWithPredicate(const EventPredicate &predicate)
{
    QHash<CalendarStore *, QList<Calendar>> byStore;
    for (const Calendar &calendar : predicate.calendars) {
        if (CalendarStore *store = storeOf(calendar.uid))
            byStore[store].append(calendar);
    }
    QList<Event> events;
    for (const Part &part : m_parts) {
        const auto calendars = byStore.constFind(part.store.get());
        if (calendars != byStore.cend())
            events += part.store->eventsWithPredicate(
                eventPredicateWithStartDate(predicate.startDate, predicate.endDate, *calendars));
    }
    return events;
}

bool CompositeCalendarStore::saveEvent(const Event &event, Span span, Error *error)
{
    if (CalendarStore *store = storeOf(event.calendarUid))
        return store->saveEvent(event, span, error);
    if (error)
        *error = Error {EventNotFound, QStringLiteral("the calendar of the event is gone")};
    return false;
}

bool CompositeCalendarStore::isReadOnly(const Event &event) const
{
    const CalendarStore *store = storeOf(event.calendarUid);
    return store && store->isReadOnly(event);
}

std::optional<Event> CompositeCalendarStore::currentEvent(const Event &event)
{
    CalendarStore *store = storeOf(event.calendarUid);
    return store ? store->currentEvent(event) : std::nullopt;
}
