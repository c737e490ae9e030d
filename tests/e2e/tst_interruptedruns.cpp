// The real agent stopped in the middle of a run that reminds many events, through the real mail
// chain: killed (a crash, a power cut) or asked to stop (the user logging out). The next run
// finishes the work; no file is damaged or left behind, no attendee gets a second copy except
// the one hand-over that a kill may catch in flight.
#include "agentruns.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <csignal>

namespace {
constexpr int eventCount = 100;

// Waits until the mail system delivered count messages in all (false when the agent ended first).
bool waitForDeliveries(const SmtpSink &sink, const std::unique_ptr<QProcess> &agent, int count)
{
    const QDir folder(sink.maildirPath() + QStringLiteral("/new"));
    while (folder.entryList(QDir::Files).size() < count) {
        if (agent->state() == QProcess::NotRunning || agent->waitForFinished(1))
            return false;
    }
    return true;
}

// Every event file reads back; returns how many are marked.
int checkedMarkedEvents(const ThrowAwayHome &home)
{
    const QHash<QString, QByteArray> files = eventFiles(home);
    if (files.size() != eventCount)
        return -1; // one of them does not read back
    return int(
        std::count_if(files.cbegin(), files.cend(), [](const QByteArray &bytes) { return bytes.contains("(*)"); }));
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
        writeManyEvents(home, eventCount);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QRandomGenerator random(20100305); // the same moments at every run of the test
        int kills = 0;
        for (const int after : {3, 40, 81, 120, 161}) {
            const auto agent = startProgram(AgentRunOnly, {}, false);
            QVERIFY(waitForDeliveries(sink, agent, after));
            QThread::usleep(random.bounded(30000)); // anywhere in the hand-over, the journal or a save
            ::kill(agent->processId(), SIGKILL);
            QVERIFY(agent->waitForFinished());
            QCOMPARE(agent->exitStatus(), QProcess::CrashExit);
            ++kills;
        }
        QCOMPARE(runToEnd(), 0);

        const QHash<QString, int> received = deliveries(sink);
        QCOMPARE(received.size(), 2 * eventCount);
        int copies = 0;
        for (auto it = received.cbegin(); it != received.cend(); ++it) {
            QVERIFY2(it.value() <= 2, qPrintable(it.key()));
            copies += it.value() - 1;
        }
        qInfo("%d second copies after %d kills", copies, kills);
        QVERIFY(copies <= kills);
        QCOMPARE(checkedMarkedEvents(home), eventCount);
        QCOMPARE(leftovers(home), QStringList());
    }

    // Asked to stop (SIGTERM, as at logout): the event in hand is finished and marked, the run
    // ends at once with "terminated" and exit status 0; the next run sends the rest, once each.
    void stoppedRun()
    {
        ThrowAwayHome home;
        writeManyEvents(home, eventCount);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        const auto agent = startProgram(AgentWithPause, {}, false);
        QVERIFY(waitForDeliveries(sink, agent, 25));
        QElapsedTimer stopping;
        stopping.start();
        ::kill(agent->processId(), SIGTERM);
        QVERIFY(agent->waitForFinished(60000));
        QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent->exitCode(), 0);
        QVERIFY2(stopping.elapsed() < 9000, "the closing pause is cut short"); // a bound, not a speed goal
        QVERIFY(agentLog(home).last().endsWith(QStringLiteral("<Info>: terminated")));
        // Every event whose reminders went out is marked, and no other.
        const int reminded = deliveries(sink).size();
        QVERIFY(reminded % 2 == 0 && reminded < 2 * eventCount);
        QCOMPARE(checkedMarkedEvents(home), reminded / 2);

        QCOMPARE(runToEnd(), 0);
        const QHash<QString, int> received = deliveries(sink);
        QCOMPARE(received.size(), 2 * eventCount);
        QCOMPARE(received.keys(1).size(), 2 * eventCount);
        QCOMPARE(checkedMarkedEvents(home), eventCount);
    }
};

QTEST_GUILESS_MAIN(InterruptedRunsTest)
#include "tst_interruptedruns.moc"
