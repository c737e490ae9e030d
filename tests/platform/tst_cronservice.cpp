// Whether cron's service runs: from the service manager's answer, else from the processes.
#include "cronservice.h"
#include "datatable.h"
#include "throwawayhome.h"

#include <QTest>

Q_DECLARE_METATYPE(CronService::State)

namespace {
CronService::State stateNamed(const QString &name)
{
    return name == "Running"_qs ? CronService::Running
        : name == "Stopped"_qs  ? CronService::Stopped
                                : CronService::Unknown;
}
} // namespace

class CronServiceTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fromProcesses_data()
    {
        dataTable<QString, QStringList>("cronservice/processes.txt", {"expected", "processes"});
    }
    void fromProcesses()
    {
        QFETCH(QString, expected);
        QFETCH(QStringList, processes);
        ThrowAwayHome home;
        home.writeFile("proc/self/stat"_qs, "1 (bash) S 0\n"); // not a process number: passed over
        for (const QString &process : processes) {
            if (process == "hidden"_qs)
                continue;
            const QStringList fields = process.split(QLatin1Char(':'));
            home.writeFile("proc/%1/stat"_qs.arg(fields.at(0)),
                           "%1 (%2) %3 1 1 1\n"_qs.arg(fields.at(0), fields.at(1), fields.at(2)).toUtf8());
            QByteArray arguments = fields.value(3).toUtf8();
            home.writeFile("proc/%1/cmdline"_qs.arg(fields.at(0)), arguments.replace(' ', '\0') + '\0');
        }
        QCOMPARE(CronService::fromProcesses(home.filePath("proc"_qs)), stateNamed(expected));
    }

    void fromUnitStates_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("expected");
        row("one unit active", "inactive\nactive\ninactive\n", "Running");
        row("one unit starting", "activating\ninactive\ninactive\n", "Running");
        row("every unit inactive or failed", "inactive\nfailed\ninactive\n", "Stopped");
        row("no manager: nothing printed", "", "Unknown");
        row("fewer lines than units", "inactive\ninactive\n", "Unknown");
        row("a line that is no state", "inactive\nHost is down\ninactive\n", "Unknown");
    }
    void fromUnitStates()
    {
        QFETCH(QString, output);
        QFETCH(QString, expected);
        QCOMPARE(CronService::fromUnitStates(output, 3), stateNamed(expected));
    }

    // Where the service manager does not answer, the processes tell.
    void stateAsksTheManagerFirst()
    {
        ThrowAwayHome home;
        home.writeFile("proc/1/stat"_qs, "1 (init) S 0\n");
        home.writeFile("proc/312/stat"_qs, "312 (cron) S 1\n");
        home.writeProgram("inactive"_qs,
                          "#!/bin/sh\nfor u in \"$@\"; do [ \"$u\" = is-active ] || echo inactive; done\nexit 3\n");
        home.writeProgram("no-manager"_qs, "#!/bin/sh\necho 'Failed to connect to bus: Host is down' >&2\nexit 1\n");
        QCOMPARE(CronService::state(home.filePath("inactive"_qs), home.filePath("proc"_qs)), CronService::Stopped);
        QCOMPARE(CronService::state(home.filePath("no-manager"_qs), home.filePath("proc"_qs)), CronService::Running);
        QCOMPARE(CronService::state(QString(), home.filePath("proc"_qs)), CronService::Running);
    }
};

QTEST_GUILESS_MAIN(CronServiceTest)
#include "tst_cronservice.moc"
