// The user's store of several kinds as one: each call reaches the store of the calendar, and the
// stores' signals are the composite's.
#include "compositecalendarstore.h"
#include "memorycalendarstore.h"

#include <QSignalSpy>
#include <QTest>

namespace {
Event eventOf(const QString &calendar, const QString &title)
{
    const QDateTime start(QDate(2024, 3, 5), QTime(9, 0));
    Event event {title, start, start.addSecs(3600), {}, std::nullopt, calendar, {}};
    event.origin.uid = title;
    return event;
}
} // namespace

class TestCompositeCalendarStore : public QObject
{
    Q_OBJECT

    // Folders "home" and "work" in the first store, "eds/p" (and a "home" of its own) in the second.
    struct Stores
    {
        CompositeCalendarStore composite;
        MemoryCalendarStore *folders = new MemoryCalendarStore;
        MemoryCalendarStore *desktop = new MemoryCalendarStore;
        Stores()
        {
            folders->calendarList = {MemoryCalendarStore::calendar(QStringLiteral("home"), QStringLiteral("Home")),
                                     MemoryCalendarStore::calendar(QStringLiteral("work"), QStringLiteral("Work"))};
            Calendar personal = MemoryCalendarStore::calendar(QStringLiteral("eds/p"), QStringLiteral("Personal"));
            personal.kind = QStringLiteral("eds");
            desktop->calendarList
                = {personal, MemoryCalendarStore::calendar(QStringLiteral("home"), QStringLiteral("Other"))};
            folders->events = {eventOf(QStringLiteral("home"), QStringLiteral("Dentist"))};
            desktop->events = {eventOf(QStringLiteral("eds/p"), QStringLiteral("Meeting"))};
            composite.addStore(std::unique_ptr<CalendarStore>(folders), QStringLiteral("vdir"));
            composite.addStore(std::unique_ptr<CalendarStore>(desktop), QStringLiteral("other"));
        }
    };

private Q_SLOTS:
    void calendarsOfEveryStore()
    {
        Stores stores;
        QStringList listed;
        for (const Calendar &calendar : stores.composite.calendars())
            listed.append(calendar.uid + QLatin1Char('=') + calendar.title + QLatin1Char('/') + calendar.kind);
        // The first store keeps an identifier that a later one gives too.
        QCOMPARE(listed,
                 (QStringList {QStringLiteral("home=Home/vdir"), QStringLiteral("work=Work/vdir"),
                               QStringLiteral("eds/p=Personal/eds")}));
        QCOMPARE(stores.composite.calendarWithUID(QStringLiteral("home"))->title, QStringLiteral("Home"));
        QVERIFY(!stores.composite.calendarWithUID(QStringLiteral("gone")));
    }

    // A query, a save and a look at an event reach the store of its calendar, and no other.
    void callsReachTheCalendarsStore_data()
    {
        QTest::addColumn<QString>("calendar");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("store"); // 0: folders, 1: desktop, -1: none
        QTest::newRow("a folder") << QStringLiteral("home") << QStringLiteral("Dentist") << 0;
        QTest::newRow("a calendar of the desktop") << QStringLiteral("eds/p") << QStringLiteral("Meeting") << 1;
        QTest::newRow("a calendar no store has") << QStringLiteral("gone") << QStringLiteral("Lost") << -1;
    }
    void callsReachTheCalendarsStore()
    {
        QFETCH(QString, calendar);
        QFETCH(QString, title);
        QFETCH(int, store);
        Stores stores;
        MemoryCalendarStore *parts[] = {stores.folders, stores.desktop};
        const QList<Event> found = stores.composite.eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
            QDateTime(QDate(2024, 3, 5), QTime(0, 0)), QDateTime(QDate(2024, 3, 5), QTime(23, 59, 59)),
            {MemoryCalendarStore::calendar(calendar, {})}));
        QCOMPARE(found.size(), store < 0 ? 0 : 1);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(parts[i]->queries.size(), i == store ? 1 : 0);
        CalendarStore::Error error;
        QCOMPARE(stores.composite.saveEvent(eventOf(calendar, title), CalendarStore::CalSpanThisEvent, &error),
                 store >= 0);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(parts[i]->saves.size(), i == store ? 1 : 0);
        QCOMPARE(error.code, store < 0 ? int(CalendarStore::EventNotFound) : int(CalendarStore::NoError));
        QCOMPARE(bool(stores.composite.currentEvent(eventOf(calendar, title))), store >= 0);
    }

    void unreachableInAnyStore()
    {
        Stores stores;
        stores.desktop->unreachable = QStringList {QStringLiteral("eds/q")};
        QVERIFY(stores.composite.isUnreachable(QStringLiteral("eds/q")));
        QVERIFY(!stores.composite.isUnreachable(QStringLiteral("gone")));
    }

    // The stores' signals are the composite's; their calendar changes only while someone listens,
    // and not once the composite was told to stop.
    void signalsOfTheStores()
    {
        Stores stores;
        QSignalSpy problems(&stores.composite, &CalendarStore::problemFound);
        QSignalSpy unavailable(&stores.composite, &CalendarStore::calendarUnavailable);
        Q_EMIT stores.desktop->problemFound(QStringLiteral("a problem"));
        Q_EMIT stores.folders->calendarUnavailable(QStringLiteral("home"), QStringLiteral("why"));
        QCOMPARE(problems.size(), 1);
        QCOMPARE(unavailable.size(), 1);
        const QVariantMap change {{CalendarStore::CalDeletedRecordsKey, QStringList {QStringLiteral("eds/p")}}};
        QSignalSpy changes(&stores.composite, &CalendarStore::calendarsChangedExternally);
        Q_EMIT stores.desktop->calendarsChangedExternally(change);
        QCOMPARE(changes.size(), 1);
        QCOMPARE(changes.first().first().toMap(), change);
        stores.composite.stopWatching();
        Q_EMIT stores.folders->calendarsChangedExternally(change);
        QCOMPARE(changes.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCompositeCalendarStore)
#include "tst_compositecalendarstore.moc"
