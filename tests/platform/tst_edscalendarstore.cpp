// The calendar store on Evolution Data Server against a real EDS: its services started by a
// private session bus in a throw-away home, its calendars and events made through libecal as the
// desktop's programs make them.
#include "ComKestramoPreferenceQuorvelModel.h"
#include "datatable.h"
#include "edsbus.h"
#include "edscalendarstore.h"
#include "edsfixture.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <ctime>

namespace {
// The vdir calendars of tests/data whose occurrences the vdir store's test checks, each made an EDS
// calendar with the same events.
const QStringList sharedCalendars {QStringLiteral("work"), QStringLiteral("home")};

QString edsUid(const QString &name)
{
    return EdsCalendarStore::uidPrefix + QStringLiteral("ruvelant-") + name;
}

// "Title start end notes" (local yyyy-MM-ddTHH:mm) of each occurrence, sorted: as the vdir store's
// test describes them.
QStringList described(const QList<Event> &events)
{
    QStringList out;
    const QString format = QStringLiteral("yyyy-MM-ddTHH:mm");
    for (const Event &event : events) {
        out.append(QStringList {event.title, event.startDate.toLocalTime().toString(format),
                                event.endDate.toLocalTime().toString(format), event.notes}
                       .join(QLatin1Char(' '))
                       .trimmed());
    }
    out.sort();
    return out;
}

// The content lines of components as EDS gives them back, without those EDS writes at each save.
QStringList propertiesOf(const QByteArray &component)
{
    QStringList lines;
    for (const QString &line : QString::fromUtf8(component).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
        if (!line.startsWith(QLatin1String("LAST-MODIFIED")) && !line.startsWith(QLatin1Char(' ')))
            lines.append(line);
    }
    return lines;
}

const QByteArray meeting
    = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
      "BEGIN:VEVENT\r\nUID:weekly-1\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Weekly\r\n"
      "DTSTART;TZID=Europe/Paris:20240301T100000\r\nDTEND;TZID=Europe/Paris:20240301T110000\r\n"
      "RRULE:FREQ=WEEKLY;COUNT=10\r\nEXDATE;TZID=Europe/Paris:20240315T100000\r\nDESCRIPTION:Agenda\r\n"
      "ATTENDEE;CN=\"Lee, Ann\";PARTSTAT=ACCEPTED:MAILTO:ann@example.org\r\n"
      "ATTENDEE;CUTYPE=ROOM;CN=Room 4:mailto:room4@example.org\r\n"
      "ATTENDEE;PARTSTAT=DECLINED:mailto:bob@example.org\r\nX-CUSTOM;X-P=1:kept\r\nCATEGORIES:Team\r\n"
      "END:VEVENT\r\n"
      "BEGIN:VEVENT\r\nUID:single-1\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Single\r\n"
      "DTSTART:20240308T140000Z\r\nDTEND:20240308T150000Z\r\nLOCATION:Hall\r\n"
      "ATTENDEE:mailto:carl@example.org\r\nEND:VEVENT\r\n"
      "BEGIN:VEVENT\r\nUID:alone-1\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Alone\r\n"
      "DTSTART;VALUE=DATE:20240308\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";

// The occurrence of the meeting's series on 2024-03-08 as another program changes it: its notes.
QByteArray changedOccurrence(const QByteArray &notes)
{
    return "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:weekly-1\r\nSUMMARY:Weekly\r\n"
           "RECURRENCE-ID;TZID=Europe/Paris:20240308T100000\r\nDTSTART;TZID=Europe/Paris:20240308T100000\r\n"
           "DTEND;TZID=Europe/Paris:20240308T110000\r\nDESCRIPTION:"
        + notes + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}
} // namespace

class TestEdsCalendarStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<EdsBus> m_bus;
    std::unique_ptr<EdsFixture> m_eds;
    std::unique_ptr<EdsCalendarStore> m_store;

    QList<Event> on(const QDate &day, const QStringList &uids)
    {
        QList<Calendar> calendars;
        for (const QString &uid : uids)
            calendars.append({uid, uid, CalendarStore::CalCalendarTypeLocal});
        return m_store->eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
            QDateTime(day, QTime(0, 0)), QDateTime(day, QTime(23, 59, 59)), calendars));
    }
    Event find(const QDate &day, const QString &calendar, const QString &title)
    {
        const QList<Event> events = on(day, {calendar});
        const auto it = std::find_if(events.cbegin(), events.cend(), [&](const Event &e) { return e.title == title; });
        return it == events.cend() ? Event() : *it;
    }
    void setZone(const QString &zone)
    {
        m_home->setEnv("TZ", zone.toLatin1());
        tzset();
    }
    // A new calendar "name" holding the meeting's events.
    QString meetingCalendar(const QString &name)
    {
        if (!m_eds->addLocalCalendar(QStringLiteral("ruvelant-") + name, name)
            || !m_eds->addEvents(QStringLiteral("ruvelant-") + name, meeting))
            return QString();
        return edsUid(name);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_home = std::make_unique<ThrowAwayHome>("Europe/Paris");
        m_home->setEnv("GSETTINGS_BACKEND", "keyfile");
        m_bus = std::make_unique<EdsBus>(m_home->filePath(QStringLiteral("bus")));
        QVERIFY(m_bus->start());
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
        m_eds = std::make_unique<EdsFixture>();
        QVERIFY(m_eds->connect());
        // The vdir store's calendars of tests/data, as EDS calendars.
        for (const QString &name : sharedCalendars) {
            QVERIFY(m_eds->addLocalCalendar(QStringLiteral("ruvelant-") + name, name));
            const QString folder = QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/calendars/vdir/") + name;
            for (QDirIterator it(folder, {QStringLiteral("*.ics")}, QDir::Files); it.hasNext();) {
                const QString file = it.next();
                if (!m_eds->addEvents(QStringLiteral("ruvelant-") + name, readFile(file)))
                    qWarning("EDS does not take %s", qPrintable(file));
            }
        }
        m_store = std::make_unique<EdsCalendarStore>();
    }
    void cleanupTestCase()
    {
        m_store.reset();
        m_eds.reset();
        m_bus.reset();
        m_home.reset();
    }
    void init() { setZone(QStringLiteral("Europe/Paris")); }

    // The rows of the vdir store's own table for its calendars work and home: EDS gives the same
    // occurrences of the same events.
    void sameOccurrencesAsTheVdirStore_data()
    {
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QDate>("day");
        QTest::addColumn<QStringList>("uids");
        QTest::addColumn<QStringList>("expected");
        for (const auto &[tag, cells] : readTable(QStringLiteral("calendars/occurrences.txt"))) {
            const QStringList names = cells.at(2).split(QLatin1Char(','), Qt::SkipEmptyParts);
            const bool shared = !names.isEmpty() && std::all_of(names.cbegin(), names.cend(), [](const QString &n) {
                return sharedCalendars.contains(n);
            });
            if (!shared)
                continue;
            QStringList uids;
            for (const QString &name : names)
                uids.append(edsUid(name));
            QTest::newRow(tag.constData())
                << cells.at(0) << QDate::fromString(cells.at(1), Qt::ISODate) << uids << QStringList(cells.mid(3));
        }
    }
    void sameOccurrencesAsTheVdirStore()
    {
        QFETCH(QString, zone);
        QFETCH(QDate, day);
        QFETCH(QStringList, uids);
        QFETCH(QStringList, expected);
        setZone(zone);
        QCOMPARE(described(on(day, uids)), expected);
    }

    void attendeesAsWritten()
    {
        const QString uid = meetingCalendar(QStringLiteral("attendees"));
        QVERIFY(!uid.isEmpty());
        const Event weekly = find(QDate(2024, 3, 8), uid, QStringLiteral("Weekly"));
        QVERIFY(weekly.attendees);
        QCOMPARE(weekly.attendees->size(), 3);
        const Attendee &ann = weekly.attendees->at(0);
        QCOMPARE(ann.address, "mailto:ann@example.org"_qs); // the scheme in lower case, as read from files
        QCOMPARE(ann.commonName, "Lee, Ann"_qs);
        QCOMPARE(ann.participationStatus, "ACCEPTED"_qs);
        QCOMPARE(weekly.attendees->at(1).userType, "ROOM"_qs);
        QCOMPARE(weekly.attendees->at(2).participationStatus, "DECLINED"_qs);
        QCOMPARE(weekly.notes, "Agenda"_qs);
        QCOMPARE(weekly.origin.uid, "weekly-1"_qs);
        QCOMPARE(weekly.origin.recurrenceId, QDateTime(QDate(2024, 3, 8), QTime(10, 0)));
        const Event single = find(QDate(2024, 3, 8), uid, QStringLiteral("Single"));
        QVERIFY(single.notes.isNull()); // no DESCRIPTION at all
        QVERIFY(!single.origin.recurrenceId.isValid());
        QVERIFY(!find(QDate(2024, 3, 8), uid, QStringLiteral("Alone")).attendees);
        QVERIFY(find(QDate(2024, 3, 15), uid, QStringLiteral("Weekly")).title.isEmpty()); // excluded
    }

    // Saving the notes of one occurrence: EDS holds an override of it with every other property
    // of the series; the series and the other occurrences stay as they were.
    void savingOneOccurrence()
    {
        const QString uid = meetingCalendar(QStringLiteral("one"));
        QVERIFY(!uid.isEmpty());
        const QList<QByteArray> before = m_eds->components(QStringLiteral("ruvelant-one"), QStringLiteral("weekly-1"));
        QCOMPARE(before.size(), 1);
        Event weekly = find(QDate(2024, 3, 8), uid, QStringLiteral("Weekly"));
        weekly.notes = QStringLiteral("Agenda (*)");
        CalendarStore::Error error;
        QVERIFY2(m_store->saveEvent(weekly, CalendarStore::CalSpanThisEvent, &error), qPrintable(error.message));

        const QList<QByteArray> after = m_eds->components(QStringLiteral("ruvelant-one"), QStringLiteral("weekly-1"));
        QCOMPARE(after.size(), 2);
        const QByteArray master = after.at(0).contains("RECURRENCE-ID") ? after.at(1) : after.at(0);
        const QByteArray occurrence = after.at(0).contains("RECURRENCE-ID") ? after.at(0) : after.at(1);
        QCOMPARE(propertiesOf(master), propertiesOf(before.first()));
        QStringList expected = propertiesOf(before.first());
        expected.replaceInStrings(QStringLiteral("20240301T1"), QStringLiteral("20240308T1"));
        expected.removeAll(QStringLiteral("DESCRIPTION:Agenda"));
        expected.removeAll(QStringLiteral("RRULE:FREQ=WEEKLY;COUNT=10"));
        expected = expected.filter(QRegularExpression(QStringLiteral("^(?!RRULE|EXDATE)")));
        QStringList got = propertiesOf(occurrence);
        QVERIFY2(got.removeAll(QStringLiteral("DESCRIPTION:Agenda (*)")) == 1, qPrintable(got.join(u'\n')));
        QVERIFY2(got.removeAll(QStringLiteral("RECURRENCE-ID;TZID=Europe/Paris:20240308T100000")) == 1,
                 qPrintable(got.join(u'\n')));
        got.sort();
        expected.sort();
        QCOMPARE(got, expected);

        // Read again: that occurrence has the new notes, the others the old ones.
        QCOMPARE(find(QDate(2024, 3, 8), uid, QStringLiteral("Weekly")).notes, "Agenda (*)"_qs);
        QCOMPARE(find(QDate(2024, 3, 8), uid, QStringLiteral("Weekly")).startDate,
                 QDateTime(QDate(2024, 3, 8), QTime(10, 0)));
        QCOMPARE(find(QDate(2024, 3, 22), uid, QStringLiteral("Weekly")).notes, "Agenda"_qs);
        // Saved again, the override changes, and nothing else.
        Event again = find(QDate(2024, 3, 8), uid, QStringLiteral("Weekly"));
        again.notes = QStringLiteral("Agenda (*) (*)");
        QVERIFY(m_store->saveEvent(again, CalendarStore::CalSpanThisEvent, &error));
        QCOMPARE(m_eds->components(QStringLiteral("ruvelant-one"), QStringLiteral("weekly-1")).size(), 2);
        QCOMPARE(find(QDate(2024, 3, 8), uid, QStringLiteral("Weekly")).notes, "Agenda (*) (*)"_qs);
    }

    void savingASingleEvent()
    {
        const QString uid = meetingCalendar(QStringLiteral("single"));
        QVERIFY(!uid.isEmpty());
        const QList<QByteArray> before
            = m_eds->components(QStringLiteral("ruvelant-single"), QStringLiteral("single-1"));
        Event single = find(QDate(2024, 3, 8), uid, QStringLiteral("Single"));
        single.notes = QStringLiteral("(*)");
        CalendarStore::Error error;
        QVERIFY2(m_store->saveEvent(single, CalendarStore::CalSpanThisEvent, &error), qPrintable(error.message));
        const QList<QByteArray> after
            = m_eds->components(QStringLiteral("ruvelant-single"), QStringLiteral("single-1"));
        QCOMPARE(after.size(), 1);
        QStringList got = propertiesOf(after.first());
        QVERIFY(got.removeAll(QStringLiteral("DESCRIPTION:(*)")) == 1);
        QCOMPARE(got, propertiesOf(before.first()));
    }

    void failedSaves_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("span");
        QTest::addColumn<int>("code");
        row("read-only calendar", "read-only", int(CalendarStore::CalSpanThisEvent), int(CalendarStore::ReadOnly));
        row("notes changed since read", "notes", int(CalendarStore::CalSpanThisEvent),
            int(CalendarStore::ChangedOnDisk));
        row("event removed since read", "removed", int(CalendarStore::CalSpanThisEvent),
            int(CalendarStore::EventNotFound));
        row("calendar removed since read", "calendar", int(CalendarStore::CalSpanThisEvent),
            int(CalendarStore::EventNotFound));
        row("every occurrence at once", "", int(CalendarStore::CalSpanAllEvents), int(CalendarStore::NotSupported));
    }
    void failedSaves()
    {
        QFETCH(QString, change);
        QFETCH(int, span);
        QFETCH(int, code);
        static int made = 0;
        const QString name = QStringLiteral("failing%1").arg(++made);
        const QString source = QStringLiteral("ruvelant-") + name;
        QString uid;
        if (change == QLatin1String("read-only")) {
            const QString file = m_home->filePath(name + QStringLiteral(".ics"));
            m_home->writeFile(name + QStringLiteral(".ics"), meeting);
            QVERIFY(m_eds->addReadOnlyCalendar(source, name, file));
            uid = edsUid(name);
        } else {
            uid = meetingCalendar(name);
        }
        Event weekly = find(QDate(2024, 3, 8), uid, QStringLiteral("Weekly"));
        QVERIFY(!weekly.title.isEmpty());
        if (change == QLatin1String("notes")) {
            QVERIFY(m_eds->addEvents(source, changedOccurrence("New agenda")));
        } else if (change == QLatin1String("removed")) {
            QVERIFY(m_eds->removeEvent(source, QStringLiteral("weekly-1")));
        } else if (change == QLatin1String("calendar")) {
            QVERIFY(m_eds->remove(source));
        }
        const QList<QByteArray> before = m_eds->components(source, QStringLiteral("weekly-1"));
        weekly.notes = QStringLiteral("Agenda (*)");
        CalendarStore::Error error;
        QVERIFY(!m_store->saveEvent(weekly, CalendarStore::Span(span), &error));
        QCOMPARE(error.code, code);
        QVERIFY(!error.message.isEmpty());
        QCOMPARE(m_eds->components(source, QStringLiteral("weekly-1")), before); // nothing written
        QCOMPARE(m_store->isReadOnly(weekly), code == CalendarStore::ReadOnly);
    }

    void currentEventReadsTheOccurrenceAgain()
    {
        const QString uid = meetingCalendar(QStringLiteral("current"));
        const Event weekly = find(QDate(2024, 3, 8), uid, QStringLiteral("Weekly"));
        std::optional<Event> now = m_store->currentEvent(weekly);
        QVERIFY(now);
        QCOMPARE(now->origin.fingerprint, weekly.origin.fingerprint);
        // Another program gives that occurrence other notes: the store reads them, and saving on
        // the occurrence as read now succeeds.
        QVERIFY(m_eds->addEvents(QStringLiteral("ruvelant-current"), changedOccurrence("Other")));
        now = m_store->currentEvent(weekly);
        QVERIFY(now);
        QCOMPARE(now->notes, "Other"_qs);
        Event marked = *now;
        marked.notes = QStringLiteral("Other (*)");
        QVERIFY(m_store->saveEvent(marked, CalendarStore::CalSpanThisEvent, nullptr));
        // The single event moved to another time is another occurrence.
        const Event single = find(QDate(2024, 3, 8), uid, QStringLiteral("Single"));
        QVERIFY(m_store->currentEvent(single));
        QVERIFY(m_eds->addEvents(QStringLiteral("ruvelant-current"),
                                 "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:single-1\r\nSUMMARY:Single\r\n"
                                 "DTSTART:20240308T160000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n"));
        QVERIFY(!m_store->currentEvent(single));
        QVERIFY(m_eds->remove(QStringLiteral("ruvelant-current")));
        QVERIFY(!m_store->currentEvent(weekly));
    }

    void calendarsAndTheirIdentifiers()
    {
        QVERIFY(m_eds->addLocalCalendar(QStringLiteral("ruvelant-off"), QStringLiteral("Switched off")));
        QVERIFY(m_eds->setEnabled(QStringLiteral("ruvelant-off"), false));
        const QList<Calendar> calendars = m_store->calendars();
        const auto work = std::find_if(calendars.cbegin(), calendars.cend(),
                                       [](const Calendar &c) { return c.uid == edsUid(QStringLiteral("work")); });
        QVERIFY(work != calendars.cend());
        QCOMPARE(work->title, "work"_qs);
        QCOMPARE(work->kind, "eds"_qs);
        QCOMPARE(work->account, "On This Computer"_qs);
        QCOMPARE(work->type, CalendarStore::CalCalendarTypeLocal);
        QVERIFY(std::none_of(calendars.cbegin(), calendars.cend(),
                             [](const Calendar &c) { return c.uid == edsUid(QStringLiteral("off")); }));
        QVERIFY(m_store->calendarWithUID(edsUid(QStringLiteral("work"))));
        QVERIFY(!m_store->calendarWithUID(edsUid(QStringLiteral("off"))));
        QVERIFY(!m_store->calendarWithUID(QStringLiteral("ruvelant-work"))); // a vdir folder's name
        QVERIFY(!m_store->isUnreachable(edsUid(QStringLiteral("gone"))));
        // Ordered by account, then title: the built-in "Personal" among this computer's.
        QStringList titles;
        for (const Calendar &calendar : calendars) {
            if (calendar.account == QLatin1String("On This Computer"))
                titles.append(calendar.title);
        }
        QStringList sorted = titles;
        std::sort(sorted.begin(), sorted.end(),
                  [](const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
        QCOMPARE(titles, sorted);
        QVERIFY(titles.contains(QStringLiteral("Personal")));
    }

    // Calendars added, renamed, switched off and removed in EDS reach a listener one by one, and a
    // listening settings model (the pane's) follows them.
    void changesAreAnnounced()
    {
        storePreferences({{QStringLiteral("activeCalendars"),
                           QStringList {edsUid(QStringLiteral("work")), edsUid(QStringLiteral("watched"))}}});
        EdsCalendarStore store;
        QSignalSpy changes(&store, &CalendarStore::calendarsChangedExternally);
        ComKestramoPreferenceQuorvelModel model(true, &store);
        const auto listed = [&model](const QString &name) {
            const auto entries = model.allCalendars();
            const auto it = std::find_if(entries.cbegin(), entries.cend(), [&](const ComKestramoCalendarEntry *e) {
                return e->calendaUID() == edsUid(name);
            });
            return it == entries.cend() ? QString() : (*it)->calendarTitle();
        };
        const auto expect = [&changes](const QString &key, const QString &name) {
            QVERIFY(!changes.isEmpty() || changes.wait(10000));
            QCOMPARE(changes.takeFirst().at(0).toMap(), (QVariantMap {{key, QStringList {edsUid(name)}}}));
        };
        QVERIFY(m_eds->addLocalCalendar(QStringLiteral("ruvelant-watched"), QStringLiteral("Watched")));
        expect(CalendarStore::CalInsertedRecordsKey, QStringLiteral("watched"));
        QCOMPARE(listed(QStringLiteral("watched")), "Watched"_qs);
        QVERIFY(m_eds->rename(QStringLiteral("ruvelant-watched"), QStringLiteral("Renamed")));
        expect(CalendarStore::CalUpdatedRecordsKey, QStringLiteral("watched"));
        QCOMPARE(listed(QStringLiteral("watched")), "Renamed"_qs);
        QVERIFY(m_eds->setEnabled(QStringLiteral("ruvelant-watched"), false));
        expect(CalendarStore::CalDeletedRecordsKey, QStringLiteral("watched"));
        QVERIFY(listed(QStringLiteral("watched")).isNull());
        QVERIFY(m_eds->setEnabled(QStringLiteral("ruvelant-watched"), true));
        expect(CalendarStore::CalInsertedRecordsKey, QStringLiteral("watched"));
        // Removed while the pane is open: it leaves the list, and the settings, at once.
        QVERIFY(m_eds->remove(QStringLiteral("ruvelant-watched")));
        expect(CalendarStore::CalDeletedRecordsKey, QStringLiteral("watched"));
        QVERIFY(listed(QStringLiteral("watched")).isNull());
        QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(),
                 QStringList {edsUid(QStringLiteral("work"))});
        QVERIFY(!changes.wait(500)); // nothing else
    }

    // Without a session bus (a server, cron's plain environment), the store holds nothing, says
    // so once, and tells that a calendar of its kind could not be searched.
    void withoutASessionBus()
    {
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", QByteArray());
        EdsCalendarStore store;
        QSignalSpy notices(&store, &CalendarStore::noticeFound);
        QSignalSpy unavailable(&store, &CalendarStore::calendarUnavailable);
        QVERIFY(store.calendars().isEmpty());
        QVERIFY(store.calendars().isEmpty());
        QCOMPARE(notices.size(), 1);
        QVERIFY(notices.first().at(0).toString().contains(QStringLiteral("no session bus")));
        QVERIFY(!store.calendarWithUID(edsUid(QStringLiteral("work"))));
        QVERIFY(store.isUnreachable(edsUid(QStringLiteral("work"))));
        QVERIFY(!store.isUnreachable(QStringLiteral("work")));
        QVERIFY(store
                    .eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
                        QDateTime(QDate(2010, 3, 5), QTime(0, 0)), QDateTime(QDate(2010, 3, 5), QTime(23, 59, 59)),
                        {Calendar {edsUid(QStringLiteral("work")), {}, {}}}))
                    .isEmpty());
        QCOMPARE(unavailable.size(), 1);
        QCOMPARE(unavailable.first().at(0).toString(), edsUid(QStringLiteral("work")));
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
    }
};

QTEST_GUILESS_MAIN(TestEdsCalendarStore)
#include "tst_edscalendarstore.moc"
