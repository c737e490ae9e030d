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
QString operator""_qs(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

// Every file below the folder and its content, but for the calendar store's index in .cache.
QMap<QString, QByteArray> filesBelow(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.startsWith(folder + "/.cache/"_qs))
            files.insert(path, readFile(path));
    }
    return files;
}

// "reason event|address" for the rows of one reminder day; "remind" with the subject.
QStringList described(const QList<PreviewRow> &rows, const QDate &day)
{
    static const char *const events[] = {"", "marked", "no attendees", "too many", "calendar off", "copy"};
    static const char *const attendees[] = {"remind", "no address", "own", "handed over", "refused", "listed twice"};
    QStringList lines;
    for (const PreviewRow &row : rows) {
        if (row.reminderDay != day)
            continue;
        const QString reason
            = QLatin1String(row.hasAttendee ? attendees[row.attendee.verdict] : events[row.eventVerdict]);
        lines.append("%1 %2|%3"_qs.arg(reason, row.event.title, row.attendee.attendee.address));
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
    // attendees listed as reminded (an address listed twice, once), logs the refusals the
    // preview names, and the preview left every file as it was.
    void previewAndRunAgree()
    {
        ThrowAwayHome home;
        const QDateTime now = QDateTime::currentDateTime();
        const QDate day = now.addSecs(4 * 86400).date();
        const QByteArray stamp = day.toString("yyyyMMdd"_qs).toLatin1();
        home.copyFixture("agent"_qs, ".local/share"_qs, {{"@DAY@", stamp}});
        // Marked (done already), Spaced (an address with a space) on that day; Later six days after.
        home.copyFixture("preview/home"_qs, ".local/share/calendars/home"_qs,
                         {{"@DAY@", stamp}, {"@LATER@", day.addDays(6).toString("yyyyMMdd"_qs).toLatin1()}});
        storePreferences({{"verboseLogging"_qs, false}});
        SmtpSink sink(home);
        QVERIFY(sink.start());

        const QMap<QString, QByteArray> before = filesBelow(home.path());
        QList<PreviewRow> rows;
        {
            const ComKestramoPreferenceQuorvelModel settings(false);
            const std::unique_ptr<CalendarStore> store = CalendarStore::makeUserCalendarStore();
            rows = ReminderPreview::compute(PreviewRequest::fromModel(settings, now), *store);
        }
        QCOMPARE(filesBelow(home.path()), before);
        QCOMPARE(
            described(rows, now.date()),
            (QStringList {"calendar off Board|"_qs, "listed twice Dentist|mailto:ANN@Example.org"_qs,
                          "marked Marked|"_qs, "no address Dentist|tel:+331234"_qs, "no attendees Alone|"_qs,
                          "own Dentist|mailto:me@example.com"_qs, "refused Spaced|mailto:odd one@example.net"_qs,
                          "remind Dentist|mailto:ann@example.org"_qs, "remind Dentist|mailto:juergen@example.de"_qs}));
        // The runs of the week to come: the last one reminds of the event six days later.
        QCOMPARE(described(rows, now.date().addDays(6)), QStringList {"remind Later|mailto:bob@example.net"_qs});

        AgentRunEnvironment environment;
        environment.now = [now] { return now; };
        environment.pause = [](std::chrono::microseconds) {};
        QCOMPARE(runAgent(environment), 0);
        QStringList mailed; // the attendees listed above as reminded today, and no one else
        for (const auto &message : sink.messages())
            mailed.append(QString::fromUtf8(message->to()->addresses().first()));
        mailed.sort();
        QCOMPARE(mailed, (QStringList {"ann@example.org"_qs, "juergen@example.de"_qs}));
        const QString log = QString::fromUtf8(readFile(ComKestramoLogger::logFileName()));
        QVERIFY(log.contains("Failed to notify 'Phone Only'"_qs));
        QVERIFY(log.contains("Failed to hand over the reminder to 'odd one@example.net'"_qs));
        QVERIFY(!log.contains("Board"_qs) && !log.contains(" Marked  ->"_qs));
    }
};

QTEST_GUILESS_MAIN(ReminderPreviewTest)
#include "tst_reminderpreview.moc"
