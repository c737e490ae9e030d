// The expansion of EDS's events into occurrences (EdsOccurrences), on components as EDS holds
// them, without EDS: which occurrences meet a day, and the override that a save of one occurrence
// gives EDS.
#include "edsoccurrences.h"
#include "throwawayhome.h"

#include <QTest>

namespace {
// The zones a calendar's TZIDs name, from libical's own (EDS's client knows the calendar's).
ICalTimezone *builtinZone(const gchar *tzid, gpointer, GCancellable *, GError **)
{
    return i_cal_timezone_get_builtin_timezone(tzid);
}

const QByteArray series = "BEGIN:VEVENT\nUID:s\nDTSTAMP:20240101T000000Z\nSUMMARY:Daily\n"
                          "DTSTART;TZID=Europe/Paris:20240301T100000\nDTEND;TZID=Europe/Paris:20240301T110000\n"
                          "RRULE:FREQ=DAILY;COUNT=20\nEND:VEVENT\n";

QList<GRef<ICalComponent>> componentsOf(const QByteArray &text)
{
    QList<GRef<ICalComponent>> components;
    const QList<QByteArray> parts = text.split('\x01');
    for (const QByteArray &part : parts) {
        if (!part.trimmed().isEmpty())
            components.append(GRef<ICalComponent>::take(i_cal_component_new_from_string(part.constData())));
    }
    return components;
}

QList<ICalComponent *> pointers(const QList<GRef<ICalComponent>> &components)
{
    QList<ICalComponent *> result;
    for (const GRef<ICalComponent> &component : components)
        result.append(component.get());
    return result;
}

// "start end [original start] SUMMARY", local time.
QString described(const EdsOccurrence &occurrence)
{
    const QString format = QStringLiteral("MM-dd HH:mm");
    return QStringLiteral("%1 %2 [%3] %4")
        .arg(occurrence.start.toString(format), occurrence.end.toString(format),
             occurrence.recurrenceId.isValid() ? occurrence.recurrenceId.toString(format) : QStringLiteral("-"),
             QString::fromUtf8(i_cal_component_get_summary(occurrence.source.get())));
}

// The content lines of a component, without the ones that change every time.
QStringList linesOf(ICalComponent *component)
{
    gchar *text = i_cal_component_as_ical_string(component);
    QStringList lines = QString::fromUtf8(text).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    g_free(text);
    return lines;
}
} // namespace

