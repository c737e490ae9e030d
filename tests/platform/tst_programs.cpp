// Programs: which of our programs an installation starts for "/bin/launchctl" and
// "/usr/bin/defaults", and the run-and-wait helper.
#include "datatable.h"
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
};

QTEST_GUILESS_MAIN(ProgramsTest)
#include "tst_programs.moc"
