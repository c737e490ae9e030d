// One run of the agent with an injected clock and pause, on a calendar store in memory.
#include "ComKestramoLogger.h"
#include "agentrun.h"
#include "mailapplication.h"
#include "memorycalendarstore.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>

namespace {
const Attendee me {QStringLiteral("mailto:me@example.com"), QStringLiteral("Me")};

// An hour at 09:00 on the day that a run on 1 March 2010 searches with 4 days.
Event makeEvent(const QString &title, const QString &notes, const std::optional<QList<Attendee>> &attendees,
                const QString &calendar = QStringLiteral("home"))
{
    const QDateTime start(QDate(2010, 3, 5), QTime(9, 0), Qt::LocalTime);
    return Event {title, start, start.addSecs(3600), notes, attendees, calendar, {QString(), title, {}, {}}};
}

// The run's log records as "<Level>: message", without time stamp, host and sender.
QStringList logMessages()
{
    QStringList messages = logRecords(ComKestramoLogger::logFileName());
    for (QString &message : messages) {
        message = message.section(QStringLiteral("] "), 1);
    }
    return messages;
}

// A home with the usual settings and address book (the "me" card has me@example.com), the
// calendars "home" and "work" in memory, and no mail system unless a test starts one.
class Fixture
{
public:
    Fixture()
    {
        store.calendarList = {MemoryCalendarStore::calendar(QStringLiteral("home"), QStringLiteral("Home")),
                              MemoryCalendarStore::calendar(QStringLiteral("work"), QStringLiteral("Work"))};
        home.copyFixture(QStringLiteral("agent/contacts"), QStringLiteral(".local/share/contacts"));
        home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("no-bin"))) + ":/usr/bin:/bin");
        MailApplication::setFallbackSendmailPaths({home.filePath(QStringLiteral("no-sendmail"))});
        storePreferences();
    }
    ~Fixture() { MailApplication::setFallbackSendmailPaths({}); }

    int run(const QDateTime &now = QDateTime(QDate(2010, 3, 1), QTime(14, 5), Qt::LocalTime))
    {
        AgentRunEnvironment environment;
        environment.now = [now] { return now; };
        environment.pause = [this](std::chrono::microseconds pause) { pauses.append(pause); };
        environment.store = &store;
        return runAgent(environment);
    }

    // The notes that the run saved for the event of this title, or a null text.
    QString savedNotes(const QString &title) const
    {
        const auto saved = std::find_if(store.saves.cbegin(), store.saves.cend(),
                                        [&](const auto &save) { return save.first.title == title; });
        return saved == store.saves.cend() ? QString() : saved->first.notes;
    }

    ThrowAwayHome home;
    MemoryCalendarStore store;
    QList<std::chrono::microseconds> pauses;
};
} // namespace

class AgentRunTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void reminderWindow_data()
    {
        QTest::addColumn<QString>("days");
        QTest::addColumn<QString>("now"); // local time, read once the fixture has set the zone
        QTest::addColumn<QString>("searched");
        const auto row = [](const char *name, const char *days, const char *searched,
                            const char *now = "2010-03-01T14:05") {
            QTest::newRow(name) << QString::fromUtf8(days) << QString::fromUtf8(now) << QString::fromUtf8(searched);
        };
        row("four days", "4", "2010-03-05");
        row("zero", "0", "2010-03-01");
        row("empty text", "", "2010-03-01");
        row("garbage", "soon", "2010-03-01");
        row("leading blanks and trailing text", "  3 days", "2010-03-04");
        row("negative", "-2", "2010-02-27");
        row("plus sign", "+3", "2010-03-04");
        row("sign without digits", "-", "2010-03-01");
        // Clocks go forward on 28 March 2010: 4 x 86400 s after 23:30 is 00:30 on the fifth day.
        row("summer time on the way", "4", "2010-03-29", "2010-03-24T23:30");
        // And back on 31 October 2010: 4 x 86400 s after 00:30 is 23:30 on the third day.
        row("winter time on the way", "4", "2010-10-31", "2010-10-28T00:30");
    }
    void reminderWindow()
    {
        QFETCH(QString, days);
        QFETCH(QString, now);
        QFETCH(QString, searched);
        Fixture fixture;
        storePreferences({{QStringLiteral("daysBeforeEventStart"), days}});
        QCOMPARE(fixture.run(QDateTime::fromString(now, Qt::ISODate)), 0);
        QCOMPARE(fixture.store.queries.size(), 1);
        const QDate day = QDate::fromString(searched, Qt::ISODate);
        QCOMPARE(fixture.store.queries.first().startDate, QDateTime(day, QTime(0, 0), Qt::LocalTime));
        QCOMPARE(fixture.store.queries.first().endDate, QDateTime(day, QTime(23, 59, 59), Qt::LocalTime));
        QCOMPARE(fixture.pauses, QList<std::chrono::microseconds> {std::chrono::microseconds(10000000)});
    }

    // With no calendar ticked the run still searches (no calendar) and logs its window.
    void verboseLogOfAnEmptySearch()
    {
        Fixture fixture;
        storePreferences({{QStringLiteral("activeCalendars"), QStringList()}});
        fixture.run();
        QCOMPARE(fixture.store.queries.size(), 1);
        QVERIFY(fixture.store.queries.first().calendars.isEmpty());
        const QStringList messages = logMessages();
        QVERIFY(messages.contains(QStringLiteral("<Info>: secondsDaysBefore=345600.000000\n"
                                                 "dayToBeAlerted=2010-03-05 14:05:00 +0100\n"
                                                 "startDate=2010-03-05 00:00:00 +0100\n"
                                                 "endDate=2010-03-05 23:59:59 +0100")));
        QVERIFY(messages.contains(QStringLiteral("<Info>: calendarsToBeScanned=(\n)")));
        QCOMPARE(messages.first(), QStringLiteral("<Info>: started -v.5"));
        QCOMPARE(messages.last(), QStringLiteral("<Info>: terminated"));
    }

    void marker_data()
    {
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("saved"); // null: the event is left alone
        const auto row = [](const char *name, const char *notes, const char *saved) {
            QTest::newRow(name) << QString::fromUtf8(notes) << QString::fromUtf8(saved);
        };
        row("notes get a space and the marker", "Room 12", "Room 12 (*)");
        row("empty notes", "", "(*)");
        row("absent notes", nullptr, "(*)");
        row("marker at the start", "(*) Room 12", nullptr);
        row("marker in the middle", "Room(*)12", nullptr);
        row("marker at the end", "Room 12(*)", nullptr);
        row("spaced marker is no marker", "( * )", "( * ) (*)");
    }
    void marker()
    {
        QFETCH(QString, notes);
        QFETCH(QString, saved);
        Fixture fixture;
        fixture.store.events = {makeEvent(QStringLiteral("Meeting"), notes, QList<Attendee> {me})};
        fixture.run();
        QCOMPARE(fixture.savedNotes(QStringLiteral("Meeting")), saved);
        if (!saved.isNull()) {
            QCOMPARE(fixture.store.saves.first().second, CalendarStore::CalSpanThisEvent);
        }
        // The user's own address is never reminded.
        QVERIFY(logMessages().filter(QStringLiteral("->")).isEmpty());
    }

    // Only events with an attendee list are marked, and only in the ticked calendars; a marker
    // that cannot be saved is logged.
    void attendeeListsAndFailedSave()
    {
        Fixture fixture;
        fixture.store.failSaves = true;
        fixture.store.events
            = {makeEvent(QStringLiteral("No list"), QString(), std::nullopt),
               makeEvent(QStringLiteral("Empty list"), QString(), QList<Attendee> {}),
               makeEvent(QStringLiteral("Other calendar"), QString(), QList<Attendee> {me}, QStringLiteral("work"))};
        fixture.run();
        QVERIFY(fixture.savedNotes(QStringLiteral("No list")).isNull());
        QCOMPARE(fixture.savedNotes(QStringLiteral("Empty list")), QStringLiteral("(*)"));
        QVERIFY(fixture.savedNotes(QStringLiteral("Other calendar")).isNull());
        const QStringList messages = logMessages();
        QVERIFY(messages.filter(QStringLiteral("No list")).size() == 1); // in foundEvents only
        QVERIFY(messages.contains(QStringLiteral("<Error>: Error while marking event as notified err:%1")
                                      .arg(int(CalendarStore::WriteFailed))));
    }

    void withoutMailSystemNothingIsLostOrMarked()
    {
        Fixture fixture;
        fixture.store.events
            = {makeEvent(QStringLiteral("Meeting"), QStringLiteral("Room 12"),
                         QList<Attendee> {{QStringLiteral("mailto:a@example.org"), QStringLiteral("A")},
                                          {QStringLiteral("mailto:b@example.org"), QStringLiteral("B")},
                                          {QStringLiteral("mailto:c@example.org"), QStringLiteral("C")},
                                          {QStringLiteral("tel:123"), QStringLiteral("Phone")}})};
        fixture.run();
        const QStringList messages = logMessages();
        QCOMPARE(messages.filter(QStringLiteral("<Error>: Cannot create Scripting Bridge to Mail.app")).size(), 3);
        QVERIFY(messages.contains(QStringLiteral(
            "<Error>: Failed to notify 'Phone', its AddressBook contact does not have an email assigned")));
        QVERIFY(messages.contains(QStringLiteral("<Info>:  Meeting  ->a@example.org")));
        QVERIFY(messages.contains(QStringLiteral("<Info>: [attendee.address description]=mailto:b@example.org")));
        QVERIFY(fixture.store.saves.isEmpty());
        QCOMPARE(messages.filter(QStringLiteral("<Error>: No reminder of 'Meeting' reached the mail system")).size(),
                 1);
    }
};

QTEST_GUILESS_MAIN(AgentRunTest)
#include "tst_agentrun.moc"