class TestEdsOccurrences : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;

    EdsOccurrences expansion() const
    {
        return EdsOccurrences(builtinZone, nullptr, i_cal_timezone_get_builtin_timezone("Europe/Paris"), nullptr);
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<ThrowAwayHome>("Europe/Paris"); }
    void cleanup() { m_home.reset(); }

    // Components are separated by \x01; the day is 2024-03-05 in Paris.
    void onTheDay_data()
    {
        QTest::addColumn<QByteArray>("components");
        QTest::addColumn<QStringList>("expected");
        const auto event = [](const QByteArray &lines) {
            return "BEGIN:VEVENT\nUID:e\nDTSTAMP:20240101T000000Z\nSUMMARY:One\n" + lines + "END:VEVENT\n";
        };
        QTest::newRow("single event of the day")
            << event("DTSTART;TZID=Europe/Paris:20240305T100000\nDTEND;TZID=Europe/Paris:20240305T110000\n")
            << QStringList {"03-05 10:00 03-05 11:00 [-] One"_qs};
        QTest::newRow("ending at midnight of the day is not on it")
            << event("DTSTART;TZID=Europe/Paris:20240304T220000\nDTEND;TZID=Europe/Paris:20240305T000000\n")
            << QStringList();
        QTest::newRow("crossing midnight into the day")
            << event("DTSTART;TZID=Europe/Paris:20240304T220000\nDTEND;TZID=Europe/Paris:20240305T020000\n")
            << QStringList {"03-04 22:00 03-05 02:00 [-] One"_qs};
        QTest::newRow("without length at midnight") << event("DTSTART;TZID=Europe/Paris:20240305T000000\n")
                                                    << QStringList {"03-05 00:00 03-05 00:00 [-] One"_qs};
        QTest::newRow("length as DURATION") << event("DTSTART;TZID=Europe/Paris:20240305T233000\nDURATION:PT2H\n")
                                            << QStringList {"03-05 23:30 03-06 01:30 [-] One"_qs};
        QTest::newRow("zoned in New York, the day in Paris")
            << event("DTSTART;TZID=America/New_York:20240304T200000\nDTEND;TZID=America/New_York:20240304T210000\n")
            << QStringList {"03-05 02:00 03-05 03:00 [-] One"_qs};
        QTest::newRow("UTC, just after the day in Paris")
            << event("DTSTART:20240305T230000Z\nDTEND:20240305T233000Z\n") << QStringList();
        QTest::newRow("floating time is local time") << event("DTSTART:20240305T100000\nDTEND:20240305T103000\n")
                                                     << QStringList {"03-05 10:00 03-05 10:30 [-] One"_qs};
        QTest::newRow("all-day") << event("DTSTART;VALUE=DATE:20240305\nDTEND;VALUE=DATE:20240306\n")
                                 << QStringList {"03-05 00:00 03-06 00:00 [-] One"_qs};
        QTest::newRow("all-day without end lasts the day")
            << event("DTSTART;VALUE=DATE:20240305\n") << QStringList {"03-05 00:00 03-06 00:00 [-] One"_qs};
        QTest::newRow("all-day of the day before")
            << event("DTSTART;VALUE=DATE:20240304\nDTEND;VALUE=DATE:20240305\n") << QStringList();
        QTest::newRow("three-day weekly all-day, begun two days before")
            << event("DTSTART;VALUE=DATE:20240303\nDTEND;VALUE=DATE:20240306\nRRULE:FREQ=WEEKLY\n")
            << QStringList {"03-03 00:00 03-06 00:00 [03-03 00:00] One"_qs};
        QTest::newRow("cancelled") << event("DTSTART;TZID=Europe/Paris:20240305T100000\nSTATUS:CANCELLED\n")
                                   << QStringList();
        QTest::newRow("occurrence of a daily series")
            << series << QStringList {"03-05 10:00 03-05 11:00 [03-05 10:00] Daily"_qs};
        QTest::newRow("excluded date") << QByteArray(series).replace("RRULE",
                                                                     "EXDATE;TZID=Europe/Paris:20240305T100000\nRRULE")
                                       << QStringList();
        QTest::newRow("series ended by COUNT") << QByteArray(series).replace("COUNT=20", "COUNT=3") << QStringList();
        QTest::newRow("override moved away from the day") << series + "\x01"
                + "BEGIN:VEVENT\nUID:s\nSUMMARY:Moved\nRECURRENCE-ID;TZID=Europe/Paris:20240305T100000\n"
                  "DTSTART;TZID=Europe/Paris:20240307T100000\nDTEND;TZID=Europe/Paris:20240307T110000\nEND:VEVENT\n"
                                                          << QStringList();
        QTest::newRow("override moved onto the day") << series + "\x01"
                + "BEGIN:VEVENT\nUID:s\nSUMMARY:Moved\nRECURRENCE-ID;TZID=Europe/Paris:20240303T100000\n"
                  "DTSTART;TZID=Europe/Paris:20240305T160000\nDTEND;TZID=Europe/Paris:20240305T170000\nEND:VEVENT\n"
                                                     << QStringList {"03-05 10:00 03-05 11:00 [03-05 10:00] Daily"_qs,
                                                                     "03-05 16:00 03-05 17:00 [03-03 10:00] Moved"_qs};
        QTest::newRow("override in UTC of a zoned series")
            << series + "\x01"
                + "BEGIN:VEVENT\nUID:s\nSUMMARY:Later\nRECURRENCE-ID:20240305T090000Z\n"
                  "DTSTART:20240305T130000Z\nDTEND:20240305T140000Z\nEND:VEVENT\n"
            << QStringList {"03-05 14:00 03-05 15:00 [03-05 10:00] Later"_qs};
        QTest::newRow("cancelled override") << series + "\x01"
                + "BEGIN:VEVENT\nUID:s\nSUMMARY:Off\nRECURRENCE-ID;TZID=Europe/Paris:20240305T100000\n"
                  "DTSTART;TZID=Europe/Paris:20240305T100000\nSTATUS:CANCELLED\nEND:VEVENT\n"
                                            << QStringList();
        QTest::newRow("override without its master")
            << QByteArray(
                   "BEGIN:VEVENT\nUID:s\nSUMMARY:Invited once\nRECURRENCE-ID;TZID=Europe/Paris:20240305T100000\n"
                   "DTSTART;TZID=Europe/Paris:20240305T120000\nDTEND;TZID=Europe/Paris:20240305T130000\nEND:VEVENT\n")
            << QStringList {"03-05 12:00 03-05 13:00 [03-05 10:00] Invited once"_qs};
        QTest::newRow("this and future: moved and renamed from the 3rd on") << series + "\x01"
                + "BEGIN:VEVENT\nUID:s\nSUMMARY:Afternoons\nRECURRENCE-ID;RANGE=THISANDFUTURE;TZID=Europe/Paris:"
                  "20240303T100000\nDTSTART;TZID=Europe/Paris:20240303T140000\nDTEND;TZID=Europe/"
                  "Paris:20240303T143000\n"
                  "END:VEVENT\n" << QStringList {"03-05 14:00 03-05 14:30 [03-05 10:00] Afternoons"_qs};
    }

    void onTheDay()
    {
        QFETCH(QByteArray, components);
        QFETCH(QStringList, expected);
        const QList<GRef<ICalComponent>> parts = componentsOf(components);
        QList<EdsOccurrence> occurrences;
        QString problem;
        QVERIFY2(expansion().inRange(pointers(parts), QDateTime(QDate(2024, 3, 5), QTime(0, 0)),
                                     QDateTime(QDate(2024, 3, 5), QTime(23, 59, 59)), &occurrences, &problem),
                 qPrintable(problem));
        QStringList found;
        for (const EdsOccurrence &occurrence : std::as_const(occurrences))
            found.append(described(occurrence));
        QCOMPARE(found, expected);
    }

    // A rule that repeats every second or minute for years is left out at once: libical would step
    // through every time from its start, for hours, and could not be stopped.
    void ruleTooDenseIsLeftOut_data()
    {
        QTest::addColumn<QByteArray>("rule");
        QTest::addColumn<bool>("expanded");
        QTest::newRow("every second since 2020")
            << QByteArray("DTSTART:20200101T000000Z\nRRULE:FREQ=SECONDLY") << false;
        QTest::newRow("every minute since 2020, 10 seconds each")
            << QByteArray("DTSTART:20200101T000000Z\nRRULE:FREQ=MINUTELY;BYSECOND=0,1,2,3,4,5,6,7,8,9") << false;
        QTest::newRow("every second, a thousand times")
            << QByteArray("DTSTART:20240304T235959Z\nRRULE:FREQ=SECONDLY;COUNT=1000") << true;
        QTest::newRow("daily since 1970") << QByteArray("DTSTART:19700101T090000Z\nRRULE:FREQ=DAILY") << true;
    }
    void ruleTooDenseIsLeftOut()
    {
        QFETCH(QByteArray, rule);
        QFETCH(bool, expanded);
        const QList<GRef<ICalComponent>> parts
            = componentsOf("BEGIN:VEVENT\nUID:d\nSUMMARY:Dense\n" + rule + "\nEND:VEVENT\n");
        QList<EdsOccurrence> occurrences;
        QString problem;
        const bool done = expansion().inRange(pointers(parts), QDateTime(QDate(2024, 3, 5), QTime(0, 0)),
                                              QDateTime(QDate(2024, 3, 5), QTime(23, 59, 59)), &occurrences, &problem);
        QCOMPARE(done, expanded);
        QCOMPARE(problem.contains(QStringLiteral("repeats too often")), !expanded);
    }

    void tooManyOccurrencesAreCut()
    {
        const QList<GRef<ICalComponent>> parts = componentsOf(
            "BEGIN:VEVENT\nUID:m\nSUMMARY:Tick\nDTSTART:20240301T000000Z\nRRULE:FREQ=MINUTELY\nEND:VEVENT\n");
        QList<EdsOccurrence> occurrences;
        QString problem;
        QVERIFY(!expansion().inRange(pointers(parts), QDateTime(QDate(2024, 3, 5), QTime(0, 0)),
                                     QDateTime(QDate(2024, 3, 5), QTime(23, 59, 59)), &occurrences, &problem));
        QVERIFY(problem.contains(QStringLiteral("more than")));
        QVERIFY(occurrences.size() <= EdsOccurrences::maxOccurrences);
    }

    // The component a save of one occurrence gives EDS: the occurrence alone, where it is, with
    // every other property of the master.
    void overrideOfAnOccurrence_data()
    {
        QTest::addColumn<QByteArray>("components");
        QTest::addColumn<QDateTime>("recurrenceId");
        QTest::addColumn<QStringList>("expected");
        const QByteArray master
            = "BEGIN:VEVENT\nUID:s\nDTSTAMP:20240101T000000Z\nSUMMARY:Daily\n"
              "DTSTART;TZID=Europe/Paris:20240301T100000\nDTEND;TZID=Europe/Paris:20240301T110000\n"
              "RRULE:FREQ=DAILY;COUNT=20\nEXDATE;TZID=Europe/Paris:20240302T100000\n"
              "ATTENDEE;CN=Ann;PARTSTAT=ACCEPTED:mailto:ann@example.org\nX-CUSTOM:kept\nEND:VEVENT\n";
        QTest::newRow("zoned series") << master << QDateTime(QDate(2024, 3, 5), QTime(10, 0))
                                      << QStringList {"BEGIN:VEVENT"_qs,
                                                      "UID:s"_qs,
                                                      "DTSTAMP:20240101T000000Z"_qs,
                                                      "SUMMARY:Daily"_qs,
                                                      "DTSTART;TZID=Europe/Paris:20240305T100000"_qs,
                                                      "DTEND;TZID=Europe/Paris:20240305T110000"_qs,
                                                      "ATTENDEE;CN=Ann;PARTSTAT=ACCEPTED:mailto:ann@example.org"_qs,
                                                      "X-CUSTOM:kept"_qs,
                                                      "RECURRENCE-ID;TZID=Europe/Paris:20240305T100000"_qs,
                                                      "END:VEVENT"_qs};
        QTest::newRow("series in UTC") << QByteArray(
            "BEGIN:VEVENT\nUID:u\nSUMMARY:Call\nDTSTART:20240301T090000Z\nDURATION:PT30M\n"
            "RRULE:FREQ=DAILY\nEND:VEVENT\n")
                                       << QDateTime(QDate(2024, 3, 5), QTime(10, 0))
                                       << QStringList {"BEGIN:VEVENT"_qs,   "UID:u"_qs,
                                                       "SUMMARY:Call"_qs,   "DTSTART:20240305T090000Z"_qs,
                                                       "DURATION:PT30M"_qs, "RECURRENCE-ID:20240305T090000Z"_qs,
                                                       "END:VEVENT"_qs};
        QTest::newRow("all-day series") << QByteArray(
            "BEGIN:VEVENT\nUID:a\nSUMMARY:Trip\nDTSTART;VALUE=DATE:20240301\nDTEND;VALUE=DATE:20240302\n"
            "RRULE:FREQ=WEEKLY\nEND:VEVENT\n")
                                        << QDateTime(QDate(2024, 3, 8), QTime(0, 0))
                                        << QStringList {"BEGIN:VEVENT"_qs,
                                                        "UID:a"_qs,
                                                        "SUMMARY:Trip"_qs,
                                                        "DTSTART;VALUE=DATE:20240308"_qs,
                                                        "DTEND;VALUE=DATE:20240309"_qs,
                                                        "RECURRENCE-ID;VALUE=DATE:20240308"_qs,
                                                        "END:VEVENT"_qs};
        QTest::newRow("an override stays as it is")
            << master + "\x01"
                + "BEGIN:VEVENT\nUID:s\nSUMMARY:Moved\nRECURRENCE-ID;TZID=Europe/Paris:20240305T100000\n"
                  "DTSTART;TZID=Europe/Paris:20240306T150000\nEND:VEVENT\n"
            << QDateTime(QDate(2024, 3, 5), QTime(10, 0))
            << QStringList {"BEGIN:VEVENT"_qs,
                            "UID:s"_qs,
                            "SUMMARY:Moved"_qs,
                            "RECURRENCE-ID;TZID=Europe/Paris:20240305T100000"_qs,
                            "DTSTART;TZID=Europe/Paris:20240306T150000"_qs,
                            "END:VEVENT"_qs};
    }

    void overrideOfAnOccurrence()
    {
        QFETCH(QByteArray, components);
        QFETCH(QDateTime, recurrenceId);
        QFETCH(QStringList, expected);
        const QList<GRef<ICalComponent>> parts = componentsOf(components);
        const std::optional<EdsOccurrence> occurrence = expansion().at(pointers(parts), recurrenceId, QDateTime());
        QVERIFY(occurrence);
        QCOMPARE(linesOf(expansion().overrideOf(*occurrence).get()), expected);
        // Read back, it is that occurrence, where it was.
        const QList<GRef<ICalComponent>> saved = {expansion().overrideOf(*occurrence)};
        const std::optional<EdsOccurrence> again = expansion().at(pointers(saved), recurrenceId, QDateTime());
        QVERIFY(again);
        QCOMPARE(again->start, occurrence->start);
        QCOMPARE(again->end, occurrence->end);
    }

    void occurrenceThatIsGone_data()
    {
        QTest::addColumn<QByteArray>("components");
        QTest::addColumn<QDateTime>("recurrenceId");
        QTest::addColumn<QDateTime>("start");
        QTest::newRow("excluded since") << QByteArray(series).replace("RRULE",
                                                                      "EXDATE;TZID=Europe/Paris:20240305T100000\nRRULE")
                                        << QDateTime(QDate(2024, 3, 5), QTime(10, 0)) << QDateTime();
        QTest::newRow("not a time of the rule") << series << QDateTime(QDate(2024, 3, 5), QTime(10, 30)) << QDateTime();
        QTest::newRow("single event moved")
            << QByteArray("BEGIN:VEVENT\nUID:e\nSUMMARY:One\nDTSTART:20240310T100000Z\nEND:VEVENT\n") << QDateTime()
            << QDateTime(QDate(2024, 3, 5), QTime(11, 0));
        QTest::newRow("single event turned into a series")
            << series << QDateTime() << QDateTime(QDate(2024, 3, 1), QTime(10, 0));
    }

    void occurrenceThatIsGone()
    {
        QFETCH(QByteArray, components);
        QFETCH(QDateTime, recurrenceId);
        QFETCH(QDateTime, start);
        const QList<GRef<ICalComponent>> parts = componentsOf(components);
        QVERIFY(!expansion().at(pointers(parts), recurrenceId, start));
    }
};

QTEST_GUILESS_MAIN(TestEdsOccurrences)
#include "tst_edsoccurrences.moc"
