#include "cronservice.h"

#include "programs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {
// The units of the cron daemons that distributions ship (Debian's cron, cronie as crond or
// cronie, fcron, dcron), and the target of systemd-cron, which runs crontabs from timers.
const QStringList cronUnits
    = {QStringLiteral("cron.service"),  QStringLiteral("crond.service"), QStringLiteral("cronie.service"),
       QStringLiteral("fcron.service"), QStringLiteral("dcron.service"), QStringLiteral("cron.target")};

// A process's own name (as the kernel keeps it, at most 15 bytes) and state letter, from its
// "stat" file: "pid (name) S ...". The name may hold spaces and parentheses: it ends at the last ')'.
bool readStat(const QString &folder, QByteArray *name, char *state)
{
    QFile file(folder + QStringLiteral("/stat"));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray stat = file.read(4096);
    const int open = stat.indexOf('(');
    const int close = stat.lastIndexOf(')');
    if (open < 0 || close < open || close + 2 >= stat.size()) {
        return false;
    }
    *name = stat.mid(open + 1, close - open - 1);
    *state = stat.at(close + 2);
    return true;
}

// Whether busybox runs its cron applet: its first argument (or its own name) is crond.
bool isBusyboxCron(const QString &folder)
{
    QFile file(folder + QStringLiteral("/cmdline"));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QList<QByteArray> arguments = file.read(4096).split('\0');
    for (int i = 0; i < qMin(2, arguments.size()); ++i) {
        const QByteArray argument = arguments.at(i);
        if (argument.mid(argument.lastIndexOf('/') + 1) == "crond") {
            return true;
        }
    }
    return false;
}
} // namespace

CronService::State CronService::fromUnitStates(const QString &output, int units)
{
    const QStringList states = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (states.size() != units) {
        return Unknown;
    }
    static const QSet<QString> known
        = {QStringLiteral("active"),      QStringLiteral("reloading"),  QStringLiteral("inactive"),
           QStringLiteral("failed"),      QStringLiteral("activating"), QStringLiteral("deactivating"),
           QStringLiteral("maintenance"), QStringLiteral("unknown"),    QStringLiteral("refreshing")};
    bool running = false;
    for (const QString &line : states) {
        const QString state = line.trimmed();
        if (!known.contains(state)) {
            return Unknown;
        }
        running = running || state == QLatin1String("active") || state == QLatin1String("activating")
            || state == QLatin1String("reloading") || state == QLatin1String("refreshing");
    }
    return running ? Running : Stopped;
}

CronService::State CronService::fromProcesses(const QString &procRoot)
{
    // The first process is there for everyone who may see the others; hidepid hides it.
    if (!QFileInfo(procRoot + QStringLiteral("/1")).isDir()) {
        return Unknown;
    }
    static const QSet<QByteArray> daemons = {"cron", "crond", "cronie", "fcron", "dcron", "bcron-sched"};
    const QStringList processes = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &process : processes) {
        bool number = false;
        process.toLongLong(&number);
        if (!number) {
            continue;
        }
        const QString folder = procRoot + QLatin1Char('/') + process;
        QByteArray name;
        char state = 0;
        if (!readStat(folder, &name, &state) || state == 'Z' || state == 'X') {
            continue; // gone meanwhile, or a daemon that has ended and waits for its parent
        }
        if (daemons.contains(name) || (name == "busybox" && isBusyboxCron(folder))) {
            return Running;
        }
    }
    return Stopped;
}

CronService::State CronService::state(const QString &systemctl, const QString &procRoot)
{
    if (!systemctl.isEmpty()) {
        Programs::Options options;
        options.output = Programs::Keep;
        options.timeoutMs = 30000;
        // Exit status 0 when one unit is active, 3 when none is; either way a line per unit. A
        // systemctl without a service manager (a container) prints no such lines.
        const Programs::Outcome run
            = Programs::execute(systemctl, QStringList {QStringLiteral("is-active")} + cronUnits, options);
        if (run.how == Programs::Outcome::Exited) {
            const State answer = fromUnitStates(QString::fromUtf8(run.output), cronUnits.size());
            if (answer != Unknown) {
                return answer;
            }
        }
    }
    return fromProcesses(procRoot);
}
