// One run of the agent with an injected clock and pause, on a calendar store in memory.
#include "ComKestramoLogger.h"
#include "agentrun.h"
#include "mailapplication.h"
#include "memorycalendarstore.h"
#include "preferenceservice.h"
#include "smtpsink.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>

#include <ctime>

namespace {
// Remembers the queries that the run makes.
class RecordingStore : public MemoryCalendarStore
{
public:
    QList<Event> eventsWithPredicate(const EventPredicate &predicate) override
    {
        queries.append(predicate);
        return MemoryCalendarStore::eventsWithPredicate(predicate);
    }
    QList<EventPredicate> queries;
};

Event makeEvent(const QString &title, const QDateTime &start, const QString &notes,
                const std::optional<QList<Attendee>> &attendees, const QString &calendar = QStringLiteral("home"))
{
    Event e;
    e.title = title;
    e.startDate = start;
    e.endDate = start.addSecs(3600);
    e.notes = notes;
    e.attendees = attendees;
    e.calendarUid = calendar;
    e.origin.uid = title;
    return e;
}

const Attendee me {QStringLiteral("mailto:me@example.com"), QStringLiteral("Me")};

// The messages of the run's log records, without their time stamp, host, sender and level.
QStringList logMessages()
{
    QStringList messages = logRecords(ComKestramoLogger::logFileName());
    for (QString &message : messages) {
        message = message.section(QStringLiteral(">: "), 1);
    }
    return messages;
}

class Fixture
{
public:
    explicit Fixture(const QByteArray &tz = "Europe/Paris") : home(tz)
    {
        store.calendarList = {MemoryCalendarStore::calendar(QStringLiteral("home"), QStringLiteral("Home")),
                              MemoryCalendarStore::calendar(QStringLiteral("work"), QStringLiteral("Work"))};
        home.writeFile(QStringLiteral(".local/share/contacts/default/me.vcf"),
                       "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:me\r\nN:Self;Me;;;\r\nEMAIL:me@example.com\r\nEND:VCARD\r\n");
        home.writeFile(QStringLiteral(".local/share/contacts/me"), "me\n");
        // No mail system unless a test starts one.
        home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("no-bin"))) + ":/usr/bin:/bin");
        MailApplication::setFallbackSendmailPaths({home.filePath(QStringLiteral("no-sendmail"))});
        settings(QStringLiteral("4"), {QStringLiteral("home")});
    }
    ~Fixture() { MailApplication::setFallbackSendmailPaths({}); }

    void settings(const QString &days, const QStringList &active, bool enabled = true)
    {
        PreferenceService domain(QStringLiteral("com.kestramo.ruvelant"));
        domain.setValue(QStringLiteral("quorvelEnabled"), enabled);
        domain.setValue(QStringLiteral("verboseLogging"), true);
        domain.setValue(QStringLiteral("daysBeforeEventStart"), days);
        domain.setValue(QStringLiteral("activeCalendars"), active);
        domain.setValue(QStringLiteral("mailTitle"), QStringLiteral("On <<date>>"));
        domain.setValue(QStringLiteral("mailContent"), QStringLiteral("Dear <<first>>, at <<time>>."));
        QVERIFY(domain.synchronize());
    }

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
        for (const auto &save : store.saves) {
            if (save.first.title == title) {
                return save.first.notes;
            }
        }
        return QString();
    }

    ThrowAwayHome home;
    RecordingStore store;
    QList<std::chrono::microseconds> pauses;
};
} // namespace

class AgentRunTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // The rows' local date-times are made before each fixture sets the same zone.
        qputenv("TZ", "Europe/Paris");
        tzset();
    }

    void reminderWindow_data()
    {
        QTest::addColumn<QString>("days");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QDate>("searched");
        const QDateTime march1 = QDateTime(QDate(2010, 3, 1), QTime(14, 5), Qt::LocalTime);
        QTest::newRow("four days") << "4" << march1 << QDate(2010, 3, 5);
        QTest::newRow("zero") << "0" << march1 << QDate(2010, 3, 1);
        QTest::newRow("empty text") << "" << march1 << QDate(2010, 3, 1);
        QTest::newRow("garbage") << "soon" << march1 << QDate(2010, 3, 1);
        QTest::newRow("leading blanks and trailing text") << "  3 days" << march1 << QDate(2010, 3, 4);
        QTest::newRow("negative") << "-2" << march1 << QDate(2010, 2, 27);
        QTest::newRow("plus sign") << "+3" << march1 << QDate(2010, 3, 4);
        QTest::newRow("sign without digits") << "-" << march1 << QDate(2010, 3, 1);
        // Clocks go forward on 28 March 2010: 4 x 86400 s after 23:30 is 00:30 on the fifth day.
        QTest::newRow("summer time on the way")
            << "4" << QDateTime(QDate(2010, 3, 24), QTime(23, 30), Qt::LocalTime) << QDate(2010, 3, 29);
        // And back on 31 October 2010: 4 x 86400 s after 00:30 is 23:30 on the third day.
        QTest::newRow("winter time on the way")
            << "4" << QDateTime(QDate(2010, 10, 28), QTime(0, 30), Qt::LocalTime) << QDate(2010, 10, 31);
    }
    void reminderWindow()
    {
        QFETCH(QString, days);
        QFETCH(QDateTime, now);
        QFETCH(QDate, searched);
        Fixture fixture;
        fixture.settings(days, {QStringLiteral("home")});
        QCOMPARE(fixture.run(now), 0);
        QCOMPARE(fixture.store.queries.size(), 1);
        const EventPredicate query = fixture.store.queries.first();
        QCOMPARE(query.startDate, QDateTime(searched, QTime(0, 0), Qt::LocalTime));
        QCOMPARE(query.endDate, QDateTime(searched, QTime(23, 59, 59), Qt::LocalTime));
        QCOMPARE(fixture.pauses, QList<std::chrono::microseconds> {std::chrono::microseconds(10000000)});
    }

    void verboseWindowLine()
    {
        Fixture fixture;
        fixture.run();
        const QStringList messages = logMessages();
        QVERIFY(messages.contains(QStringLiteral("secondsDaysBefore=345600.000000\n"
                                                 "dayToBeAlerted=2010-03-05 14:05:00 +0100\n"
                                                 "startDate=2010-03-05 00:00:00 +0100\n"
                                                 "endDate=2010-03-05 23:59:59 +0100")));
        QCOMPARE(messages.first(), QStringLiteral("started -v.5"));
        QCOMPARE(messages.last(), QStringLiteral("terminated"));
    }

    void marker_data()
    {
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("saved"); // null: the event is left alone
        QTest::newRow("notes get a space and the marker") << "Room 12"
                                                          << "Room 12 (*)";
        QTest::newRow("empty notes") << ""
                                     << "(*)";
        QTest::newRow("absent notes") << QString() << "(*)";
        QTest::newRow("marker at the start") << "(*) Room 12" << QString();
        QTest::newRow("marker in the middle") << "Room(*)12" << QString();
        QTest::newRow("marker at the end") << "Room 12(*)" << QString();
        QTest::newRow("spaced marker is no marker") << "( * )"
                                                    << "( * ) (*)";
    }
    void marker()
    {
        QFETCH(QString, notes);
        QFETCH(QString, saved);
        Fixture fixture;
        const QDateTime start(QDate(2010, 3, 5), QTime(9, 0), Qt::LocalTime);
        fixture.store.events = {makeEvent(QStringLiteral("Meeting"), start, notes, QList<Attendee> {me})};
        fixture.run();
        QCOMPARE(fixture.savedNotes(QStringLiteral("Meeting")), saved);
        if (!saved.isNull()) {
            QCOMPARE(fixture.store.saves.first().second, CalendarStore::CalSpanThisEvent);
        }
        // The user's own address is never reminded.
        QVERIFY(logMessages().filter(QStringLiteral("->")).isEmpty());
    }

    void attendeeLists()
    {
        Fixture fixture;
        const QDateTime start(QDate(2010, 3, 5), QTime(9, 0), Qt::LocalTime);
        fixture.store.events = {makeEvent(QStringLiteral("No list"), start, QString(), std::nullopt),
                                makeEvent(QStringLiteral("Empty list"), start, QString(), QList<Attendee> {}),
                                makeEvent(QStringLiteral("Other calendar"), start, QString(), QList<Attendee> {me},
                                          QStringLiteral("work"))};
        fixture.run();
        QVERIFY(fixture.savedNotes(QStringLiteral("No list")).isNull());
        QCOMPARE(fixture.savedNotes(QStringLiteral("Empty list")), QStringLiteral("(*)"));
        QVERIFY(fixture.savedNotes(QStringLiteral("Other calendar")).isNull());
        QVERIFY(logMessages().filter(QStringLiteral("No list")).size() == 1); // in foundEvents only
    }

    void noEnabledCalendarStillQueries()
    {
        Fixture fixture;
        fixture.settings(QStringLiteral("4"), {});
        fixture.run();
        QCOMPARE(fixture.store.queries.size(), 1);
        QVERIFY(fixture.store.queries.first().calendars.isEmpty());
        QVERIFY(logMessages().contains(QStringLiteral("calendarsToBeScanned=(\n)")));
    }

    void switchedOffWritesThreeRecords()
    {
        Fixture fixture;
        fixture.settings(QStringLiteral("4"), {QStringLiteral("home")}, false);
        QCOMPARE(fixture.run(), 0);
        QVERIFY(fixture.store.queries.isEmpty());
        QCOMPARE(
            logMessages(),
            (QStringList {QStringLiteral("started -v.5"), QStringLiteral("exiting, disabled in system preferences"),
                          QStringLiteral("terminated")}));
        QCOMPARE(fixture.pauses.size(), 1);
    }

    void withoutMailSystemNothingIsLostOrMarked()
    {
        Fixture fixture;
        const QDateTime start(QDate(2010, 3, 5), QTime(9, 0), Qt::LocalTime);
        fixture.store.events
            = {makeEvent(QStringLiteral("Meeting"), start, QStringLiteral("Room 12"),
                         QList<Attendee> {{QStringLiteral("mailto:a@example.org"), QStringLiteral("A")},
                                          {QStringLiteral("mailto:b@example.org"), QStringLiteral("B")},
                                          {QStringLiteral("mailto:c@example.org"), QStringLiteral("C")},
                                          {QStringLiteral("tel:123"), QStringLiteral("Phone")}})};
        fixture.run();
        const QStringList messages = logMessages();
        QCOMPARE(messages.filter(QStringLiteral("Cannot create Scripting Bridge to Mail.app")).size(), 3);
        QVERIFY(messages.contains(
            QStringLiteral("Failed to notify 'Phone', its AddressBook contact does not have an email assigned")));
        QVERIFY(messages.contains(QStringLiteral(" Meeting  ->a@example.org")));
        QVERIFY(messages.contains(QStringLiteral("[attendee.address description]=mailto:b@example.org")));
        QVERIFY(fixture.store.saves.isEmpty());
        QCOMPARE(messages.filter(QStringLiteral("No reminder of 'Meeting' reached the mail system")).size(), 1);
    }

    void eachAttendeeGetsOwnReminderAndDuplicatesAreKept()
    {
        Fixture fixture;
        fixture.home.writeFile(QStringLiteral(".local/share/contacts/default/ann.vcf"),
                               "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:ann\r\nN:Lee;Ann;;;\r\nEMAIL:ann@example.org\r\n"
                               "END:VCARD\r\n");
        SmtpSink sink(fixture.home);
        QVERIFY(sink.start());
        const QDateTime start(QDate(2010, 3, 5), QTime(9, 0), Qt::LocalTime);
        const Attendee ann {QStringLiteral("mailto:ann@example.org"), QStringLiteral("Ann")};
        const Attendee bob {QStringLiteral("mailto:bob@example.org"), QStringLiteral("Bob")};
        fixture.store.events
            = {makeEvent(QStringLiteral("Meeting"), start, QString(), QList<Attendee> {ann, bob, ann, me})};
        fixture.run();
        QCOMPARE(fixture.savedNotes(QStringLiteral("Meeting")), QStringLiteral("(*)"));
        const auto messages = sink.messages();
        QCOMPARE(messages.size(), 3);
        QStringList bodies;
        for (const auto &message : messages) {
            bodies.append(QString::fromUtf8(message->to()->addresses().first()) + QLatin1Char(' ')
                          + QString::fromUtf8(message->decodedContent()).trimmed());
        }
        bodies.sort();
        QCOMPARE(bodies.at(0), bodies.at(1));
        QVERIFY2(bodies.at(0).startsWith(QStringLiteral("ann@example.org Dear Ann, at ")), qPrintable(bodies.at(0)));
        QVERIFY2(bodies.at(2).startsWith(QStringLiteral("bob@example.org Dear , at ")), qPrintable(bodies.at(2)));
    }

    void failedSaveIsLogged()
    {
        Fixture fixture;
        fixture.store.failSaves = true;
        fixture.store.events
            = {makeEvent(QStringLiteral("Meeting"), QDateTime(QDate(2010, 3, 5), QTime(9, 0), Qt::LocalTime), QString(),
                         QList<Attendee> {})};
        fixture.run();
        QVERIFY(logMessages().contains(
            QStringLiteral("Error while marking event as notified err:%1").arg(int(CalendarStore::WriteFailed))));
    }
};

QTEST_GUILESS_MAIN(AgentRunTest)
#include "tst_agentrun.moc"
