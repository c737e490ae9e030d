// The SystemPreferences host as a program: the panes it finds, one instance per user, and the
// scripts that other programs send it.
#include "scriptrunner.h"
#include "systempreferenceschannel.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString ruvelant = QStringLiteral("com.kestramo.ruvelant");
const QString host = buildPath(QStringLiteral("bin/SystemPreferences"));
// The scripts that the installer sends, as it sends them.
const QString quitScript = QStringLiteral("tell application \"System Preferences\" \r quit \r end tell\r");
QString revealScript(const QString &id)
{
    return QStringLiteral("tell application \"System Preferences\" \r activate \r set ruvPane to every pane whose id "
                          "is \"%1\" \r set f to first item of ruvPane \r reveal f \r end tell \r")
        .arg(id);
}

struct Result
{
    int status;
    QString out;
    QString err;
};

Result runHost(const QStringList &arguments)
{
    QProcess process;
    process.start(host, arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return {-1, QString(), QStringLiteral("did not end")};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

// The script's error number; 0 when it ran.
int runScript(const QString &source)
{
    QVariantMap error;
    return ScriptRunner(source).executeAndReturnError(&error) ? 0 : error.value(ScriptRunner::ErrorNumberKey).toInt();
}

QString current()
{
    const SystemPreferencesChannel::Reply reply = SystemPreferencesChannel::send(QStringLiteral("current"));
    return reply.ok && !reply.lines.isEmpty() ? reply.lines.first() : QString();
}
} // namespace

class SystemPreferencesTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->setEnv("RUVELANT_SYSTEM_ROOT", QFile::encodeName(m_home->filePath(QStringLiteral("system"))));
        // Beside our pane in both folders, a pane whose plug-in is no library in the user's folder
        // and one without a plug-in in the system's (tests/data/systempreferences).
        m_home->copyFixture(QStringLiteral("systempreferences"), QStringLiteral("."));
        for (const char *folder : {"Library/PreferencePanes", "system/Library/PreferencePanes"})
            QVERIFY(QFile::link(buildPath(QStringLiteral("Ruvelant.prefPane")),
                                m_home->filePath(QLatin1String(folder) + QStringLiteral("/Ruvelant.prefPane"))));
    }
    void cleanup()
    {
        runScript(quitScript);
        QTRY_VERIFY(!SystemPreferencesChannel::isHostRunning());
        m_home.reset();
    }

    // The user's copy of a pane wins over the system's; a second start hands its request to the
    // first and exits; a pane that cannot be loaded is reported and the host goes on.
    void oneHostPerUser()
    {
        QProcess first;
        first.setProcessChannelMode(QProcess::ForwardedChannels);
        first.start(host, QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(SystemPreferencesChannel::isHostRunning(), 20000);

        Result list = runHost({QStringLiteral("--list")});
        QCOMPARE(list.status, 0);
        const QString user = m_home->filePath(QStringLiteral("Library/PreferencePanes/"));
        const QString system = m_home->filePath(QStringLiteral("system/Library/PreferencePanes/"));
        QCOMPARE(
            list.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts),
            (QStringList {
                QStringLiteral("org.example.broken\tnot loaded\tBroken\t") + user + QLatin1String("Broken.prefPane"),
                ruvelant + QStringLiteral("\tnot loaded\tRuvelant\t") + user + QLatin1String("Ruvelant.prefPane"),
                QStringLiteral("org.example.empty\tnot loaded\tEmpty\t") + system + QLatin1String("Empty.prefPane")}));

        QCOMPARE(runHost({QStringLiteral("--reveal"), ruvelant}).status, 0);
        QCOMPARE(current(), ruvelant);
        for (const char *broken : {"org.example.broken", "org.example.empty"}) {
            const Result reveal = runHost({QStringLiteral("--reveal"), QLatin1String(broken)});
            QCOMPARE(reveal.status, 1);
            QVERIFY2(reveal.err.contains(QStringLiteral("cannot be loaded")), qPrintable(reveal.err));
        }
        list = runHost({QStringLiteral("--list")});
        QVERIFY2(list.out.contains(ruvelant + QStringLiteral("\tloaded\t")), qPrintable(list.out));
        QVERIFY2(list.out.contains(QStringLiteral("org.example.broken\tbroken: ")), qPrintable(list.out));

        QCOMPARE(runHost({QStringLiteral("--quit")}).status, 0);
        QVERIFY(first.waitForFinished(20000));
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(runHost({QStringLiteral("--quit")}).status, 0); // nothing runs: nothing to do
    }

    // Started without a request (from the menu, after the installer put the pane in place), the
    // host shows the one pane it found; among several, the user chooses.
    void startsOnTheOnlyPane_data()
    {
        QTest::addColumn<bool>("others");
        QTest::addColumn<QString>("shown");
        QTest::newRow("only the installed pane: it is shown") << false << ruvelant;
        QTest::newRow("several panes: none is chosen for the user") << true << QString();
    }
    void startsOnTheOnlyPane()
    {
        QFETCH(bool, others);
        QFETCH(QString, shown);
        if (!others) {
            QVERIFY(QDir(m_home->filePath("Library/PreferencePanes/Broken.prefPane"_qs)).removeRecursively());
            QVERIFY(QDir(m_home->filePath("system/Library/PreferencePanes/Empty.prefPane"_qs)).removeRecursively());
            QVERIFY(QFile::remove(m_home->filePath("system/Library/PreferencePanes/Ruvelant.prefPane"_qs)));
        }
        QProcess first;
        first.setProcessChannelMode(QProcess::ForwardedChannels);
        first.start(host, QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(SystemPreferencesChannel::isHostRunning(), 20000);
        QTRY_COMPARE(current(), shown);
        QCOMPARE(runHost({QStringLiteral("--quit")}).status, 0);
        QVERIFY(first.waitForFinished(20000));
    }

    // Started without XDG_RUNTIME_DIR (after "su -", from cron), no program complains of it:
    // none of them needs that folder for what it is asked here.
    void quietWithoutRuntimeFolder_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("SystemPreferences --list") << "bin/SystemPreferences"_qs << QStringList {"--list"_qs};
        QTest::newRow("SystemPreferences --quit") << "bin/SystemPreferences"_qs << QStringList {"--quit"_qs};
        QTest::newRow("RuvelantInstaller --help")
            << "RuvelantInstaller.app/Contents/MacOS/RuvelantInstaller"_qs << QStringList {"--help"_qs};
        QTest::newRow("ruvelant status") << "bin/ruvelant"_qs << QStringList {"status"_qs};
        QTest::newRow("defaults read") << "bin/defaults"_qs << QStringList {"read"_qs, ruvelant};
        QTest::newRow("launchctl list") << "bin/launchctl"_qs
                                        << QStringList {"list"_qs, "com.kestramo.RuvelantAgent"_qs};
    }
    void quietWithoutRuntimeFolder()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        m_home->setEnv("XDG_RUNTIME_DIR", QByteArray());
        m_home->setEnv("DISPLAY", QByteArray());
        m_home->setEnv("WAYLAND_DISPLAY", QByteArray());
        m_home->setEnv("QT_QPA_PLATFORM", QByteArray());
        QProcess process;
        process.start(buildPath(program), arguments);
        QVERIFY(process.waitForFinished(60000));
        const QString errors = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(!errors.contains("XDG_RUNTIME_DIR"_qs), qPrintable(errors));
    }

    // Without XDG_RUNTIME_DIR, the socket's folder in the temporary folder is one of the user's
    // own: one of that name that another user made first is never used (nor the name that
    // folder once replaced), and idle connections never keep a request out.
    void privateSocketAndIdleConnections()
    {
        const QString tmp = m_home->filePath(QStringLiteral("tmp"));
        m_home->setEnv("XDG_RUNTIME_DIR", QByteArray());
        m_home->setEnv("TMPDIR", QFile::encodeName(tmp));
        const QString squatted = QStringLiteral("%1/SystemPreferences-%2").arg(tmp).arg(::getuid());
        QVERIFY(QDir().mkpath(squatted));
        const QByteArray folder = QFile::encodeName(squatted);
        QVERIFY(::getuid() == 0 ? ::chown(folder.constData(), 65534, 65534) == 0
                                : ::chmod(folder.constData(), 0777) == 0);
        QLocalServer squatters[2];
        QVERIFY(squatters[0].listen(squatted + QStringLiteral("/SystemPreferences.socket")));
        QVERIFY(squatters[1].listen(squatted + QStringLiteral(".socket")));

        // A host that may open few files, and more idle connections than that.
        rlimit limit {};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        const rlimit few {256, limit.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &few) == 0);
        QProcess first;
        first.start(host, QStringList());
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(SystemPreferencesChannel::isHostRunning(), 20000);
        std::vector<std::unique_ptr<QLocalSocket>> idle;
        for (int i = 0; i < 300; ++i) {
            idle.push_back(std::make_unique<QLocalSocket>());
            idle.back()->connectToServer(SystemPreferencesChannel::socketPath());
            QVERIFY(idle.back()->waitForConnected(5000));
        }
        const Result list = runHost({QStringLiteral("--list")});
        QVERIFY2(list.status == 0 && list.out.contains(ruvelant), qPrintable(list.err));
        QVERIFY(!squatters[0].hasPendingConnections() && !squatters[1].hasPendingConnections());
        QCOMPARE(runHost({QStringLiteral("--quit")}).status, 0);
        QVERIFY(first.waitForFinished(20000));
    }

    // The scripts of other programs: quit works whether the host runs or not, reveal starts it
    // when needed and fails for a pane that is not there, and any other text is refused.
    void scripts_data()
    {
        QTest::addColumn<QStringList>("scripts");
        QTest::addColumn<QList<int>>("errors");
        QTest::addColumn<QString>("shown"); // the pane shown afterwards; empty: no host runs
        const QString none, broken = QStringLiteral("org.example.broken");
        QTest::newRow("quit when not running") << QStringList {quitScript} << QList<int> {0} << none;
        QTest::newRow("reveal starts the host") << QStringList {revealScript(ruvelant)} << QList<int> {0} << ruvelant;
        QTest::newRow("reveal, then quit")
            << QStringList {revealScript(ruvelant), quitScript} << QList<int> {0, 0} << none;
        QTest::newRow("reveal a pane that is not there")
            << QStringList {revealScript(QStringLiteral("org.example.none"))} << QList<int> {-1728} << none;
        QTest::newRow("reveal a pane that cannot be loaded")
            << QStringList {revealScript(broken)} << QList<int> {-10000} << broken;
        QTest::newRow("another application")
            << QStringList {QStringLiteral("tell application \"Terminal\"\r quit \r end tell")} << QList<int> {-10814}
            << none;
        QTest::newRow("another command") << QStringList {QStringLiteral(
            "tell application \"System Preferences\"\r do shell script \"rm\" \r end tell")}
                                         << QList<int> {-2741} << none;
        QTest::newRow("no end") << QStringList {QStringLiteral("tell application \"Finder\"\r")} << QList<int> {-2741}
                                << none;
    }
    void scripts()
    {
        QFETCH(QStringList, scripts);
        QFETCH(QList<int>, errors);
        QFETCH(QString, shown);
        QList<int> got;
        for (const QString &script : std::as_const(scripts))
            got.append(runScript(script));
        QCOMPARE(got, errors);
        if (shown.isEmpty()) {
            QVERIFY(current().isEmpty());
        } else {
            QCOMPARE(current(), shown);
        }
    }
};

QTEST_GUILESS_MAIN(SystemPreferencesTest)
#include "tst_systempreferences.moc"
