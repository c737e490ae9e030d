// The Debian package made by cpack from the install rules, and the installer that it holds run
// as a person runs it: --install, then --uninstall, in a throw-away home, offscreen.
#include "datatable.h"
#include "scriptrunner.h"
#include "storedpreferences.h"
#include "syncschedule.h"
#include "systempreferenceschannel.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <memory>

namespace {
struct Result
{
    int status;
    QString out;
};

Result run(const QString &program, const QStringList &arguments, const QString &folder = QString())
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return {-1, QString()};
    }
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput())};
}

// Runs the program of label as cron starts it (the home's stand-in holds its crontab line): the
// line's command through sh, after cron's own '%' rule.
Result runScheduled(const ThrowAwayHome &home, const QString &label)
{
    const QList<QByteArray> lines = readFile(home.filePath("crontab"_qs)).split('\n');
    for (const QByteArray &line : lines) {
        if (line.endsWith(" # launchctl:" + label.toUtf8()))
            return run("/bin/sh"_qs,
                       {"-c"_qs, QString::fromUtf8(line).section(QLatin1Char(' '), 5).replace("\\%"_qs, "%"_qs)});
    }
    return {-2, "no crontab line"_qs};
}
} // namespace

class PackageTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    QString m_package;
    QString m_root; // the package's files, extracted

