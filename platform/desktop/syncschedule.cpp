#include "syncschedule.h"

#include "privatefile.h"
#include "programs.h"
#include "propertylist.h"
#include "userfolders.h"

#include <QTimer>

QString SyncSchedule::label()
{
    return QStringLiteral("com.kestramo.RuvelantSync");
}

QString SyncSchedule::plistPath()
{
    return userLibraryPath() + QStringLiteral("/LaunchAgents/") + label() + QStringLiteral(".plist");
}

void SyncSchedule::load(const QString &programPath)
{
    const QVariantMap job {{QStringLiteral("Label"), label()},
                           {QStringLiteral("ProgramArguments"), QVariantList {programPath}},
                           {QStringLiteral("StartInterval"), interval},
                           {QStringLiteral("KeepAlive"), false}};
    QString error;
    // launchctl loads only a file that no one else may change.
    if (!PrivateFile::write(plistPath(), PropertyList::toXml(job), &error)) {
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
    auto *process = new QProcess(this);
    m_process = process;
    process->setStandardInputFile(QProcess::nullDevice());
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            process->deleteLater();
            Q_EMIT finished(false, process->errorString());
        }
    });
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this, process, command](int code, QProcess::ExitStatus status) {
                process->deleteLater();
                QString error = QString::fromLocal8Bit(process->readAllStandardError()).trimmed();
                error.remove(QStringLiteral("launchctl: "));
                const bool ok = status == QProcess::NormalExit && code == 0;
                if (command == QLatin1String("unload")) {
                    QString removeError;
                    if (!PrivateFile::remove(plistPath(), &removeError) && ok) {
                        Q_EMIT finished(false, removeError);
                        return;
                    }
                }
                Q_EMIT finished(ok, ok ? QString() : error);
            });
    process->start(Programs::pathFor(QStringLiteral("/bin/launchctl")), {command, QStringLiteral("-w"), plistPath()});
}
