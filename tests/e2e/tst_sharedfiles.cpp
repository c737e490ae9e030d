// The agent shares its files with other programs: a sync tool rewriting event files during a
// run, read-only calendars, a kill in the middle of a hand-over. Real runs of
// the agent (without the closing pause) through the real mail chain.
#include "agentruns.h"
#include "datatable.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/stat.h>

namespace {
constexpr int eventCount = 100;

// Waits up to 30 seconds for the condition.
bool waitFor(const std::function<bool()> &condition)
{
    for (int i = 0; i < 30000 && !condition(); ++i)
        QThread::usleep(1000);
    return condition();
}
} // namespace

class SharedFilesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A sync tool rewrites each event file once, at the moment the row names: after the run read
    // it and sent its reminders, or between the check and the replace of the run's save. After
    // the run and the next one, every change of the tool is there, every event is marked once
    // and every attendee got one reminder.
    void writerRacesTheRun_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("rewritten once its reminders are sent") << QStringLiteral("sent");
        QTest::newRow("rewritten while the run saves it") << QStringLiteral("saving");
    }
    void writerRacesTheRun()
    {
        QFETCH(QString, mode);
        ThrowAwayHome home;
        writeManyEvents(home, eventCount);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QProcess writer;
        writer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QString folder = home.calendarsPath() + QStringLiteral("/home");
        writer.start(buildPath(QStringLiteral("tests/helpers/helper_racewriter")),
                     mode == QLatin1String("sent") ? QStringList {mode, folder, sink.maildirPath()}
                                                   : QStringList {mode, folder});
        QVERIFY(writer.waitForReadyRead(20000) && writer.readLine() == "ready\n");
        const auto agent = startProgram(AgentRunOnly);
        writer.write(QByteArray::number(agent->processId()) + '\n');
        QVERIFY(writer.waitForBytesWritten(20000));
        QString first;
        QCOMPARE(finish(*agent, &first), 0);
        writer.closeWriteChannel();
        QVERIFY(writer.waitForFinished(20000));
        const int rewrites = writer.readAllStandardOutput().trimmed().toInt();
        qInfo("%d files rewritten; %d saves met a write made since the file was read, %d one made while it was saved",
              rewrites, int(first.count(QStringLiteral("changed since the event was read"))),
              int(first.count(QStringLiteral("wrote the file while it was saved"))));
        QCOMPARE(rewrites, eventCount);
        const auto check = [&] {
            const QHash<QString, QByteArray> files = eventFiles(home);
            QCOMPARE(files.size(), eventCount);
            for (auto it = files.cbegin(); it != files.cend(); ++it) {
                QVERIFY2(it->contains("X-WRITER:" + QFile::encodeName(it.key())), qPrintable(it.key()));
                QVERIFY2(it->count("(*)") == 1, qPrintable(it.key()));
            }
        };
        check(); // marked by the run itself, on each file as the tool left it
        QCOMPARE(runToEnd(), 0);
        check();
        const QHash<QString, int> received = deliveries(sink);
        QCOMPARE(received.size(), 2 * eventCount);
        QCOMPARE(received.keys(1).size(), 2 * eventCount);
    }

    // A calendar that cannot be written: its reminders go out once, the file stays as it is,
    // and each run says once that the event cannot be marked. Without a journal to keep them
    // from going out again, they are not sent at all, and each run says why, once.
    void readOnlyCalendar_data()
    {
        QTest::addColumn<QString>("readOnly");
        QTest::addColumn<bool>("journal");
        QTest::addColumn<int>("mails");
        QTest::addColumn<QString>("said");
        const QString cannotBeMarked = QStringLiteral("'Dentist' cannot be marked");
        row("read-only folder", "home", true, 2, cannotBeMarked);
        row("read-only file", "home/dentist.ics", true, 2, cannotBeMarked);
        row("read-only file, no journal", "home/dentist.ics", false, 0,
            "Not reminded, since they cannot be marked and the record of sent reminders cannot be kept");
    }
    void readOnlyCalendar()
    {
        QFETCH(QString, readOnly);
        QFETCH(bool, journal);
        QFETCH(int, mails);
        QFETCH(QString, said);
        ThrowAwayHome home;
        writeAgentHome(home);
        if (!journal)
            home.writeFile(QStringLiteral(".local/state/ruvelant"), "a file where the journal's folder goes\n");
        SmtpSink sink(home);
        QVERIFY(sink.start());
        const QString dentist = home.calendarsPath() + QStringLiteral("/home/dentist.ics");
        const QString path = home.calendarsPath() + QLatin1Char('/') + readOnly;
        QVERIFY(::chmod(QFile::encodeName(path).constData(), readOnly.endsWith(QLatin1String(".ics")) ? 0444 : 0555)
                == 0);
        const QByteArray before = readFile(dentist);
        for (int run = 0; run < 2; ++run) {
            QString errors;
            QCOMPARE(runToEnd(&errors), 0);
            QCOMPARE(errors.count(said), 1);
            QCOMPARE(sink.messages().size(), mails); // Ann (listed twice), Jürgen
            QCOMPARE(readFile(dentist), before);
        }
        ::chmod(QFile::encodeName(path).constData(), 0755);
    }

    // A sync tool that puts the server's version back after each local change takes the marker
    // away after every run: the runs send nothing more and mark the event again.
    void syncToolUndoesTheMarker()
    {
        ThrowAwayHome home;
        writeAgentHome(home);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        const QString dentist = QStringLiteral(".local/share/calendars/home/dentist.ics");
        const QByteArray server = readFile(home.filePath(dentist));
        for (int run = 0; run < 4; ++run) {
            QCOMPARE(runToEnd(), 0);
            QVERIFY(readFile(home.filePath(dentist)).contains("(*)"));
            home.writeFile(dentist, server);
        }
        const QHash<QString, int> received = deliveries(sink);
        QStringList once = received.keys(1);
        once.sort();
        QCOMPARE(received.size(), 2);
        QCOMPARE(once, (QStringList {QStringLiteral("ann@example.org"), QStringLiteral("juergen@example.de")}));
    }

    // Killed while sendmail waits for its input: the mail system delivers nothing, and the next
    // run sends the whole reminder.
    void killedDuringHandOver()
    {
        ThrowAwayHome home;
        writeAgentHome(home);
        SmtpSink sink(home);
        QVERIFY(sink.start());
        // A sendmail that holds its first hand-over until released, then reads its input.
        home.writeProgram(QStringLiteral("held/sendmail"),
                          readFile(QFINDTESTDATA("../data/sharedfiles/sendmail"))
                              .replace("@SINK@", QFile::encodeName(sink.binPath())));
        home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("held"))) + ':' + qgetenv("PATH"));
        const auto agent = startProgram(AgentRunOnly);
        const QString held = home.filePath(QStringLiteral("held.pid"));
        QVERIFY(waitFor([&] { return readFile(held).endsWith('\n'); }));
        ::kill(agent->processId(), SIGKILL);
        QVERIFY(agent->waitForFinished());
        home.writeFile(QStringLiteral("release"), "");
        const QByteArray sendmail = "/proc/" + readFile(held).trimmed();
        QVERIFY(waitFor([&] { return !QFile::exists(QFile::decodeName(sendmail)); }));
        QCOMPARE(sink.rawMessages().size(), 0);

        QCOMPARE(runToEnd(), 0);
        const auto messages = sink.messages();
        QCOMPARE(messages.size(), 2);
        for (const auto &message : messages)
            QVERIFY(message->decodedContent().startsWith("Dear "));
    }
};

QTEST_GUILESS_MAIN(SharedFilesTest)
#include "tst_sharedfiles.moc"
