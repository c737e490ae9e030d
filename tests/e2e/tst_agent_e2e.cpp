// The real agent binary against real files and a real mail chain: vdir calendars and a vCard
// address book on disk, msmtp as sendmail and an SMTP server on 127.0.0.1 writing a Maildir.
#include "preferenceservice.h"
#include "smtpsink.h"
#include "throwawayhome.h"

#include <KMime/Message>

#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <memory>
#include <vector>

namespace {
const QString domainName = QStringLiteral("com.kestramo.ruvelant");

QString agentPath()
{
    return buildPath(QStringLiteral("Ruvelant.prefPane/Contents/Resources/RuvelantAgent"));
}

// The local day that a run started now searches with 4 days configured.
QDate searchedDay()
{
    return QDateTime::currentDateTime().addSecs(4 * 86400).date();
}

QByteArray vevent(const QByteArray &uid, const QByteArray &summary, const QByteArray &time, const QByteArrayList &extra)
{
    const QByteArray day = searchedDay().toString(QStringLiteral("yyyyMMdd")).toLatin1();
    QByteArray ics = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid
        + "\r\nDTSTAMP:20100101T000000Z\r\nSUMMARY:" + summary + "\r\nDTSTART:" + day + "T" + time
        + "\r\nDURATION:PT1H\r\n";
    for (const QByteArray &line : extra) {
        ics += line + "\r\n";
    }
    return ics + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

struct RunResult
{
    int exitCode = -1;
    qint64 elapsedMs = 0;
};

// Runs count agents at the same time and waits for all of them.
QList<RunResult> runAgents(int count)
{
    std::vector<std::unique_ptr<QProcess>> agents;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        agents.push_back(std::make_unique<QProcess>());
        agents.back()->setProcessChannelMode(QProcess::ForwardedOutputChannel);
        agents.back()->start(agentPath(), {});
        agents.back()->closeWriteChannel();
    }
    QList<RunResult> results;
    for (auto &agent : agents) {
        if (!agent->waitForFinished(120000)) {
            agent->kill();
            agent->waitForFinished();
        }
        results.append({agent->exitStatus() == QProcess::NormalExit ? agent->exitCode() : -1, timer.elapsed()});
    }
    return results;
}

RunResult runAgent()
{
    return runAgents(1).first();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void setUpDomain(bool enabled)
{
    PreferenceService domain(domainName);
    domain.setValue(QStringLiteral("quorvelEnabled"), enabled);
    domain.setValue(QStringLiteral("daysBeforeEventStart"), QStringLiteral("4"));
    domain.setValue(QStringLiteral("activeCalendars"), QStringList {QStringLiteral("personal")});
    domain.setValue(QStringLiteral("senderEmail"), QStringLiteral("me@example.com"));
    domain.setValue(QStringLiteral("mailTitle"), QStringLiteral("Rendez-vous le <<date>>"));
    domain.setValue(QStringLiteral("mailContent"), QStringLiteral("Bonjour <<first>> <<last>>,\nà <<time>>."));
    QVERIFY(domain.synchronize());
}

void setUpData(const ThrowAwayHome &home)
{
    home.writeFile(QStringLiteral(".local/share/calendars/personal/displayname"), "Personal\n");
    home.writeFile(
        QStringLiteral(".local/share/calendars/personal/dentist.ics"),
        vevent("dentist", "Dentist", "100000",
               {"ATTENDEE;CN=Ann Lee:mailto:ann@example.org", "ATTENDEE;CN=\"Jürgen Groß\":mailto:juergen@example.de",
                "ATTENDEE;CN=Me:mailto:me@example.com", "ATTENDEE;CN=Phone Only:tel:+331234", "DESCRIPTION:Room 12"}));
    home.writeFile(QStringLiteral(".local/share/calendars/personal/alone.ics"), vevent("alone", "Alone", "120000", {}));
    home.writeFile(QStringLiteral(".local/share/calendars/work/board.ics"),
                   vevent("board", "Board", "090000", {"ATTENDEE:mailto:ann@example.org"}));
    home.writeFile(QStringLiteral(".local/share/contacts/default/me.vcf"),
                   "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:me-uid\r\nN:User;Me;;;\r\nFN:Me User\r\n"
                   "EMAIL:me@example.com\r\nEND:VCARD\r\n");
    home.writeFile(QStringLiteral(".local/share/contacts/default/juergen.vcf"),
                   "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:j-uid\r\nN:Groß;Jürgen;;;\r\nFN:Jürgen Groß\r\n"
                   "EMAIL:juergen@example.de\r\nEND:VCARD\r\n");
    home.writeFile(QStringLiteral(".local/share/contacts/me"), "me-uid\n");
}

QString dentistFile(const ThrowAwayHome &home)
{
    return QString::fromUtf8(readFile(home.filePath(QStringLiteral(".local/share/calendars/personal/dentist.ics"))));
}
} // namespace

class AgentEndToEndTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void remindsEachAttendeeOnceAndMarks()
    {
        ThrowAwayHome home("Europe/Paris", "fr_FR.UTF-8");
        setUpData(home);
        setUpDomain(true);
        SmtpSink sink(home);
        QVERIFY(sink.start());

