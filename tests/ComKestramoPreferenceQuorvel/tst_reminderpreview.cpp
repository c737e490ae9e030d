// The pane's preview of coming reminders takes the agent's own decisions: what it lists as sent
// is what a real run sends, and looking writes nothing.
#include "ComKestramoLogger.h"
#include "ComKestramoPreferenceQuorvelModel.h"
#include "agentrun.h"
#include "reminderpreview.h"
#include "smtpsink.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QDirIterator>
#include <QTest>

namespace {
// Every file below the home and its content.
QMap<QString, QByteArray> filesBelow(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path, readFile(path));
    }
    return files;
}

// "reason event|address" for the rows of one reminder day; "remind" with the subject.
QStringList described(const QList<PreviewRow> &rows, const QDate &day)
{
    static const char *const events[] = {"", "marked", "no attendees", "too many", "calendar off"};
    static const char *const attendees[] = {"remind", "no address", "own", "handed over", "refused"};
    QStringList lines;
    for (const PreviewRow &row : rows) {
        if (row.reminderDay != day) {
            continue;
        }
        const QString reason
            = QLatin1String(row.hasAttendee ? attendees[row.attendee.verdict] : events[row.eventVerdict]);
        lines.append(QStringLiteral("%1 %2|%3").arg(reason, row.event.title, row.attendee.attendee.address));
    }
    lines.sort();
    return lines;
}
} // namespace

class ReminderPreviewTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The day's decisions, then a real run at the same moment: the run mails exactly the
    // attendees listed as reminded (an address listed twice, twice), logs the refusals the
    // preview names, and the preview left every file as it was.
    void previewAndRunAgree()
    {
        ThrowAwayHome home;
        const QDateTime now = QDateTime::currentDateTime();
        const QDate day = now.addSecs(4 * 86400).date();
        const QByteArray stamp = day.toString(QStringLiteral("yyyyMMdd")).toLatin1();
        home.copyFixture(QStringLiteral("agent"), QStringLiteral(".local/share"), {{"@DAY@", stamp}});
        const auto event = [&](const char *name, const QByteArray &lines, const QByteArray &date) {
            home.writeFile(QStringLiteral(".local/share/calendars/home/%1.ics").arg(QLatin1String(name)),
                           "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:" + QByteArray(name)
                               + "\r\nSUMMARY:" + QByteArray(name) + "\r\nDTSTART:" + date
                               + "T150000\r\nDURATION:PT1H\r\n" + lines + "END:VEVENT\r\nEND:VCALENDAR\r\n");
        };
        event("Marked", "ATTENDEE:mailto:bob@example.net\r\nDESCRIPTION:done (*)\r\n", stamp);
        event("Spaced", "ATTENDEE;CN=Odd:mailto:odd one@example.net\r\n", stamp);
        event("Later", "ATTENDEE:mailto:bob@example.net\r\n",
              day.addDays(6).toString(QStringLiteral("yyyyMMdd")).toLatin1());
        storePreferences({{QStringLiteral("verboseLogging"), false}});
        SmtpSink sink(home);
        QVERIFY(sink.start());

        const QMap<QString, QByteArray> before = filesBelow(home.path());
        QList<PreviewRow> rows;
        {
            const ComKestramoPreferenceQuorvelModel settings(false);
            const std::unique_ptr<CalendarStore> store = CalendarStore::makeUserCalendarStore();
            rows = ReminderPreview::compute(PreviewRequest::fromModel(settings, now), *store);
        }
        QMap<QString, QByteArray> after = filesBelow(home.path());
        for (auto it = after.begin(); it != after.end();) {
            it = it.key().contains(QStringLiteral("/.cache/")) ? after.erase(it) : std::next(it); // the index
        }
        QCOMPARE(after, before);
        QCOMPARE(described(rows, now.date()),
                 (QStringList {QStringLiteral("calendar off Board|"), QStringLiteral("marked Marked|"),
                               QStringLiteral("no address Dentist|tel:+331234"), QStringLiteral("no attendees Alone|"),
                               QStringLiteral("own Dentist|mailto:me@example.com"),
                               QStringLiteral("refused Spaced|mailto:odd one@example.net"),
                               QStringLiteral("remind Dentist|mailto:ann@example.org"),
                               QStringLiteral("remind Dentist|mailto:ann@example.org"),
                               QStringLiteral("remind Dentist|mailto:juergen@example.de")}));
        // The runs of the week to come: the last one reminds of the event six days later.
        QCOMPARE(described(rows, now.date().addDays(6)),
                 QStringList {QStringLiteral("remind Later|mailto:bob@example.net")});

        AgentRunEnvironment environment;
        environment.now = [now] { return now; };
        environment.pause = [](std::chrono::microseconds) {};
        QCOMPARE(runAgent(environment), 0);
        QStringList mailed;
        for (const auto &message : sink.messages()) {
            mailed.append(QStringLiteral("mailto:") + QString::fromUtf8(message->to()->addresses().first()));
        }
        QStringList reminded;
        for (const PreviewRow &row : std::as_const(rows)) {
            if (row.reminderDay == now.date() && row.hasAttendee && row.attendee.verdict == AttendeeDecision::Remind) {
                reminded.append(row.attendee.attendee.address);
            }
        }
        mailed.sort();
        reminded.sort();
        QCOMPARE(mailed, reminded);
        const QString log = QString::fromUtf8(readFile(ComKestramoLogger::logFileName()));
        QVERIFY(log.contains(QStringLiteral("Failed to notify 'Phone Only'")));
        QVERIFY(log.contains(QStringLiteral("Failed to hand over the reminder to 'odd one@example.net'")));
        QVERIFY(!log.contains(QStringLiteral("Board")) && !log.contains(QStringLiteral(" Marked  ->")));
    }
};

QTEST_GUILESS_MAIN(ReminderPreviewTest)
#include "tst_reminderpreview.moc"
