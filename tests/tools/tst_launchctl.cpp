// launchctl through the real program, against stand-ins of systemctl and crontab that keep their
// state in the throw-away home (tests/data/launchctl/bin); and the guard that keeps every test
// from the user's own scheduler.
#include "cronjobscheduler.h"
#include "datatable.h"
#include "jobscheduler.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>

namespace {
const QString label = QStringLiteral("com.kestramo.RuvelantAgent");
// An agent path below the home with what a unit file, cron or a shell would take for syntax
// ("&amp;" in the XML).
const QString specialProgram = QStringLiteral("R&D 100%/it's $HOME/RuvelantAgent");

struct Run
{
    int status;
    QString err;
    QString out;
};

class Scheduling
{
public:
    // With "systemd", "cron" (a user manager that does not answer) or "neither" (no crontab either).
    explicit Scheduling(const QString &backend, const QString &program = specialProgram) : m_program(program)
    {
        if (backend != QLatin1String("systemd")) {
            m_home.writeFile(QStringLiteral("no-user-manager"), {});
        }
        if (backend == QLatin1String("neither")) {
            QFile::remove(m_home.schedulerFolder() + QStringLiteral("/crontab"));
        }
        // The agent stand-in notes its arguments and environment when a schedule starts it.
        m_home.writeProgram(m_program,
                            "#!/bin/sh\nprintf '%s|' \"$@\" \"$LANG\" \"$LC_TIME\" \"$TZ\" > '"
                                + QFile::encodeName(m_home.filePath(QStringLiteral("ran"))) + "'\n");
    }

    ThrowAwayHome &home() { return m_home; }
    QString plistPath() const
    {
        return m_home.filePath(QStringLiteral("Library/LaunchAgents/") + label + QStringLiteral(".plist"));
    }

    // Writes the launch-agent file from the fixture with the given label, interval and program
    // (empty: the usual ones).
    void writePlist(const QByteArray &agentLabel = {}, const QByteArray &interval = {},
                    const QByteArray &programPath = {})
    {
        QByteArray text = readFile(QFINDTESTDATA("../data/launchctl/agent.plist"));
        text.replace("@LABEL@", agentLabel.isEmpty() ? label.toUtf8() : agentLabel);
        text.replace("@INTERVAL@", interval.isEmpty() ? QByteArray("1800") : interval);
        text.replace("@PROGRAM@",
                     programPath.isEmpty() ? QFile::encodeName(m_home.filePath(m_program)).replace("&", "&amp;")
                                           : programPath);
        m_home.writeFile(QStringLiteral("Library/LaunchAgents/") + label + QStringLiteral(".plist"), text);
    }

    // Runs build/bin/launchctl with the home's stand-ins of the scheduler and a locale of the
    // user's own.
    Run launchctl(const QStringList &arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QStringList names = environment.keys();
        for (const QString &name : names) {
            if (name.startsWith(QLatin1String("LC_")) || name == QLatin1String("LANGUAGE")) {
                environment.remove(name);
            }
        }
        environment.insert(QStringLiteral("LC_TIME"), QStringLiteral("de_DE.UTF-8"));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(buildPath(QStringLiteral("bin/launchctl")), arguments);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
            return {-1, process.errorString(), QString()};
        }
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardError()),
                QString::fromUtf8(process.readAllStandardOutput())};
    }
    Run launchctl(const char *command)
    {
        return QByteArray(command) == "list" ? launchctl({QStringLiteral("list"), label})
                                             : launchctl({QLatin1String(command), QStringLiteral("-w"), plistPath()});
    }
    // The scheduler that answers from now on: "systemd", or "cron" (a user manager that does not answer).
    void switchTo(const QString &backend)
    {
        if (backend == QLatin1String("systemd")) {
            QFile::remove(m_home.filePath(QStringLiteral("no-user-manager")));
        } else {
            m_home.writeFile(QStringLiteral("no-user-manager"), {});
        }
    }

    // The scheduler's state, as the user's own tools would show it.
    QByteArray state(const char *file) const { return readFile(m_home.filePath(QLatin1String(file))); }
    QString unit(const char *suffix) const
    {
        return m_home.filePath(QStringLiteral(".config/systemd/user/") + label + QLatin1String(suffix));
    }
    QByteArray fixture(const char *name) const
    {
        return readFile(QFINDTESTDATA(QStringLiteral("../data/launchctl/") + QLatin1String(name)))
            .replace("@HOME@", QFile::encodeName(m_home.path()))
            .replace("@TOOLS@", QFile::encodeName(buildPath(QStringLiteral("bin"))));
    }

