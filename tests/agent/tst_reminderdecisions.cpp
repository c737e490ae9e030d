// What a run decides for the occurrences it found, before it sends anything: who is reminded by
// their answer and kind, and which copy of one occurrence held by two files is taken.
#include "datatable.h"
#include "reminderdecisions.h"

#include <QTest>

namespace {
const QDateTime nine(QDate(2010, 3, 5), QTime(9, 0), Qt::LocalTime);

// An hour of calendar "home" from file path, with one attendee.
Event occurrence(const QString &path, const QString &uid, const QDateTime &start, const Attendee &attendee,
                 const QString &notes = QString(), const QString &calendar = QStringLiteral("home"))
{
    return Event {QStringLiteral("Meeting"),  start,    start.addSecs(3600),    notes,
                  QList<Attendee> {attendee}, calendar, {path, uid, {}, {}, {}}};
}

DecisionSources sources()
{
    DecisionSources sources;
    sources.isMine = [](const QString &) { return false; };
    sources.handedOver = [](const SendJournal::Occurrence &, const QByteArray &, const QString &) { return false; };
    sources.enabledCalendars = {QStringLiteral("home"), QStringLiteral("work")};
    return sources;
}
} // namespace

class ReminderDecisionsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // PARTSTAT and CUTYPE as written in the file: their values are read in any case.
    void attendeeAnswers_data()
    {
        QTest::addColumn<QString>("partstat");
        QTest::addColumn<QString>("cutype");
        QTest::addColumn<QString>("verdict");
        row("declined", "DECLINED", "", "declined");
        row("declined, in lower case", "declined", "", "declined");
        row("delegated, in mixed case", "Delegated", "", "delegated");
        row("a room, in lower case", "", "room", "roomOrResource");
        row("a resource, in mixed case, that accepted", "accepted", "Resource", "roomOrResource");
        row("accepted, in lower case", "accepted", "", "remind");
        row("a person, in lower case", "", "individual", "remind");
        row("no answer", "", "", "remind");
    }
    void attendeeAnswers()
    {
        QFETCH(QString, partstat);
        QFETCH(QString, cutype);
        QFETCH(QString, verdict);
        const Attendee ann {QStringLiteral("mailto:ann@example.org"), QStringLiteral("Ann"), partstat, cutype};
        const QList<EventDecision> decisions = decideEvents(
            QList<Event> {occurrence(QStringLiteral("/c/a.ics"), QStringLiteral("a"), nine, ann)}, sources());
        QCOMPARE(decisions.size(), 1);
        QCOMPARE(QLatin1String(verdictName(decisions.first().verdict)), QLatin1String("remind"));
        QCOMPARE(QLatin1String(verdictName(decisions.first().attendees.first().verdict)), verdict);
    }

    // Two files holding one occurrence (a sync tool's conflict copy): one of them is reminded, the
    // marked one when there is one; another UID or start is another occurrence. A copy in another
    // calendar that takes part is the same event reached twice (a server calendar both synced to a
    // folder and read from the desktop's store).
    void copiesOfAnOccurrence_data()
    {
        QTest::addColumn<QString>("uid"); // of the second file's event; the first's is "a"
        QTest::addColumn<int>("later"); // minutes the second starts after the first
        QTest::addColumn<QString>("calendar"); // of the second
        QTest::addColumn<bool>("firstMarked");
        QTest::addColumn<bool>("secondMarked");
        QTest::addColumn<QString>("verdicts"); // of the first and the second
        row("same UID and start in two files", "a", 0, "home", false, false, "remind duplicateOccurrence");
        row("the marked copy counts", "a", 0, "home", false, true, "duplicateOccurrence alreadyMarked");
        row("a marked first copy counts too", "a", 0, "home", true, false, "alreadyMarked duplicateOccurrence");
        row("another start", "a", 30, "home", false, false, "remind remind");
        row("another UID", "b", 0, "home", false, false, "remind remind");
        row("another calendar", "a", 0, "work", false, false, "remind duplicateOccurrence");
    }
    void copiesOfAnOccurrence()
    {
        QFETCH(QString, uid);
        QFETCH(int, later);
        QFETCH(QString, calendar);
        QFETCH(bool, firstMarked);
        QFETCH(bool, secondMarked);
        QFETCH(QString, verdicts);
        const Attendee ann {QStringLiteral("mailto:ann@example.org"), QStringLiteral("Ann"), {}, {}};
        const QList<EventDecision> decisions = decideEvents(
            QList<Event> {occurrence(QStringLiteral("/c/home/a.ics"), QStringLiteral("a"), nine, ann,
                                     firstMarked ? QStringLiteral("(*)") : QString()),
                          occurrence(QStringLiteral("/c/home/a-conflict.ics"), uid, nine.addSecs(60 * later), ann,
                                     secondMarked ? QStringLiteral("Room 1 (*)") : QString(), calendar)},
            sources());
        QStringList names;
        for (const EventDecision &decision : decisions)
            names.append(QLatin1String(verdictName(decision.verdict)));
        QCOMPARE(names.join(QLatin1Char(' ')), verdicts);
        for (int i = 0; i < decisions.size(); ++i) {
            if (decisions.at(i).verdict == EventDecision::DuplicateOccurrence)
                QCOMPARE(decisions.at(i).duplicateOf, 1 - i); // the other file's copy
        }
    }
};

QTEST_GUILESS_MAIN(ReminderDecisionsTest)
#include "tst_reminderdecisions.moc"
