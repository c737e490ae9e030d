#include "installation.h"

#include "jobscheduler.h"
#include "launchjob.h"
#include "programs.h"

#include <QFile>
#include <QStringList>

const char Installation::Variable[] = "RUVELANT_INSTALLATION";

QPair<QString, QString> Installation::scheduleVariable()
{
    // Only a folder that holds them now: one that does not would have the program take its
    // schedule away at its first start.
    const QString folder = Programs::toolsFolder();
    return {QLatin1String(Variable), Programs::holdsTools(folder) ? folder : QString()};
}

QString Installation::removedFolder()
{
    const QString folder = qEnvironmentVariable(Variable);
    return folder.isEmpty() || Programs::holdsTools(folder) ? QString() : folder;
}

bool Installation::unschedule(const QString &label, QString *error)
{
    QStringList problems;
    QString why;
    // Every scheduler that may hold it: one that took it while the other did not answer too.
    const auto schedulers = JobScheduler::allForCurrentUser(&why);
    for (const auto &scheduler : schedulers) {
        if (!scheduler->unload(label, &why)) {
            problems.append(QStringLiteral("%1 could not unschedule %2: %3").arg(scheduler->name(), label, why));
        }
    }
    QFile file(LaunchJob::filePath(label));
    if (file.exists() && !file.remove()) {
        problems.append(QStringLiteral("cannot remove %1: %2").arg(file.fileName(), file.errorString()));
    }
    if (error) {
        *error = problems.join(QStringLiteral("; "));
    }
    return problems.isEmpty();
}
