#include "schedulestatus.h"

#include "bundle.h"
#include "dateformatter.h"
#include "programs.h"

#include <QProcess>

namespace {
const QString launchctl = QStringLiteral("/bin/launchctl");
// launchctl's exit status for "scheduled nowhere".
constexpr int notScheduled = 3;

QString withoutProgramName(QString message)
{
    message = message.trimmed();
    // "launchctl: why" lines; the window says who speaks.
    message.replace(QStringLiteral("launchctl: "), QString());
    return message;
}

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
    m_process = new QProcess(this);
    m_process->setStandardInputFile(QProcess::nullDevice());
    const bool enabled = m_enabled;
    connect(m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this, enabled](int code, QProcess::ExitStatus how) {
                QProcess *process = m_process;
                m_process = nullptr;
                process->deleteLater();
                m_result = fromListing(enabled, how == QProcess::NormalExit ? code : -1,
                                       QString::fromUtf8(process->readAllStandardOutput()),
                                       QString::fromUtf8(process->readAllStandardError()));
                if (m_pending) {
                    m_pending = false;
                    start();
                    return;
                }
                Q_EMIT changed();
            });
    connect(m_process, &QProcess::errorOccurred, this, [this, enabled](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || !m_process) {
            return;
        }
        const QString why = m_process->errorString();
        m_process->deleteLater();
        m_process = nullptr;
        m_result = fromListing(enabled, -1, QString(), why);
        m_pending = false;
        Q_EMIT changed();
    });
    m_process->start(Programs::pathFor(launchctl), {QStringLiteral("list"), m_label});
}

ScheduleStatus::Result ScheduleStatus::query(const QString &label, bool enabled)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(Programs::pathFor(launchctl), {QStringLiteral("list"), label});
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        return fromListing(enabled, -1, QString(), process.errorString());
    }
    return fromListing(enabled, process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                       QString::fromUtf8(process.readAllStandardError()));
}

ScheduleStatus::Result ScheduleStatus::fromListing(bool enabled, int status, const QString &output,
                                                   const QString &errors)
{
    Result result;
    const QList<JobState> states = JobState::fromText(output);
    if (status == 0 && !states.isEmpty()) {
        result.state = enabled ? On : OffButScheduled;
        result.job = states.first();
    } else if (status == notScheduled) {
        result.state = enabled ? NotScheduled : Off;
    } else if (!enabled) {
        result.state = Off; // off either way: nothing can start it
    } else {
        result.state = Failed;
        result.error = withoutProgramName(errors);
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
