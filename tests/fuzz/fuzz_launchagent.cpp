// The launch-agent file reader on any bytes; a job it accepts as schedulable gives unit files and
// a crontab line whose lines are exactly their own (no value can add a line or a key).
#include "cronjobscheduler.h"
#include "fuzzsupport.h"
#include "launchjob.h"
#include "systemdjobscheduler.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {
QTemporaryDir *folder = nullptr;

// Every line of a unit is a comment, a section, empty or one of the keys that the scheduler writes.
bool onlyOwnLines(const QString &unit)
{
    static const QRegularExpression own(QStringLiteral(
        "^(#.*|\\[(Unit|Service|Timer|Install)\\]|Description=.*|Type=oneshot|ExecStart=.*|Environment=.*|"
        "On(Active|UnitActive)Sec=\\d+|AccuracySec=.*|Persistent=.*|WantedBy=.*|Unit=.*|)$"));
    const QStringList lines = unit.split(QLatin1Char('\n'));
    return std::all_of(lines.cbegin(), lines.cend(), [](const QString &line) { return own.match(line).hasMatch(); });
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    folder = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = folder->filePath(QStringLiteral("agent.plist"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(fuzzInput(data, size)) != qint64(size))
            abort();
    }
    LaunchJob job;
    QString error;
    if (!LaunchJob::read(path, &job, &error) || !job.isSchedulable(&error))
        return 0;
    FUZZ_ASSERT(onlyOwnLines(SystemdJobScheduler::serviceUnit(job)));
    FUZZ_ASSERT(onlyOwnLines(SystemdJobScheduler::timerUnit(job)));
    const QString line = CronJobScheduler::line(job, &error);
    FUZZ_ASSERT(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r')));
    return 0;
}
