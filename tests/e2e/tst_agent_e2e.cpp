// The real agent binary against real files and a real mail chain: vdir calendars and a vCard
// address book on disk, msmtp as sendmail and an SMTP server on 127.0.0.1 writing a Maildir.
#include "agentruns.h"

#include <QElapsedTimer>
#include <QTest>

#include <vector>

namespace {
// Runs count agents at the same time, each to its end; their exit codes, and the time they took
// together in *elapsed.
QList<int> runAgents(int count, qint64 *elapsed, const char *program = AgentRunOnly)
{
    QElapsedTimer timer;
    timer.start();
    std::vector<std::unique_ptr<QProcess>> agents;
    for (int i = 0; i < count; ++i)
        agents.push_back(startProgram(program));
    QList<int> exitCodes;
    for (auto &agent : agents)
        exitCodes.append(finish(*agent, nullptr, 120000));
    *elapsed = timer.elapsed();
    return exitCodes;
}

QString calendarFile(const ThrowAwayHome &home, const char *name)
{
    return QString::fromUtf8(readFile(home.calendarsPath() + QLatin1Char('/') + QLatin1String(name)));
}
} // namespace

class AgentEndToEndTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void remindsEachAttendeeOnceAndMarks()
    {
        ThrowAwayHome home("Europe/Paris", "fr_FR.UTF-8");
        writeAgentHome(home);
        SmtpSink sink(home);
        QVERIFY(sink.start());

        // The scheduler's run and the pane's run at the same time: they take turns, and the
        // second finds the events marked by the first.
        qint64 elapsed = 0;
        QCOMPARE(runAgents(2, &elapsed), (QList<int> {0, 0}));

        QStringList received; // "recipient: body"
        for (const auto &message : sink.messages()) {
            QCOMPARE(message->to()->addresses().size(), 1);
            QVERIFY(!message->cc(false) && !message->bcc(false));
            QCOMPARE(QString::fromUtf8(message->from()->addresses().first()), QStringLiteral("me@example.com"));
            const QString subject = message->subject()->asUnicodeString();
            QVERIFY2(subject.startsWith(QStringLiteral("On ")) && !subject.contains(QStringLiteral("<<")),
                     qPrintable(subject));
            received.append(QString::fromUtf8(message->to()->addresses().first() + ": " + message->decodedContent()));
        }
        received.sort();
        QCOMPARE(received.size(), 2); // Ann, listed twice, once
        QVERIFY2(received.at(0).startsWith(QStringLiteral("ann@example.org: Dear  ,\nat 10:00")), // not in the book
                 qPrintable(received.at(0)));
        QVERIFY2(received.at(1).startsWith(QStringLiteral("juergen@example.de: Dear Jürgen Groß,\nat 10:00")),
                 qPrintable(received.at(1)));

        QVERIFY(calendarFile(home, "home/dentist.ics").contains(QStringLiteral("DESCRIPTION:Room 12 (*)")));
        QVERIFY(!calendarFile(home, "home/alone.ics").contains(QStringLiteral("(*)")));
        QVERIFY(!calendarFile(home, "work/board.ics").contains(QStringLiteral("(*)")));

        const QStringList records = agentLog(home, "helper_agentrun");
        QVERIFY(records.first().endsWith(QStringLiteral("<Info>: started -v.5")));
        QVERIFY(records.last().endsWith(QStringLiteral("<Info>: terminated")));
        QCOMPARE(records.filter(QStringLiteral("<Info>:  Dentist  ->ann@example.org")).size(), 1);
        QCOMPARE(records.filter(QStringLiteral("<Error>: Failed to notify 'Phone Only'")).size(), 1);
    }

    // The agent as installed ends with its pause of 10 seconds, also when switched off.
    void switchedOffRunWritesThreeRecords()
    {
        ThrowAwayHome home;
        writeAgentHome(home);
        storePreferences({{QStringLiteral("quorvelEnabled"), QStringLiteral("0")}}); // as the uninstaller writes it
        qint64 elapsed = 0;
        QCOMPARE(runAgents(1, &elapsed, AgentWithPause), QList<int> {0});
        QVERIFY2(elapsed >= 10000, qPrintable(QString::number(elapsed)));
        const QStringList records = agentLog(home);
        QCOMPARE(records.size(), 3);
        QVERIFY(records.at(0).endsWith(QStringLiteral("<Info>: started -v.5")));
        QVERIFY(records.at(1).endsWith(QStringLiteral("<Error>: exiting, disabled in system preferences")));
        QVERIFY(records.at(2).endsWith(QStringLiteral("<Info>: terminated")));
        QVERIFY(!calendarFile(home, "home/dentist.ics").contains(QStringLiteral("(*)")));
    }

    void mailServerDownLeavesEventForNextRun()
    {
        ThrowAwayHome home;
        writeAgentHome(home);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        sink.stop();

        QCOMPARE(runToEnd(), 0);
        QVERIFY(!calendarFile(home, "home/dentist.ics").contains(QStringLiteral("(*)")));
        QVERIFY(!agentLog(home, "helper_agentrun")
                     .filter(QStringLiteral("<Error>: No reminder of 'Dentist' reached"))
                     .isEmpty());

        QVERIFY(sink.start());
        QCOMPARE(runToEnd(), 0);
        QCOMPARE(sink.messages().size(), 2);
        QVERIFY(calendarFile(home, "home/dentist.ics").contains(QStringLiteral("DESCRIPTION:Room 12 (*)")));
    }
};

QTEST_GUILESS_MAIN(AgentEndToEndTest)
#include "tst_agent_e2e.moc"
