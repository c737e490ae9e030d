// Files that other people and programs put in the user's folders, and the user's own locale:
// whatever they hold, a run of the agent goes on, exits 0, sends what it should and nothing
// else, leaves the files as they were, and the next run does not send or complain again.
#include "smtpsink.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <sys/stat.h>

namespace {
const QByteArray calendarHead = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\n";
const QByteArray calendarTail = "END:VEVENT\r\nEND:VCALENDAR\r\n";

// An event at 09:00 on the searched day with the given extra lines.
QByteArray eventFile(const QByteArray &uid, const QByteArray &day, const QByteArray &lines)
{
    return calendarHead + "UID:" + uid + "\r\nDTSTAMP:20100101T000000Z\r\nSUMMARY:" + uid + "\r\nDTSTART:" + day
        + "T090000\r\nDURATION:PT30M\r\n" + lines + calendarTail;
}

QByteArray repeated(const char *text, int times)
{
    return QByteArray(text).repeated(times);
}

QByteArray crowd()
{
    QByteArray lines;
    for (int i = 0; i < 100000; ++i)
        lines += "ATTENDEE:mailto:p" + QByteArray::number(i) + "@example.org\r\n";
    return lines;
}

struct Run
{
    int exitCode = -1; // -1: crashed, killed or did not end within the time limit
    QString errors; // its standard error
};

// One run of the agent (without its closing pause), given two minutes at most.
Run runAgent()
{
    QProcess agent;
    agent.start(buildPath(QStringLiteral("tests/helpers/helper_agentrun")), {});
    agent.closeWriteChannel();
    Run run;
    if (!agent.waitForFinished(120000)) {
        agent.kill();
        agent.waitForFinished();
    } else if (agent.exitStatus() == QProcess::NormalExit) {
        run.exitCode = agent.exitCode();
    }
    run.errors = QString::fromUtf8(agent.readAllStandardError());
    return run;
}
} // namespace

class HostileFilesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void agentHoldsOut_data()
    {
        QTest::addColumn<QString>("hostile"); // what the row puts in place
        QTest::addColumn<QString>("file"); // the file it concerns, below the data folder
        QTest::addColumn<QString>("named"); // text that the log or standard error names it with
        QTest::addColumn<QStringList>("recipients"); // of the reminders sent, sorted
        const QStringList usual {QStringLiteral("ann@example.org"), QStringLiteral("ann@example.org"),
                                 QStringLiteral("juergen@example.de")};
        const auto row = [](const char *name, const char *hostile, const char *file, const char *named,
                            const QStringList &recipients) {
            QTest::newRow(name) << QString::fromUtf8(hostile) << QString::fromUtf8(file) << QString::fromUtf8(named)
                                << recipients;
        };
        row("event with 200,000 nested components", "nested", "calendars/home/nested.ics", "nests components", usual);
        row("FIFO as an event file, behind a symbolic link", "fifo-event", "calendars/home/x.ics", "FIFO", usual);
        row("FIFO as the calendar's displayname", "fifo-displayname", "calendars/home/displayname", "FIFO", usual);
        row("FIFO as the me file", "fifo-me", "contacts/me", "FIFO",
            usual + QStringList {QStringLiteral("me@example.com")});
        row("FIFO as a card file, behind a symbolic link", "fifo-card", "contacts/default/fifo.vcf", "FIFO", usual);
        row("event with 100,000 attendees", "crowd", "calendars/home/crowd.ics", "100000 reminders in one run", usual);
        row("SECONDLY rule with one attendee", "secondly", "calendars/home/secondly.ics", "1000 reminders in one run",
            usual);
        row("MINUTELY rule with one attendee", "minutely", "calendars/home/minutely.ics", "1000 reminders in one run",
            usual);
        row("12,000 events naming a 1 MB time zone", "zones", "calendars/home/zones.ics", "12000 reminders in one run",
            usual);
        row("preferences nested 40,000 levels deep", "deep-preferences", "", "Cannot read the preferences",
            QStringList());
        row("locale without ASCII digits", "arabic", "", "", usual);
    }
    void agentHoldsOut()
    {
        QFETCH(QString, hostile);
        QFETCH(QString, file);
        QFETCH(QString, named);
        QFETCH(QStringList, recipients);
        ThrowAwayHome home("Europe/Paris", hostile == QLatin1String("arabic") ? "ar_EG.UTF-8" : "en_US.UTF-8");
        const QByteArray day
            = QDateTime::currentDateTime().addSecs(4 * 86400).date().toString(QStringLiteral("yyyyMMdd")).toLatin1();
        home.copyFixture(QStringLiteral("agent"), QStringLiteral(".local/share"), {{"@DAY@", day}});
        storePreferences();
        SmtpSink sink(home);
        QVERIFY(sink.start());

        const QString path = home.dataHome() + QLatin1Char('/') + file;
        const auto fifo = [&](const QString &at) {
            QFile::remove(at);
            QVERIFY(::mkfifo(QFile::encodeName(at).constData(), 0600) == 0);
        };
        if (hostile == QLatin1String("fifo-event") || hostile == QLatin1String("fifo-card")) {
            fifo(home.filePath(QStringLiteral("elsewhere")));
            QVERIFY(QFile::link(home.filePath(QStringLiteral("elsewhere")), path));
        } else if (hostile.startsWith(QLatin1String("fifo-"))) {
            fifo(path);
        } else if (hostile == QLatin1String("nested")) {
            home.writeFile(QStringLiteral(".local/share/") + file,
                           eventFile("nested", day,
                                     "ATTENDEE:mailto:nested@example.org\r\n" + repeated("BEGIN:X-N\r\n", 200000)
                                         + repeated("END:X-N\r\n", 200000)));
        } else if (hostile == QLatin1String("crowd")) {
            home.writeFile(QStringLiteral(".local/share/") + file, eventFile("crowd", day, crowd()));
        } else if (hostile == QLatin1String("secondly") || hostile == QLatin1String("minutely")) {
            home.writeFile(
                QStringLiteral(".local/share/") + file,
                eventFile(hostile.toLatin1(), day,
                          "RRULE:FREQ=" + hostile.toUpper().toLatin1() + "\r\nATTENDEE:mailto:often@example.org\r\n"));
        } else if (hostile == QLatin1String("zones")) {
            const QByteArray event = "BEGIN:VEVENT\r\nUID:z\r\nDTSTART;TZID=Big:" + day
                + "T090000\r\nATTENDEE:mailto:zone@example.org\r\nEND:VEVENT\r\n";
            home.writeFile(QStringLiteral(".local/share/") + file,
                           calendarHead.left(calendarHead.indexOf("BEGIN:VEVENT")) + "BEGIN:VTIMEZONE\r\nTZID:Big\r\n"
                               + repeated("BEGIN:STANDARD\r\nDTSTART:19701025T030000\r\nTZOFFSETFROM:+0200\r\n"
                                          "TZOFFSETTO:+0100\r\nEND:STANDARD\r\n",
                                          12000)
                               + "END:VTIMEZONE\r\n" + event.repeated(12000) + "END:VCALENDAR\r\n");
        } else if (hostile == QLatin1String("deep-preferences")) {
            home.writeFile(QStringLiteral("Library/Preferences/com.kestramo.ruvelant.plist"),
                           "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>quorvelEnabled</key>"
                               + repeated("<array>", 40000) + repeated("</array>", 40000) + "</dict></plist>\n");
        }
        // What the row put in place, as it is before the runs (a FIFO is never opened here).
        const auto state = [&] {
            return hostile.startsWith(QLatin1String("fifo")) ? QByteArray::number(QFileInfo(path).isFile())
                                                             : readFile(path);
        };
        const QByteArray before = state();

        const Run first = runAgent();
        QCOMPARE(first.exitCode, 0);
        QStringList sent;
        for (const auto &message : sink.messages())
            sent.append(QString::fromUtf8(message->to()->addresses().first()));
        sent.sort();
        QCOMPARE(sent, recipients);
        QCOMPARE(state(), before);
        const QString log
            = home.filePath(QStringLiteral("Library/Logs/helper_agentrun.log")); // named after the program
        const QStringList records = logRecords(log);
        if (!named.isEmpty()) {
            // An event file that is skipped, or refused, is named in the agent's own log; the
            // other files on standard error.
            const QString all
                = records.join(QLatin1Char('\n')) + (file.endsWith(QLatin1String(".ics")) ? QString() : first.errors);
            QVERIFY2(all.contains(named) && (file.isEmpty() || all.contains(path)), qPrintable(first.errors));
        }
        // Every record starts with its time stamp in ASCII digits; the verbose window too.
        const QRegularExpression stamp(QStringLiteral("^[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "));
        for (const QString &record : records)
            QVERIFY2(stamp.match(record).hasMatch(), qPrintable(record));
        if (!recipients.isEmpty())
            QVERIFY(!records.filter(QRegularExpression(QStringLiteral("startDate=\\d{4}-\\d\\d-\\d\\d 00:00:00 ")))
                         .isEmpty());

        // The next run sends nothing and does not complain of the same content again.
        const Run second = runAgent();
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(sink.messages().size(), recipients.size());
        QCOMPARE(state(), before);
        if (named.contains(QLatin1String("reminders in one run")))
            QVERIFY(!second.errors.contains(named)); // every record goes to standard error too
    }
};

QTEST_GUILESS_MAIN(HostileFilesTest)
#include "tst_hostilefiles.moc"
