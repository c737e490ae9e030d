#include "syncschedule.h"

#include "calendarsync.h"
#include "launchjob.h"
#include "privatefile.h"
#include "programs.h"
#include "propertylist.h"

#include <QTimer>

QString SyncSchedule::label()
{
    return CalendarSync::scheduleLabel();
}

QString SyncSchedule::plistPath()
{
    return LaunchJob::filePath(label());
}

void SyncSchedule::load(const QString &programPath)
{
    const QVariantMap job {{QStringLiteral("Label"), label()},
                           {QStringLiteral("ProgramArguments"), QVariantList {programPath}},
                           {QStringLiteral("StartInterval"), interval},
                           {QStringLiteral("KeepAlive"), false}};
    QString error;
    // launchctl loads only a file that no one else may change.
    const QByteArray xml = PropertyList::toXml(job, &error);
    if (xml.isEmpty() || !LaunchJob::writeFile(label(), xml, 0600, &error)) {
        error = QStringLiteral("cannot write %1: %2").arg(plistPath(), error);
        QTimer::singleShot(0, this, [this, error] { Q_EMIT finished(false, error); });
        return;
    }
    launchctl(QStringLiteral("load"));
}

void SyncSchedule::unload()
{
    launchctl(QStringLiteral("unload"));
}

void SyncSchedule::launchctl(const QString &command)
{
    Programs::Options options;
    options.errors = Programs::Keep;
    const auto done = [this, command](const Programs::Outcome &outcome) {
        if (outcome.how == Programs::Outcome::NotStarted) {
            Q_EMIT finished(false, outcome.error);
            return;
        }
        const bool ok = outcome.succeeded();
        if (command == QLatin1String("unload")) {
            QString removeError;
            if (!PrivateFile::remove(plistPath(), &removeError) && ok) {
                Q_EMIT finished(false, removeError);
                return;
            }
        }
        Q_EMIT finished(ok, ok ? QString() : LaunchJob::launchctlReason(QString::fromLocal8Bit(outcome.errors)));
    };
    m_process = Programs::start(QLatin1String(LaunchJob::LaunchctlPath),
                                LaunchJob::launchctlArguments(command, label()), options, this, done);
}