private:
    ThrowAwayHome m_home;
    QString m_program;
};
} // namespace

class LaunchctlTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // load, load again, unload, unload again; then load and unload without the file.
    void lifecycle_data()
    {
        dataTable<QString, QString, QByteArray>("launchctl/lifecycle.txt", {"backend", "program", "fixture"});
    }
    void lifecycle()
    {
        QFETCH(QString, backend);
        QFETCH(QString, program);
        QFETCH(QByteArray, fixture);
        const bool systemd = backend == QLatin1String("systemd");
        Scheduling s(backend, program);
        s.writePlist();
        s.home().writeFile(QStringLiteral("crontab"), s.fixture("crontab"));
        const QByteArray ownCrontab = s.state("crontab");
        const auto checkLoaded = [&] {
            if (systemd) {
                QCOMPARE(readFile(s.unit(".service")), s.fixture(fixture));
                QCOMPARE(readFile(s.unit(".timer")), s.fixture("agent.timer"));
                QCOMPARE(s.state("timers"), QByteArray("com.kestramo.RuvelantAgent.timer\n"));
                QCOMPARE(s.state("crontab"), ownCrontab);
            } else {
                QCOMPARE(s.state("crontab"), s.fixture(fixture));
            }
        };
        const auto checkUnloaded = [&] {
            QVERIFY(!QFile::exists(s.unit(".service")));
            QVERIFY(!QFile::exists(s.unit(".timer")));
            QCOMPARE(s.state("timers"), QByteArray());
            QCOMPARE(s.state("crontab"), ownCrontab);
        };
        for (int round = 0; round < 2; ++round) {
            const Run load = s.launchctl("load");
            QVERIFY2(load.status == 0 && load.err.isEmpty(), qPrintable(load.err));
            checkLoaded();
        }
        // Where it is scheduled, as the pane asks.
        const Run listed = s.launchctl("list");
        QCOMPARE(listed.status, 0);
        const QList<JobState> states = JobState::fromText(listed.out);
        QCOMPARE(states.size(), 1);
        QCOMPARE(states.first().label, label);
        QCOMPARE(states.first().scheduler, backend);
        QCOMPARE(states.first().startInterval, 1800);
        QCOMPARE(states.first().nextRun.isValid(), systemd);
        QCOMPARE(s.launchctl("unload").status, 0);
        checkUnloaded();
        if (systemd) {
            QCOMPARE(s.state("systemctl.log"), s.fixture("systemctl.log")); // load twice, list, unload
        }
        const Run unlisted = s.launchctl("list");
        QCOMPARE(unlisted.status, 3);
        QVERIFY2(unlisted.out.isEmpty() && unlisted.err.contains(QLatin1String("is not scheduled")),
                 qPrintable(unlisted.err));
        // Nothing loaded: quiet success; the scheduler is asked, never changed.
        const QByteArray systemctlCalls = s.state("systemctl.log");
        const QByteArray crontabCalls = s.state("crontab.log");
        const Run again = s.launchctl("unload");
        QVERIFY2(again.status == 0 && again.err.isEmpty(), qPrintable(again.err));
        QCOMPARE(s.state("systemctl.log").mid(systemctlCalls.size()), QByteArray("--user show-environment\n"));
        QCOMPARE(s.state("crontab.log").mid(crontabCalls.size()), QByteArray("-l\n"));
        checkUnloaded();

        // Without the file, the schedule is still found by the file's name.
        QCOMPARE(s.launchctl("load").status, 0);
        QVERIFY(QFile::remove(s.plistPath()));
        QCOMPARE(s.launchctl("unload").status, 0);
        checkUnloaded();
    }

    // A scheduler that answers only for a while: whatever loaded the agent, unload takes it away,
    // and load leaves it with one scheduler.
    void schedulerComesAndGoes_data()
    {
        dataTable<QString, QString, QString, bool, bool, int>(
            "launchctl/schedulers.txt", {"first", "then", "command", "units", "cronLine", "listed"});
    }
    void schedulerComesAndGoes()
    {
        QFETCH(QString, first);
        QFETCH(QString, then);
        QFETCH(QString, command);
        QFETCH(bool, units);
        QFETCH(bool, cronLine);
        QFETCH(int, listed);
        Scheduling s(first);
        s.writePlist();
        QCOMPARE(s.launchctl("load").status, 0);
        s.switchTo(then);
        const Run run = s.launchctl(qPrintable(command));
        QVERIFY2(run.status == 0 && run.err.isEmpty(), qPrintable(run.err));
        QCOMPARE(QFile::exists(s.unit(".service")), units);
        QCOMPARE(QFile::exists(s.unit(".timer")), units);
        QCOMPARE(QFileInfo::exists(
                     s.unit(".timer").replace(QLatin1String("user/"), QLatin1String("user/timers.target.wants/"))),
                 units && then == QLatin1String("systemd"));
        QCOMPARE(s.state("crontab").contains("# launchctl:com.kestramo.RuvelantAgent"), cronLine);
        QCOMPARE(s.launchctl("list").status, listed);
    }

    // The crontab line starts the agent as cron would: through sh, after cron's own '%' rule.
    void cronLineRuns()
    {
        Scheduling s(QStringLiteral("cron"));
        s.writePlist();
        QCOMPARE(s.launchctl("load").status, 0);
        const QString line = QString::fromUtf8(s.state("crontab")).trimmed();
        const QString command = line.section(QLatin1Char(' '), 5).replace(QLatin1String("\\%"), QLatin1String("%"));
        QProcess sh;
        sh.setProcessEnvironment(QProcessEnvironment());
        sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
        QVERIFY(sh.waitForFinished());
        QCOMPARE(s.state("ran"), QByteArray("--from $HOME|en_US.UTF-8|de_DE.UTF-8|Europe/Paris|"));
    }

    void systemdAnalyzeVerify_data()
    {
        QTest::addColumn<QString>("program");
        row("plain path", "Ruvelant.prefPane/Contents/Resources/RuvelantAgent");
        row("path with quote, %, $, &", specialProgram);
    }
    void systemdAnalyzeVerify()
    {
        QFETCH(QString, program);
        Scheduling s(QStringLiteral("systemd"), program);
        s.writePlist();
        QCOMPARE(s.launchctl("load").status, 0);
        QProcess verify; // in the home's own runtime folder
        verify.start(QStringLiteral("systemd-analyze"),
                     {QStringLiteral("verify"), QStringLiteral("--user"), s.unit(".service"), s.unit(".timer")});
        if (!verify.waitForFinished(60000)) {
            QSKIP("systemd-analyze is not available here");
        }
        const QByteArray out = verify.readAllStandardOutput() + verify.readAllStandardError();
        if (verify.exitCode() != 0 && out.contains("Failed to initialize manager")) {
            QSKIP("systemd-analyze cannot verify user units offline here");
        }
        QVERIFY2(verify.exitCode() == 0 && out.isEmpty(), out.constData());
    }

    // cron counts in whole minutes and restarts its steps every hour and day: the longest step
    // that does not exceed the interval.
    void cronSchedule_data()
    {
        dataTable<int, QString, int>("launchctl/cronschedules.txt", {"interval", "fields", "every"});
    }
    void cronSchedule()
    {
        QFETCH(int, interval);
        QFETCH(QString, fields);
        QFETCH(int, every);
        QCOMPARE(CronJobScheduler::schedule(interval), fields);
        QCOMPARE(CronJobScheduler::interval(fields), qint64(every));
    }

    // Refusals leave every schedule and the user's crontab as they were.
    void refused_data()
    {
        dataTable<QString, QByteArray, QByteArray, QByteArray, QString, QStringList>(
            "launchctl/refused.txt", {"backend", "agentLabel", "interval", "program", "message", "arguments"});
    }
    void refused()
    {
        QFETCH(QString, backend);
        QFETCH(QByteArray, agentLabel);
        QFETCH(QByteArray, interval);
        QFETCH(QByteArray, program);
        QFETCH(QString, message);
        QFETCH(QStringList, arguments);
        Scheduling s(backend);
        if (!agentLabel.isNull())
            s.writePlist(agentLabel, interval, program);
        const QString tag = QString::fromUtf8(QTest::currentDataTag());
        // A crontab longer than what is kept of a program's output (16 MiB).
        const QByteArray crontab
            = tag.startsWith(QLatin1String("huge")) ? QByteArray(17 << 20, '#') + '\n' : s.fixture("crontab");
        s.home().writeFile(QStringLiteral("crontab"), crontab);
        if (tag.startsWith(QLatin1String("unreadable"))) {
            s.home().writeFile(QStringLiteral("crontab-unreadable"), {});
        }
        const QString target
            = tag.startsWith(QLatin1String("folder")) ? QFileInfo(s.plistPath()).absolutePath() : s.plistPath();
        if (tag.startsWith(QLatin1String("mode ")) || tag.startsWith(QLatin1String("folder "))) {
            QVERIFY(::chmod(QFile::encodeName(target).constData(),
                            tag.section(QLatin1Char(' '), 1, 1).chopped(1).toUInt(nullptr, 8))
                    == 0);
        }
        arguments.replaceInStrings(QStringLiteral("FILE"), s.plistPath());
        const Run run = arguments.isEmpty() ? s.launchctl("load") : s.launchctl(arguments);
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.startsWith(QLatin1String("launchctl: ")) && run.err.contains(message), qPrintable(run.err));
        QVERIFY(s.state("crontab") == crontab);
        QVERIFY(!s.state("crontab.log").contains("-\n"));
        QVERIFY(!QDir(s.home().filePath(QStringLiteral(".config/systemd"))).exists());
    }

    // The schedule names the folder of the programs of the installation that made it, so that a
    // copy of the agent can tell when that installation was removed; a folder whose name cannot
    // be written into a unit or crontab line is left out, and the schedule stays whole.
    void installationFolder_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("named");
        row("systemd, plain folder", "systemd", "prefix/lib/ruvelant/bin", true);
        row("cron, folder with quote, %, $", "cron", "it's 100% $HOME/bin", true);
        row("systemd, folder with a line break", "systemd", "pre\nfix/bin", false);
        row("cron, folder with a line break", "cron", "pre\nfix/bin", false);
    }
    void installationFolder()
    {
        QFETCH(QString, backend);
        QFETCH(QString, folder);
        QFETCH(bool, named);
        Scheduling s(backend);
        s.writePlist();
        for (const char *program : {"/launchctl", "/defaults"}) {
            s.home().writeProgram(folder + QLatin1String(program),
                                  readFile(buildPath(QStringLiteral("bin") + QLatin1String(program))));
        }
        s.home().setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(s.home().filePath(folder)));
        const Run load = s.launchctl("load");
        QCOMPARE(load.status, 0);
        const QString schedule
            = QString::fromUtf8(backend == QLatin1String("cron") ? s.state("crontab") : readFile(s.unit(".service")));
        QCOMPARE(schedule.count(QLatin1Char('\n')), backend == QLatin1String("cron") ? 1 : 8);
        QCOMPARE(schedule.contains(QLatin1String("RUVELANT_INSTALLATION=")), named);
        // What the scheduled program gets: the folder as it is.
        if (backend == QLatin1String("cron")) {
            s.home().writeProgram(QStringLiteral("R&D 100%/it's $HOME/RuvelantAgent"),
                                  "#!/bin/sh\nprintf '%s' \"$RUVELANT_INSTALLATION\" > \"$HOME/installation\"\n");
            const QString command
                = schedule.trimmed().section(QLatin1Char(' '), 5).replace(QLatin1String("\\%"), QLatin1String("%"));
            QProcess sh;
            sh.setProcessEnvironment(QProcessEnvironment());
            sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
            QVERIFY(sh.waitForFinished());
            QCOMPARE(QString::fromUtf8(readFile(s.home().filePath(QStringLiteral("installation")))),
                     named ? s.home().filePath(folder) : QString());
        }
    }

    // The scheduler's programs are taken from the folder that RUVELANT_SCHEDULER_DIR names and
    // from nowhere else: programs of those names on PATH (the user's own) are never started.
    void schedulerFolderBeforePath_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<int>("status");
        row("the folder's systemctl, not PATH's", "systemd", 0);
        row("the folder's crontab, not PATH's", "cron", 0);
        row("no crontab in the folder: no cron, though PATH has one", "neither", 1);
    }
    void schedulerFolderBeforePath()
    {
        QFETCH(QString, backend);
        QFETCH(int, status);
        Scheduling s(backend);
        s.writePlist();
        for (const char *program : {"decoy/systemctl", "decoy/crontab"}) {
            s.home().writeProgram(QLatin1String(program),
                                  "#!/bin/sh\necho \"$0 $*\" >> \"$HOME/decoy.log\"\necho '[]'\n");
        }
        s.home().setEnv("PATH", QFile::encodeName(s.home().filePath(QStringLiteral("decoy"))) + ':' + qgetenv("PATH"));
        QCOMPARE(s.launchctl("load").status, status);
        QCOMPARE(s.launchctl("unload").status, 0);
        QCOMPARE(s.state("decoy.log"), QByteArray());
        QCOMPARE(s.state("systemctl.log").isEmpty(), false);
    }

    // Every test runs behind tests/support/schedulerguard: a test whose programs reach a
    // scheduler that is not its home's stand-in fails, whatever its own verdict.
    void guard_data()
    {
        QTest::addColumn<bool>("throughStandIns");
        QTest::addColumn<int>("ownStatus");
        QTest::addColumn<int>("status");
        row("through its home's stand-ins: its own verdict, passed", true, 0, 0);
        row("through its home's stand-ins: its own verdict, failed", true, 3, 3);
        row("reaching the scheduler: failed, though it passed", false, 0, 1);
    }
    void guard()
    {
        QFETCH(bool, throughStandIns);
        QFETCH(int, ownStatus);
        QFETCH(int, status);
        Scheduling s(QStringLiteral("cron"));
        s.writePlist();
        // A test's program that loads the agent, with its home's stand-ins or with none named.
        const QString load
            = QStringLiteral("%1 '%2' load -w '%3'; exit %4")
                  .arg(throughStandIns ? QStringLiteral("RUVELANT_SCHEDULER_DIR='%1'").arg(s.home().schedulerFolder())
                                       : QString(),
                       buildPath(QStringLiteral("bin/launchctl")), s.plistPath())
                  .arg(ownStatus);
        QProcess guarded;
        guarded.start(QStringLiteral("/bin/sh"),
                      {QStringLiteral(RUVELANT_SOURCE_DIR "/tests/support/schedulerguard"), QStringLiteral("/bin/sh"),
                       QStringLiteral("-c"), load});
        QString said;
        QCOMPARE(finish(guarded, &said), status);
        QCOMPARE(said.contains(QLatin1String("would have reached the user's own scheduler")), !throughStandIns);
        QCOMPARE(s.state("crontab").contains("launchctl:com.kestramo.RuvelantAgent"), throughStandIns);
    }
};

QTEST_GUILESS_MAIN(LaunchctlTest)
#include "tst_launchctl.moc"
