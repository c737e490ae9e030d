#include "schedulestatus.h"

#include "bundle.h"
#include "dateformatter.h"
#include "launchjob.h"
#include "programs.h"

#include <QProcess>

namespace {
const QString launchctl = QLatin1String(LaunchJob::LaunchctlPath);
// launchctl's exit status for "scheduled nowhere".
constexpr int notScheduled = 3;

// How often the scheduler starts the agent, in words.
QString intervalText(qint64 seconds, const Bundle &bundle)
{
    if (seconds > 0 && seconds % 86400 == 0) {
        return bundle.localizedStringForKey(QStringLiteral("ScheduleDaily"));
    }
    if (seconds > 0 && seconds % 3600 == 0) {
        return bundle.localizedStringForKey(QStringLiteral("ScheduleEveryHours"), int(seconds / 3600));
    }
    return bundle.localizedStringForKey(QStringLiteral("ScheduleEveryMinutes"), int(qMax<qint64>(1, seconds / 60)));
}

// The status that launchctl's listing (or its failure to run) gives.
ScheduleStatus::Result listingOf(bool enabled, const Programs::Outcome &run)
{
    if (run.how == Programs::Outcome::NotStarted) {
        return ScheduleStatus::fromListing(enabled, -1, QString(), run.error);
    }
    if (run.how == Programs::Outcome::TimedOut) {
        return ScheduleStatus::fromListing(enabled, -1, QString(), QStringLiteral("Process operation timed out"));
    }
    return ScheduleStatus::fromListing(enabled, run.how == Programs::Outcome::Exited ? run.status : -1,
                                       QString::fromUtf8(run.output), QString::fromUtf8(run.errors));
}
} // namespace

ScheduleStatus::ScheduleStatus(const QString &label, QObject *parent) : QObject(parent), m_label(label) { }

ScheduleStatus::~ScheduleStatus()
{
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(1000);
    }
}

void ScheduleStatus::refresh(bool enabled)
{
    m_enabled = enabled;
    if (m_process) {
        m_pending = true;
        return;
    }
    start();
}

void ScheduleStatus::start()
{
    Programs::Options options;
    options.output = Programs::Keep;
    options.errors = Programs::Keep;
    const bool enabled = m_enabled;
    m_process = Programs::start(launchctl, {QStringLiteral("list"), m_label}, options, this,
                                [this, enabled](const Programs::Outcome &run) {
                                    m_process = nullptr;
                                    m_result = listingOf(enabled, run);
                                    if (m_pending && run.how != Programs::Outcome::NotStarted) {
                                        m_pending = false;
                                        start();
                                        return;
                                    }
                                    m_pending = false;
                                    Q_EMIT changed();
                                });
}

ScheduleStatus::Result ScheduleStatus::query(const QString &label, bool enabled)
{
    Programs::Options options;
    options.output = Programs::Keep;
    options.errors = Programs::Keep;
    options.timeoutMs = 120000;
    return listingOf(enabled, Programs::execute(launchctl, {QStringLiteral("list"), label}, options));
}

ScheduleStatus::Result ScheduleStatus::fromListing(bool enabled, int status, const QString &output,
                                                   const QString &errors)
{
    Result result;
    const QList<JobState> states = JobState::fromText(output);
    if (status == 0 && !states.isEmpty()) {
        result.job = states.first();
        result.state = !enabled ? OffButScheduled : result.job.schedulerRunning ? On : SchedulerStopped;
    } else if (status == notScheduled) {
        result.state = enabled ? NotScheduled : Off;
    } else if (!enabled) {
        result.state = Off; // off either way: nothing can start it
    } else {
        result.state = Failed;
        result.error = LaunchJob::launchctlReason(errors); // the window says who speaks
        if (result.error.isEmpty()) {
            result.error = QStringLiteral("launchctl list exited with status %1").arg(status);
        }
    }
    return result;
}

QString ScheduleStatus::text(const Result &result, const Bundle &bundle, const QDateTime &now)
{
    const auto tr = [&bundle](const char *key) { return bundle.localizedStringForKey(QLatin1String(key)); };
    switch (result.state) {
    case Checking:
        return tr("ScheduleChecking");
    case Off:
        return tr("ScheduleOff");
    case NotScheduled:
        return tr("ScheduleNotScheduled");
    case SchedulerStopped:
        return tr("ScheduleSchedulerStopped");
    case OffButScheduled:
        return tr("ScheduleOffButScheduled");
    case Failed:
        return tr("ScheduleFailed").arg(result.error);
    case On:
        break;
    }
    if (result.job.scheduler == QLatin1String("cron")) {
        return tr("ScheduleOnCron").arg(intervalText(result.job.startInterval, bundle));
    }
    const QDateTime next = result.job.nextRun.toLocalTime();
    if (!next.isValid()) {
        return tr("ScheduleOnSystemdNoNext");
    }
    const bool today = next.date() == now.toLocalTime().date();
    const DateFormatter format(today ? DateFormatter::NoStyle : DateFormatter::ShortStyle, DateFormatter::ShortStyle);
    return tr("ScheduleOnSystemd").arg(format.stringFromDate(next));
}