        // The scheduler's run and the pane's run at the same time: they take turns, and the
        // second finds the events marked by the first.
        for (const RunResult &run : runAgents(2)) {
            QCOMPARE(run.exitCode, 0);
        }

        const QList<KMime::Message::Ptr> messages = sink.messages();
        QCOMPARE(messages.size(), 2);
        QStringList recipients;
        for (const auto &message : messages) {
            QCOMPARE(message->to()->addresses().size(), 1);
            QVERIFY(!message->cc(false) && !message->bcc(false));
            recipients.append(QString::fromUtf8(message->to()->addresses().first()));
            QCOMPARE(QString::fromUtf8(message->from()->addresses().first()), QStringLiteral("me@example.com"));
            QVERIFY2(message->subject()->asUnicodeString().startsWith(QStringLiteral("Rendez-vous le ")),
                     qPrintable(message->subject()->asUnicodeString()));
            QVERIFY(!message->subject()->asUnicodeString().contains(QStringLiteral("<<")));
        }
        recipients.sort();
        QCOMPARE(recipients, (QStringList {QStringLiteral("ann@example.org"), QStringLiteral("juergen@example.de")}));
        for (const auto &message : messages) {
            const QString body = QString::fromUtf8(message->decodedContent());
            if (message->to()->addresses().first() == "juergen@example.de") {
                QVERIFY2(body.startsWith(QStringLiteral("Bonjour Jürgen Groß,\nà ")), qPrintable(body));
            } else {
                QVERIFY2(body.startsWith(QStringLiteral("Bonjour  ,\nà ")), qPrintable(body)); // not in the book
            }
        }

        QVERIFY(dentistFile(home).contains(QStringLiteral("DESCRIPTION:Room 12 (*)")));
        QVERIFY(!readFile(home.filePath(QStringLiteral(".local/share/calendars/personal/alone.ics"))).contains("(*)"));
        QVERIFY(!readFile(home.filePath(QStringLiteral(".local/share/calendars/work/board.ics"))).contains("(*)"));

        const QStringList records = logRecords(home.filePath(QStringLiteral("Library/Logs/RuvelantAgent.log")));
        QVERIFY(records.first().endsWith(QStringLiteral("<Info>: started -v.5")));
        QVERIFY(records.last().endsWith(QStringLiteral("<Info>: terminated")));
        QCOMPARE(records.filter(QStringLiteral("<Info>:  Dentist  ->ann@example.org")).size(), 1);
        QCOMPARE(records.filter(QStringLiteral("<Error>: Failed to notify 'Phone Only'")).size(), 1);
    }

    void switchedOffRunWritesThreeRecords()
    {
        ThrowAwayHome home;
        setUpData(home);
        setUpDomain(false);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        const RunResult run = runAgent();
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.elapsedMs >= 10000, qPrintable(QString::number(run.elapsedMs)));
        const QStringList records = logRecords(home.filePath(QStringLiteral("Library/Logs/RuvelantAgent.log")));
        QCOMPARE(records.size(), 3);
        QVERIFY(records.at(0).endsWith(QStringLiteral("<Info>: started -v.5")));
        QVERIFY(records.at(1).endsWith(QStringLiteral("<Error>: exiting, disabled in system preferences")));
        QVERIFY(records.at(2).endsWith(QStringLiteral("<Info>: terminated")));
        QVERIFY(sink.messages().isEmpty());
        QVERIFY(!dentistFile(home).contains(QStringLiteral("(*)")));
    }

    void mailServerDownLeavesEventForNextRun()
    {
        ThrowAwayHome home;
        setUpData(home);
        setUpDomain(true);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        sink.stop();

        QCOMPARE(runAgent().exitCode, 0);
        QVERIFY(!dentistFile(home).contains(QStringLiteral("(*)")));
        QVERIFY(!logRecords(home.filePath(QStringLiteral("Library/Logs/RuvelantAgent.log")))
                     .filter(QStringLiteral("<Error>: No reminder of 'Dentist' reached"))
                     .isEmpty());

        QVERIFY(sink.start());
        QCOMPARE(runAgent().exitCode, 0);
        QCOMPARE(sink.messages().size(), 2);
        QVERIFY(dentistFile(home).contains(QStringLiteral("DESCRIPTION:Room 12 (*)")));
    }
};

QTEST_GUILESS_MAIN(AgentEndToEndTest)
#include "tst_agent_e2e.moc"
