// Programs: which of our programs an installation starts for "/bin/launchctl" and
// "/usr/bin/defaults", the run-and-wait helper, and a program that ends with its starter.
#include "datatable.h"
#include "programs.h"
#include "throwawayhome.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

class ProgramsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void toolsFolderNear_data()
    {
        dataTable<QString, QString>("programs/toolsfolders.txt", {"programFolder", "toolsFolder"});
    }
    void toolsFolderNear()
    {
        QFETCH(QString, programFolder);
        QFETCH(QString, toolsFolder);
        ThrowAwayHome home;
        for (const char *file : {"build/bin/launchctl", "build/bin/defaults", "prefix/lib/ruvelant/bin/launchctl",
                                 "prefix/lib/ruvelant/bin/defaults", "gnustep/bin/defaults"})
            home.writeProgram(QLatin1String(file), "#!/bin/sh\n");
        QVERIFY(QDir().mkpath(home.filePath(programFolder)));
        QCOMPARE(Programs::toolsFolderNear(home.filePath(programFolder)),
                 toolsFolder.isEmpty() ? QString() : home.filePath(toolsFolder));
    }

    void pathFor_data() { dataTable<QString, bool, QString>("programs/paths.txt", {"path", "override", "expected"}); }
    void pathFor()
    {
        QFETCH(QString, path);
        QFETCH(bool, override);
        QFETCH(QString, expected);
        ThrowAwayHome home;
        home.setEnv(Programs::ToolsFolderVariable,
                    override ? QFile::encodeName(home.filePath(QStringLiteral("tools"))) : QByteArray());
        const QString folder = override ? home.filePath(QStringLiteral("tools")) : buildPath(QStringLiteral("bin"));
        QCOMPARE(Programs::pathFor(path),
                 expected.startsWith(QLatin1Char('/')) ? expected : folder + QLatin1Char('/') + expected);
    }

    void run_data() { dataTable<QString, int, QStringList>("programs/runs.txt", {"path", "status", "arguments"}); }
    void run()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QStringList, arguments);
        ThrowAwayHome home;
        QString error;
        QCOMPARE(Programs::run(path, arguments, &error), status);
        QCOMPARE(error.isEmpty(), status >= 0);
    }

    // A program fed without end gets no more memory than it was given, and fails instead.
    void memoryLimit_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<int>("megabytes"); // what the program takes
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("within the limit") << qint64(256) * 1024 * 1024 << 16 << true;
        QTest::newRow("past the limit") << qint64(64) * 1024 * 1024 << 200 << false;
    }
    void memoryLimit()
    {
        QFETCH(qint64, limit);
        QFETCH(int, megabytes);
        QFETCH(bool, succeeds);
        Programs::Options options;
        options.memoryLimit = limit;
        const Programs::Outcome run = Programs::execute(
            QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"), QStringLiteral("b = bytearray(%1 * 1024 * 1024)").arg(megabytes)}, options);
        QCOMPARE(run.how, Programs::Outcome::Exited);
        QCOMPARE(run.succeeded(), succeeds);
    }

    // A process killed while it waits for a program started to end with it (the mail hand-over)
    // takes the program with it: nothing is left to finish the job half-fed.
    void endsWithThisProcess()
    {
        ThrowAwayHome home;
        const QString pidFile = home.filePath(QStringLiteral("program.pid"));
        QVERIFY(::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0); // the orphaned program comes back to us
        const pid_t starter = ::fork();
        if (starter == 0) {
            Programs::Options options;
            options.endsWithThisProcess = true;
            Programs::execute(QStringLiteral("/bin/sh"),
                              {QStringLiteral("-c"), QStringLiteral("echo $$ > '%1'; exec sleep 60").arg(pidFile)},
                              options);
            ::_exit(0);
        }
        QVERIFY(starter > 0);
        QTRY_VERIFY_WITH_TIMEOUT(readFile(pidFile).endsWith('\n'), 10000);
        const pid_t program = readFile(pidFile).trimmed().toInt();
        ::kill(starter, SIGKILL);
        ::waitpid(starter, nullptr, 0);
        int status = 0;
        pid_t reaped = 0;
        for (QDeadlineTimer deadline(10000); reaped == 0 && !deadline.hasExpired(); QTest::qSleep(20))
            reaped = ::waitpid(program, &status, WNOHANG);
        if (reaped == 0)
            ::kill(program, SIGKILL);
        QCOMPARE(reaped, program);
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
};

QTEST_GUILESS_MAIN(ProgramsTest)
#include "tst_programs.moc"
