// The real agent stopped in the middle of a run that reminds many events, through the real mail
// chain: killed (a crash, a power cut) or asked to stop (the user logging out). The next run
// finishes the work; no file is damaged or left behind, no attendee gets a second copy except
// the one hand-over that a kill may catch in flight.
#include "icaltext.h"
#include "smtpsink.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <KCalendarCore/ICalFormat>
#include <KCalendarCore/MemoryCalendar>

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <csignal>

namespace {
constexpr int eventCount = 100;

// eventCount events of the searched day, each with two attendees of its own; every tenth one
// repeats daily, so that marking it adds an override to its file.
void writeEvents(ThrowAwayHome &home)
{
    const QDate day = QDateTime::currentDateTime().addSecs(4 * 86400).date();
    for (int i = 0; i < eventCount; ++i) {
        const QByteArray n = QByteArray::number(i);
        const bool repeats = i % 10 == 0;
        const QDate first = repeats ? day.addDays(-3) : day;
        home.writeFile(QStringLiteral(".local/share/calendars/home/event%1.ics").arg(i),
                       "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:event" + n
                           + "\r\nDTSTAMP:20100101T000000Z\r\nSUMMARY:Event " + n
                           + "\r\nDTSTART:" + first.toString(QStringLiteral("yyyyMMdd")).toLatin1()
                           + "T080000\r\nDURATION:PT1H\r\n" + (repeats ? "RRULE:FREQ=DAILY;COUNT=7\r\n" : "")
                           + "ATTENDEE:mailto:e" + n + "a@example.org\r\nATTENDEE:mailto:e" + n
                           + "b@example.org\r\nDESCRIPTION:Notes " + n + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    }
    home.writeFile(QStringLiteral(".local/share/calendars/home/displayname"), "Home\n");
    storePreferences();
}

QProcess *startAgent(QObject *parent)
{
    auto *agent = new QProcess(parent);
    agent->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    agent->setStandardErrorFile(QProcess::nullDevice());
    agent->start(buildPath(QStringLiteral("Ruvelant.prefPane/Contents/Resources/RuvelantAgent")), {});
    agent->closeWriteChannel();
    return agent;
}

// Waits until the mail system delivered count messages in all (false when the agent ended first).
bool waitForDeliveries(const SmtpSink &sink, QProcess *agent, int count)
{
    const QDir folder(sink.maildirPath() + QStringLiteral("/new"));
    while (folder.entryList(QDir::Files).size() < count) {
        if (agent->state() == QProcess::NotRunning || agent->waitForFinished(1))
            return false;
    }
    return true;
}

// How many messages each recipient received (by the envelope: a message cut short counts too).
QHash<QString, int> deliveries(const SmtpSink &sink)
{
    QHash<QString, int> received;
    for (const QByteArray &raw : sink.rawMessages())
        ++received[QString::fromUtf8(SmtpSink::header(raw, "X-RcptTo"))];
    return received;
}

// Every event file reads back and its occurrence on the day is marked; returns how many are.
int checkedMarkedEvents(const ThrowAwayHome &home)
{
    int marked = 0;
    const QDir folder(home.calendarsPath() + QStringLiteral("/home"));
    for (const QString &name : folder.entryList({QStringLiteral("*.ics")}, QDir::Files)) {
        const QByteArray bytes = readFile(folder.filePath(name));
        QString error;
        const auto text = ICalText::parse(bytes, &error);
        auto calendar = KCalendarCore::MemoryCalendar::Ptr::create(QTimeZone::systemTimeZone());
        if (!text || !KCalendarCore::ICalFormat().fromRawString(calendar, bytes))
            qWarning("%s does not read back: %s", qPrintable(name), qPrintable(error));
        else if (bytes.contains("(*)"))
            ++marked;
    }
    return marked;
}

QStringList leftovers(const ThrowAwayHome &home)
{
    return QDir(home.calendarsPath() + QStringLiteral("/home"))
        .entryList(QDir::Files | QDir::Hidden | QDir::System)
        .filter(QStringLiteral(".tmp"));
}
} // namespace

class InterruptedRunsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Killed at several moments of a run, then run to its end: each event marked once, each
    // attendee reminded, and a second copy only for as many attendees as there were kills.
    void killedRuns()
    {
        ThrowAwayHome home;
        writeEvents(home);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QRandomGenerator random(20100305); // the same moments at every run of the test
        int kills = 0;
        for (const int after : {3, 40, 81, 120, 161}) {
            QProcess *agent = startAgent(this);
            QVERIFY(waitForDeliveries(sink, agent, after));
            QThread::usleep(random.bounded(30000)); // anywhere in the hand-over, the journal or a save
            ::kill(agent->processId(), SIGKILL);
            QVERIFY(agent->waitForFinished());
            QCOMPARE(agent->exitStatus(), QProcess::CrashExit);
            ++kills;
        }
        QProcess *agent = startAgent(this);
        QVERIFY(agent->waitForFinished(180000));
        QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent->exitCode(), 0);

        const QHash<QString, int> received = deliveries(sink);
        QCOMPARE(received.size(), 2 * eventCount);
        int copies = 0;
        for (auto it = received.cbegin(); it != received.cend(); ++it) {
            QVERIFY2(it.value() <= 2, qPrintable(it.key()));
            copies += it.value() - 1;
        }
        QVERIFY2(copies <= kills, qPrintable(QString::number(copies)));
        QCOMPARE(checkedMarkedEvents(home), eventCount);
        QCOMPARE(leftovers(home), QStringList());
    }

    // Asked to stop (SIGTERM, as at logout): the event in hand is finished and marked, the run
    // ends at once with "terminated" and exit status 0; the next run sends the rest, once each.
    void stoppedRun()
    {
        ThrowAwayHome home;
        writeEvents(home);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QProcess *agent = startAgent(this);
        QVERIFY(waitForDeliveries(sink, agent, 25));
        QElapsedTimer stopping;
        stopping.start();
        ::kill(agent->processId(), SIGTERM);
        QVERIFY(agent->waitForFinished(60000));
        QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent->exitCode(), 0);
        QVERIFY2(stopping.elapsed() < 9000, "the closing pause is cut short"); // a bound, not a speed goal
        const QStringList records = logRecords(home.filePath(QStringLiteral("Library/Logs/RuvelantAgent.log")));
        QVERIFY(records.last().endsWith(QStringLiteral("<Info>: terminated")));
        // Every event whose reminders went out is marked, and no other.
        const int reminded = deliveries(sink).size();
        QVERIFY(reminded % 2 == 0 && reminded < 2 * eventCount);
        QCOMPARE(checkedMarkedEvents(home), reminded / 2);

        agent = startAgent(this);
        QVERIFY(agent->waitForFinished(180000));
        const QHash<QString, int> received = deliveries(sink);
        QCOMPARE(received.size(), 2 * eventCount);
        QCOMPARE(received.keys(1).size(), 2 * eventCount);
        QCOMPARE(checkedMarkedEvents(home), eventCount);
    }
};

QTEST_GUILESS_MAIN(InterruptedRunsTest)
#include "tst_interruptedruns.moc"