private Q_SLOTS:
    void initTestCase()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        const Result made = run(QStandardPaths::findExecutable("cpack"_qs),
                                {"-G"_qs, "DEB"_qs, "--config"_qs, buildPath("CPackConfig.cmake"_qs), "-B"_qs,
                                 m_home->filePath("package"_qs)});
        QCOMPARE(made.status, 0);
        const QStringList debs = QDir(m_home->filePath("package"_qs)).entryList({"*.deb"_qs});
        QCOMPARE(debs.size(), 1);
        m_package = m_home->filePath("package/"_qs + debs.first());
        m_root = m_home->filePath("root"_qs);
        QCOMPARE(run("dpkg-deb"_qs, {"--extract"_qs, m_package, m_root}).status, 0);
    }
    void cleanupTestCase()
    {
        QVariantMap error;
        ScriptRunner("tell application \"System Preferences\" \r quit \r end tell\r"_qs).executeAndReturnError(&error);
        QTRY_VERIFY(!SystemPreferencesChannel::isHostRunning());
        m_home.reset();
    }

    // The programs, the installer bundle with the pane it carries, the desktop entries, and what
    // they need from Debian.
    void contents()
    {
        const Result listed = run("dpkg-deb"_qs, {"--contents"_qs, m_package});
        QCOMPARE(listed.status, 0);
        const QStringList entries = QString::fromUtf8(readFile(QFINDTESTDATA("../data/installer/package.txt")))
                                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(!entries.isEmpty());
        for (const QString &entry : entries)
            QVERIFY2(listed.out.contains(QLatin1Char(' ') + entry + QLatin1Char('\n')), qPrintable(entry));
        // Nothing of ours takes a generic name in everyone's command path.
        for (const char *generic : {"defaults", "launchctl"})
            QVERIFY2(!listed.out.contains(" ./usr/bin/"_qs + QLatin1String(generic)), generic);
        const Result fields = run("dpkg-deb"_qs, {"--field"_qs, m_package, "Depends"_qs, "Suggests"_qs});
        for (const char *package :
             {"libqt5widgets5", "libkf5calendarcore5abi2", "libplist3", "unzip", "xdg-utils", "msmtp-mta"}) {
            QVERIFY2(fields.out.contains(QLatin1String(package)), qPrintable(fields.out));
        }
    }

    // What Debian's own checks say of the package (when lintian is there): no error, no warning.
    void lintian()
    {
        const QString lintian = QStandardPaths::findExecutable("lintian"_qs);
        if (lintian.isEmpty())
            QSKIP("lintian is not installed");
        const Result checked = run(lintian, {"--fail-on"_qs, "error,warning"_qs, m_package});
        QVERIFY2(checked.status == 0, qPrintable(checked.out));
    }

    // The pane archive is unpacked into every user's home: its programs carry no debugging
    // information, and the whole stays small.
    void paneArchiveSize()
    {
#ifdef RUVELANT_CHECKED_BUILD
        QSKIP("the sanitizers' code makes the programs of a checked build larger");
#endif
        const QString root = m_home->filePath("archive"_qs);
        QCOMPARE(run("dpkg-deb"_qs, {"--extract"_qs, m_package, root}).status, 0);
        const Result listed = run("unzip"_qs,
                                  {"-Z"_qs, "-t"_qs,
                                   root
                                       + "/usr/lib/ruvelant/RuvelantInstaller.app/Contents/Resources/"
                                         "Ruvelant.prefPane.zip"_qs});
        QCOMPARE(listed.status, 0);
        // "N files, BYTES bytes uncompressed, ..."
        const qint64 unpacked
            = listed.out.section(QLatin1Char(','), 1, 1).trimmed().section(QLatin1Char(' '), 0, 0).toLongLong();
        QVERIFY2(unpacked > 0 && unpacked < 5 * 1000 * 1000, qPrintable(listed.out));
    }

    // Install puts the pane in the user's folder with a runnable agent and System Preferences
    // shows it; after a person switched the reminders on, Uninstall removes the pane and the
    // schedule and leaves the agent switched off.
    void installThenUninstall()
    {
        const QString &root = m_root;
        m_home->setEnv("RUVELANT_SYSTEM_ROOT", QFile::encodeName(m_home->filePath("system"_qs)));
        const QString installer = root + "/usr/bin/RuvelantInstaller"_qs;
        const QString pane = m_home->filePath("Library/PreferencePanes/Ruvelant.prefPane"_qs);

        // A host that cannot be started: the reveal script fails after the pane was unpacked, the
        // exception reaches the event loop's top, and the program reports the failure.
        m_home->setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(m_home->filePath("nothing"_qs)));
        const Result unrevealed = run(installer, {"--install"_qs});
        QCOMPARE(unrevealed.out, "Ruvelant is installed: its pane is in System Preferences.\n"_qs);
        QCOMPARE(unrevealed.status, 1);
        QVERIFY(QFileInfo::exists(pane));
        m_home->setEnv("RUVELANT_TOOLS_DIR", QByteArray());

        const Result installed = run(installer, {"--install"_qs});
        QCOMPARE(installed.out, "Ruvelant is installed: its pane is in System Preferences.\n"_qs);
        QCOMPARE(installed.status, 0);
        QVERIFY(QFileInfo(pane + "/Contents/Resources/RuvelantAgent"_qs).isExecutable());
        const SystemPreferencesChannel::Reply shown = SystemPreferencesChannel::send("current"_qs);
        QCOMPARE(shown.lines, QStringList {"com.kestramo.ruvelant"_qs});
        const Result listed = run(root + "/usr/bin/SystemPreferences"_qs, {"--list"_qs});
        QVERIFY2(listed.out.startsWith("com.kestramo.ruvelant\tloaded\t"_qs), qPrintable(listed.out));

        // What the pane's enable box does, from the installed command: the launch-agent file of
        // the user's pane, loaded through the private tools, and the setting on.
        const QString agentFile = m_home->filePath("Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"_qs);
        const Result enabled = run(root + "/usr/bin/ruvelant"_qs, {"enable"_qs});
        QVERIFY2(enabled.out.startsWith("On: systemd timer, next run at "_qs), qPrintable(enabled.out));
        QCOMPARE(enabled.status, 0);
        QVERIFY(readFile(agentFile).contains(QFile::encodeName(pane) + "/Contents/Resources/RuvelantAgent"));
        QVERIFY(readFile(m_home->filePath("timers"_qs)).contains("com.kestramo.RuvelantAgent.timer"));
        // An account's sync, scheduled as the pane schedules it, goes with the pane too.
        SyncSchedule sync;
        QSignalSpy synced(&sync, &SyncSchedule::finished);
        sync.load(pane + "/Contents/Resources/RuvelantSync"_qs);
        QVERIFY(synced.wait(60000));
        QVERIFY2(synced.first().first().toBool(), qPrintable(synced.first().last().toString()));
        QVERIFY(readFile(m_home->filePath("timers"_qs)).contains("com.kestramo.RuvelantSync.timer"));

        const Result uninstalled = run(installer, {"--uninstall"_qs});
        QCOMPARE(uninstalled.out,
                 "Ruvelant is uninstalled: the reminders are switched off and the pane is removed.\n"_qs);
        QCOMPARE(uninstalled.status, 0);
        QVERIFY(!QFileInfo::exists(pane));
        QVERIFY(!QFileInfo::exists(agentFile));
        QVERIFY(!readFile(m_home->filePath("timers"_qs)).contains("RuvelantAgent"));
        QVERIFY(!readFile(m_home->filePath("timers"_qs)).contains("RuvelantSync"));
        QVERIFY(!QFileInfo::exists(SyncSchedule::plistPath()));
        QCOMPARE(storedDomain().value("quorvelEnabled"_qs), QVariant("0"_qs));
        QVERIFY(!SystemPreferencesChannel::isHostRunning());
    }

    // Over ssh or in a script, with no display at all, the command-line modes of the installer
    // and the host work and end with the statuses the README gives; the windows say why not.
    void withoutDisplay_data()
    {
        dataTable<QString, QString, int, QString>("installer/withoutdisplay.txt",
                                                  {"program", "arguments", "status", "output"});
    }
    void withoutDisplay()
    {
        QFETCH(QString, program);
        QFETCH(QString, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            m_home->setEnv(variable, QByteArray());
        const Result result
            = run(m_root + "/usr/bin/"_qs + program, arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts));
        QCOMPARE(result.status, status);
        QVERIFY2(output.isEmpty() || result.out.startsWith(output), qPrintable(result.out));
        const bool installed = QFileInfo::exists(m_home->filePath("Library/PreferencePanes/Ruvelant.prefPane"_qs));
        QCOMPARE(installed, QByteArray(QTest::currentDataTag()).startsWith("installed"));
    }

    // After the package is removed (its files gone), the copies in the user's home that a
    // schedule starts find their installation gone: each takes its own schedule away and says
    // why, and no reminder goes out; nothing of the user's own is touched. (Through cron here;
    // the agent's run takes a systemd timer away as well, see tst_agentrun.)
    void removal()
    {
        ThrowAwayHome home; // its own, with its own stand-ins of the scheduler
        for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            home.setEnv(variable, QByteArray());
        home.writeFile("no-user-manager"_qs, {});
        home.writeFile("crontab"_qs, "MAILTO=me@example.org\n0 8 * * 1 echo mine\n");
        const QString root = home.filePath("root"_qs);
        QCOMPARE(run("dpkg-deb"_qs, {"--extract"_qs, m_package, root}).status, 0);
        const QString pane = home.filePath("Library/PreferencePanes/Ruvelant.prefPane"_qs);
        QCOMPARE(run(root + "/usr/bin/RuvelantInstaller"_qs, {"--install"_qs}).status, 0);
        QCOMPARE(run(root + "/usr/bin/ruvelant"_qs, {"enable"_qs}).status, 0);
        home.setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(root + "/usr/lib/ruvelant/bin"_qs));
        SyncSchedule sync;
        QSignalSpy synced(&sync, &SyncSchedule::finished);
        sync.load(pane + "/Contents/Resources/RuvelantSync"_qs);
        QVERIFY(synced.wait(60000));
        QVERIFY2(synced.first().first().toBool(), qPrintable(synced.first().last().toString()));
        home.setEnv("RUVELANT_TOOLS_DIR", QByteArray());

        // apt-get remove: every file of the package goes.
        QVERIFY(QDir(root).removeRecursively());
        const Result agent = runScheduled(home, "com.kestramo.RuvelantAgent"_qs);
        QCOMPARE(agent.status, 0);
        const Result syncRun = runScheduled(home, "com.kestramo.RuvelantSync"_qs);
        QCOMPARE(syncRun.status, 1); // nothing synced

        const QString log = QString::fromUtf8(readFile(home.filePath("Library/Logs/RuvelantAgent.log"_qs)));
        QVERIFY2(log.contains("The Ruvelant installation that scheduled this agent was removed ("_qs + root
                              + "/usr/lib/ruvelant/bin no longer holds its programs): its schedule is taken away "
                                "and no reminder is sent"_qs),
                 qPrintable(log));
        QVERIFY2(!log.contains(" ->"_qs), qPrintable(log));
        QCOMPARE(readFile(home.filePath("crontab"_qs)), QByteArray("MAILTO=me@example.org\n0 8 * * 1 echo mine\n"));
        QCOMPARE(QDir(home.filePath("Library/LaunchAgents"_qs)).entryList(QDir::Files), QStringList());
        QVERIFY(QFileInfo::exists(pane)); // the user's own copy, with the settings and the log
    }
};

QTEST_GUILESS_MAIN(PackageTest)
#include "tst_package.moc"
