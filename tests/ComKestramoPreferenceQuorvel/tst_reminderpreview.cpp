// The pane's preview of coming reminders takes the agent's own decisions: what it lists as sent
// is what a real run sends, and looking writes nothing.
#include "ComKestramoLogger.h"
#include "ComKestramoPreferenceQuorvelModel.h"
#include "agentrun.h"
#include "completedday.h"
#include "datatable.h"
#include "dateformatter.h"
#include "reminderpreview.h"
#include "smtpsink.h"
#include "storedpreferences.h"
#include "stringstable.h"
#include "throwawayhome.h"

#include <QDirIterator>
#include <QTest>

namespace {
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
    static const char *const attendees[]
        = {"remind", "no address", "own", "handed over", "refused", "listed twice", "declined", "delegated", "room"};
    QStringList lines;
    for (const PreviewRow &row : rows) {
        if (row.reminderDay != day)
            continue;
        const QString reason
            = QLatin1String(row.hasAttendee ? attendees[row.attendee.verdict] : events[row.eventVerdict]);
        lines.append("%1%2 %3|%4"_qs.arg(row.lateDue.isNull() ? QString() : "late "_qs, reason, row.event.title,
                                         row.attendee.attendee.address));
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
    // attendees listed as reminded (an address listed twice, once; not those who declined or
    // delegated, nor rooms; late, those of a day that no run completed), logs the refusals the
    // preview names, and the preview left every file as it was.
    void previewAndRunAgree()
    {
        ThrowAwayHome home;
        const QDateTime now = QDateTime::currentDateTime();
        const QDate day = now.addSecs(4 * 86400).date();
        const QByteArray stamp = day.toString("yyyyMMdd"_qs).toLatin1();
        home.copyFixture("agent"_qs, ".local/share"_qs, {{"@DAY@", stamp}});
        // Marked (done already), Spaced (an address with a space), Crew (answers and rooms) on that
        // day; Missed the day before, which yesterday's runs would have reminded; Later six days after.
        home.copyFixture("preview/home"_qs, ".local/share/calendars/home"_qs,
                         {{"@DAY@", stamp},
                          {"@MISSED@", day.addDays(-1).toString("yyyyMMdd"_qs).toLatin1()},
                          {"@LATER@", day.addDays(6).toString("yyyyMMdd"_qs).toLatin1()}});
        storePreferences({{"verboseLogging"_qs, false}});
        QString error;
        QVERIFY2(CompletedDay().write(day.addDays(-2), &error), qPrintable(error));
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
        QCOMPARE(described(rows, now.date()),
                 (QStringList {
                     "calendar off Board|"_qs, "declined Crew|mailto:declined@example.net"_qs,
                     "delegated Crew|mailto:delegator@example.net"_qs, "late remind Missed|mailto:carol@example.net"_qs,
                     "listed twice Dentist|mailto:ANN@Example.org"_qs, "marked Marked|"_qs,
                     "no address Dentist|tel:+331234"_qs, "no attendees Alone|"_qs,
                     "own Dentist|mailto:me@example.com"_qs, "refused Spaced|mailto:odd one@example.net"_qs,
                     "remind Crew|mailto:accepted@example.net"_qs, "remind Crew|mailto:delegate@example.net"_qs,
                     "remind Dentist|mailto:ann@example.org"_qs, "remind Dentist|mailto:juergen@example.de"_qs,
                     "room Crew|mailto:projector@example.net"_qs, "room Crew|mailto:room1@example.net"_qs}));
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
        QCOMPARE(mailed,
                 (QStringList {"accepted@example.net"_qs, "ann@example.org"_qs, "carol@example.net"_qs,
                               "delegate@example.net"_qs, "juergen@example.de"_qs}));
        const QString log = QString::fromUtf8(readFile(ComKestramoLogger::logFileName()));
        QVERIFY(log.contains("late: the reminder of 'Missed' to carol@example.net was due on %1"_qs.arg(
            now.date().addDays(-1).toString(Qt::ISODate))));
        QCOMPARE(CompletedDay().read(4), std::optional<QDate>(day));
        QVERIFY(log.contains("Failed to notify 'Phone Only'"_qs));
        QVERIFY(log.contains("Failed to hand over the reminder to 'odd one@example.net'"_qs));
        QVERIFY(!log.contains("Board"_qs) && !log.contains(" Marked  ->"_qs));
    }

    // What the Upcoming tab says of an attendee, by their answer to the invitation and the kind
    // of calendar user they are, from the vdir file as the agent reads it.
    void attendeeReasons_data()
    {
        dataTable<QString, bool, QString>("preview/attendees.txt", {"attendee", "late", "reason"});
    }
    void attendeeReasons()
    {
        QFETCH(QString, attendee);
        QFETCH(bool, late);
        QFETCH(QString, reason);
        ThrowAwayHome home;
        const QDateTime now = QDateTime::currentDateTime();
        QDate day = now.addSecs(4 * 86400).date();
        if (late) { // no run completed yesterday, whose runs remind the day before
            QString error;
            QVERIFY2(CompletedDay().write(day.addDays(-2), &error), qPrintable(error));
            day = day.addDays(-1);
        }
        home.writeFile(".local/share/calendars/home/event.ics"_qs,
                       "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:event\r\nSUMMARY:Event\r\nDTSTART:"
                           + day.toString("yyyyMMdd"_qs).toLatin1() + "T150000\r\nDURATION:PT1H\r\nATTENDEE"
                           + attendee.toUtf8() + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
        storePreferences({{"mailContent"_qs, "See you."_qs}});
        ComKestramoPreferenceQuorvelModel settings(false);
        ReminderPreviewModel preview(&settings);
        const QHash<QString, QString> texts
            = StringsTable::parse(readFile(RUVELANT_SOURCE_DIR "/resources/pane/en.lproj/Localizable.strings"_qs));
        preview.setTexts(texts);
        QTRY_COMPARE(preview.rowCount(), 1);
        const QString subject = preview.rows().first().subject;
        QString expected = reason.isNull() ? subject : texts.value(reason);
        QVERIFY(!expected.isEmpty());
        if (late) {
            const QDateTime due(now.date().addDays(-1), QTime(12, 0), Qt::LocalTime);
            expected = expected.arg(
                DateFormatter(DateFormatter::ShortStyle, DateFormatter::NoStyle).stringFromDate(due), subject);
        }
        QCOMPARE(preview.index(0, 5).data().toString(), expected);
    }
};

QTEST_GUILESS_MAIN(ReminderPreviewTest)
#include "tst_reminderpreview.moc"
