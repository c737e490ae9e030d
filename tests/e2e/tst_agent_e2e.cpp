// The real agent binary against real files and a real mail chain: vdir calendars and a vCard
// address book on disk, msmtp as sendmail and an SMTP server on 127.0.0.1 writing a Maildir.
#include "smtpsink.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <memory>
#include <vector>

namespace {
// Runs count agents at the same time; their exit codes (-1: crashed or killed).
QList<int> runAgents(int count)
{
    std::vector<std::unique_ptr<QProcess>> agents;
    for (int i = 0; i < count; ++i) {
        agents.push_back(std::make_unique<QProcess>());
        agents.back()->setProcessChannelMode(QProcess::ForwardedOutputChannel);
        agents.back()->start(buildPath(QStringLiteral("Ruvelant.prefPane/Contents/Resources/RuvelantAgent")), {});
        agents.back()->closeWriteChannel();
    }
    QList<int> exitCodes;
    for (auto &agent : agents) {
        if (!agent->waitForFinished(120000)) {
            agent->kill();
            agent->waitForFinished();
        }
        exitCodes.append(agent->exitStatus() == QProcess::NormalExit ? agent->exitCode() : -1);
    }
    return exitCodes;
}

// The usual settings; calendar "home" (Dentist with Ann twice, Jürgen of the address book, the
// user and a phone number; Alone without attendees) and "work" (Board) on the day that a run
// started now searches with 4 days.
void setUp(ThrowAwayHome &home)
{
    const QDate day = QDateTime::currentDateTime().addSecs(4 * 86400).date();
    home.copyFixture(QStringLiteral("agent"), QStringLiteral(".local/share"),
                     {{"@DAY@", day.toString(QStringLiteral("yyyyMMdd")).toLatin1()}});
    storePreferences();
}

QString calendarFile(const ThrowAwayHome &home, const char *name)
{
    return QString::fromUtf8(readFile(home.filePath(QStringLiteral(".local/share/calendars/") + QLatin1String(name))));
}
} // namespace

class AgentEndToEndTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void remindsEachAttendeeOnceAndMarks()
    {
        ThrowAwayHome home("Europe/Paris", "fr_FR.UTF-8");
        setUp(home);
        SmtpSink sink(home);
        QVERIFY(sink.start());

        // The scheduler's run and the pane's run at the same time: they take turns, and the
        // second finds the events marked by the first. Each ends with its pause of 10 seconds.
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runAgents(2), (QList<int> {0, 0}));
        QVERIFY2(timer.elapsed() >= 10000, qPrintable(QString::number(timer.elapsed())));

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
        QCOMPARE(received.size(), 3);
        QVERIFY2(received.at(0).startsWith(QStringLiteral("ann@example.org: Dear  ,\nat 10:00")), // not in the book
                 qPrintable(received.at(0)));
        QCOMPARE(received.at(1), received.at(0));
        QVERIFY2(received.at(2).startsWith(QStringLiteral("juergen@example.de: Dear Jürgen Groß,\nat 10:00")),
                 qPrintable(received.at(2)));

        QVERIFY(calendarFile(home, "home/dentist.ics").contains(QStringLiteral("DESCRIPTION:Room 12 (*)")));
        QVERIFY(!calendarFile(home, "home/alone.ics").contains(QStringLiteral("(*)")));
        QVERIFY(!calendarFile(home, "work/board.ics").contains(QStringLiteral("(*)")));

        const QStringList records = logRecords(home.filePath(QStringLiteral("Library/Logs/RuvelantAgent.log")));
        QVERIFY(records.first().endsWith(QStringLiteral("<Info>: started -v.5")));
        QVERIFY(records.last().endsWith(QStringLiteral("<Info>: terminated")));
        QCOMPARE(records.filter(QStringLiteral("<Info>:  Dentist  ->ann@example.org")).size(), 2);
        QCOMPARE(records.filter(QStringLiteral("<Error>: Failed to notify 'Phone Only'")).size(), 1);
    }

    void switchedOffRunWritesThreeRecords()
    {
        ThrowAwayHome home;
        setUp(home);
        storePreferences({{QStringLiteral("quorvelEnabled"), QStringLiteral("0")}}); // as the uninstaller writes it
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runAgents(1), QList<int> {0});
        QVERIFY2(timer.elapsed() >= 10000, qPrintable(QString::number(timer.elapsed())));
        const QStringList records = logRecords(home.filePath(QStringLiteral("Library/Logs/RuvelantAgent.log")));
        QCOMPARE(records.size(), 3);
        QVERIFY(records.at(0).endsWith(QStringLiteral("<Info>: started -v.5")));
        QVERIFY(records.at(1).endsWith(QStringLiteral("<Error>: exiting, disabled in system preferences")));
        QVERIFY(records.at(2).endsWith(QStringLiteral("<Info>: terminated")));
        QVERIFY(!calendarFile(home, "home/dentist.ics").contains(QStringLiteral("(*)")));
    }

    void mailServerDownLeavesEventForNextRun()
    {
        ThrowAwayHome home;
        setUp(home);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        sink.stop();

        QCOMPARE(runAgents(1), QList<int> {0});
        QVERIFY(!calendarFile(home, "home/dentist.ics").contains(QStringLiteral("(*)")));
        QVERIFY(!logRecords(home.filePath(QStringLiteral("Library/Logs/RuvelantAgent.log")))
                     .filter(QStringLiteral("<Error>: No reminder of 'Dentist' reached"))
                     .isEmpty());

        QVERIFY(sink.start());
        QCOMPARE(runAgents(1), QList<int> {0});
        QCOMPARE(sink.messages().size(), 3);
        QVERIFY(calendarFile(home, "home/dentist.ics").contains(QStringLiteral("DESCRIPTION:Room 12 (*)")));
    }
};

QTEST_GUILESS_MAIN(AgentEndToEndTest)
#include "tst_agent_e2e.moc"
