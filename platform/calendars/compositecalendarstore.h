#ifndef RUVELANT_COMPOSITECALENDARSTORE_H
#define RUVELANT_COMPOSITECALENDARSTORE_H

#include "calendarstore.h"

#include <QHash>

#include <memory>
#include <vector>

// The calendars of several stores as one store: the user's vdir folders and the desktop's
// stores. The stores' identifiers never collide (each kind has its own form), and each call about
// a calendar or an event goes to the store that gave its calendar; queries are split by store.
// The stores' signals are the composite's.
class CompositeCalendarStore : public CalendarStore
{
    Q_OBJECT
public:
    using CalendarStore::CalendarStore;
    ~CompositeCalendarStore() override;

    // Adds a store, owned from now on; kind names its calendars' Calendar::kind where it does not.
    void addStore(std::unique_ptr<CalendarStore> store, const QString &kind);
    // Stops passing on the stores' calendar changes for good (a replaced default store).
    void stopWatching();

    // The calendars of each store in turn, in each store's order.
    QList<Calendar> calendars() const override;
    std::optional<Calendar> calendarWithUID(const QString &uid) const override;
    // Each store's occurrences in turn; a calendar that no store has gives none.
    QList<Event> eventsWithPredicate(const EventPredicate &predicate) override;
    // EventNotFound for an event of a calendar that no store has.
    bool saveEvent(const Event &event, Span span, Error *error) override;
    bool isReadOnly(const Event &event) const override;
    std::optional<Event> currentEvent(const Event &event) override;
    bool isUnreachable(const QString &uid) const override;

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    struct Part
    {
        std::unique_ptr<CalendarStore> store;
        QString kind;
    };
    // The store that has the calendar, or nullptr; remembered once known.
    CalendarStore *storeOf(const QString &calendarUid) const;
    Calendar named(Calendar calendar, const Part &part) const;

    std::vector<Part> m_parts;
    mutable QHash<QString, CalendarStore *> m_owners; // calendar -> store
    bool m_watching = false;
    bool m_stopped = false;
};

#endif
