// Programs: which of our programs an installation starts for "/bin/launchctl" and
// "/usr/bin/defaults", and the run-and-wait helper.
#include "programs.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QTest>

class ProgramsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void toolsFolderNear_data()
    {
        QTest::addColumn<QString>("programFolder");
        QTest::addColumn<QString>("toolsFolder"); // empty: none found
        QTest::newRow("build tree: the programs' own folder") << "build/bin"
                                                              << "build/bin";
        QTest::newRow("build tree: pane plug-in") << "build/Ruvelant.prefPane/Contents/MacOS"
                                                  << "build/bin";
        QTest::newRow("build tree: installer") << "build/RuvelantInstaller.app/Contents/MacOS"
                                               << "build/bin";
        QTest::newRow("build tree: test helper") << "build/tests/helpers"
                                                 << "build/bin";
        QTest::newRow("installed: PREFIX/bin") << "prefix/bin"
                                               << "prefix/bin";
        QTest::newRow("installed: installer bundle") << "prefix/lib/ruvelant/RuvelantInstaller.app/Contents/MacOS"
                                                     << "prefix/bin";
        QTest::newRow("pane copied into the home: none near")
            << "Library/PreferencePanes/Ruvelant.prefPane/Contents/MacOS"
            << "";
        QTest::newRow("another defaults program alone is not ours") << "gnustep/lib/x"
                                                                    << "";
    }
    void toolsFolderNear()
    {
        QFETCH(QString, programFolder);
        QFETCH(QString, toolsFolder);
        ThrowAwayHome home;
        for (const char *file : {"build/bin/launchctl", "build/bin/defaults", "prefix/bin/launchctl",
                                 "prefix/bin/defaults", "gnustep/bin/defaults"}) {
            home.writeFile(QLatin1String(file), "#!/bin/sh\n");
            QFile(home.filePath(QLatin1String(file))).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        }
        QVERIFY(QDir().mkpath(home.filePath(programFolder)));
        QCOMPARE(Programs::toolsFolderNear(home.filePath(programFolder)),
                 toolsFolder.isEmpty() ? QString() : home.filePath(toolsFolder));
    }

    void pathFor_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("override");
        QTest::addColumn<QString>("expected"); // relative: in the tools folder
        QTest::newRow("launchctl, found from this test's place") << "/bin/launchctl" << false << "launchctl";
        QTest::newRow("defaults, found from this test's place") << "/usr/bin/defaults" << false << "defaults";
        QTest::newRow("launchctl, named folder") << "/bin/launchctl" << true << "launchctl";
        QTest::newRow("unzip is the system's") << "/usr/bin/unzip" << false << "/usr/bin/unzip";
        QTest::newRow("other launchctl path unchanged") << "/usr/bin/launchctl" << true << "/usr/bin/launchctl";
    }
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

    void run_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::newRow("our launchctl by its absolute path")
            << "/bin/launchctl" << QStringList {QStringLiteral("--version")} << 0;
        QTest::newRow("exit status passed on")
            << "/bin/sh" << QStringList {QStringLiteral("-c"), QStringLiteral("exit 3")} << 3;
        QTest::newRow("arguments reach no shell")
            << "/bin/echo" << QStringList {QStringLiteral("$(exit 4)"), QStringLiteral(";"), QStringLiteral("exit 5")}
            << 0;
        QTest::newRow("crash") << "/bin/sh" << QStringList {QStringLiteral("-c"), QStringLiteral("kill -SEGV $$")}
                               << -1;
        QTest::newRow("missing program") << "/nonexistent/program" << QStringList() << -1;
        QTest::newRow("relative path") << "bin/launchctl" << QStringList {QStringLiteral("--version")} << -1;
    }
    void run()
    {
        QFETCH(QString, path);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        ThrowAwayHome home;
        QString error;
        QCOMPARE(Programs::run(path, arguments, &error), status);
        QCOMPARE(error.isEmpty(), status >= 0);
    }
};

QTEST_GUILESS_MAIN(ProgramsTest)
#include "tst_programs.moc"
