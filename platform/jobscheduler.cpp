#include "jobscheduler.h"

#include "cronjobscheduler.h"
#include "systemdjobscheduler.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <algorithm>

Q_LOGGING_CATEGORY(lcScheduler, "ruvelant.scheduler")

namespace {
constexpr int commandTimeoutMs = 60000;
}

JobScheduler::~JobScheduler() = default;

std::unique_ptr<JobScheduler> JobScheduler::forCurrentUser(QString *error)
{
    const QString systemctl = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    QString noManager = QStringLiteral("there is no systemctl program on PATH");
    if (!systemctl.isEmpty()) {
        QByteArray ignored;
        if (runCommand(systemctl, {QStringLiteral("--user"), QStringLiteral("show-environment")}, QByteArray(),
                       &ignored, &noManager)) {
            return std::make_unique<SystemdJobScheduler>(systemctl);
        }
    }
    const QString crontab = QStandardPaths::findExecutable(QStringLiteral("crontab"));
    if (!crontab.isEmpty()) {
        return std::make_unique<CronJobScheduler>(crontab);
    }
    if (error) {
        *error = QStringLiteral("no scheduler to start agents: the systemd user manager does not answer (%1), "
                                "and there is no crontab program on PATH for cron")
                     .arg(noManager);
    }
    return nullptr;
}

QList<QPair<QString, QString>> JobScheduler::localeEnvironment()
{
    QList<QPair<QString, QString>> variables;
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QStringList names = environment.keys();
    std::sort(names.begin(), names.end());
    for (const QString &name : qAsConst(names)) {
        if (name != QLatin1String("LANG") && name != QLatin1String("LANGUAGE") && name != QLatin1String("TZ")
            && !name.startsWith(QLatin1String("LC_"))) {
            continue;
        }
        const QString value = environment.value(name);
        if (value.isEmpty()) {
            continue;
        }
        bool plainName = true;
        for (const QChar c : name) {
            plainName = plainName && (c.isLetterOrNumber() || c == QLatin1Char('_')) && c.unicode() < 0x80;
        }
        if (!plainName || containsControlCharacter(value)) {
            qCWarning(lcScheduler).noquote()
                << "leaving" << name << "out of the schedule: it holds a control character";
            continue;
        }
        variables.append({name, value});
    }
    return variables;
}

bool JobScheduler::runCommand(const QString &program, const QStringList &arguments, const QByteArray &input,
                              QByteArray *output, QString *error, int *exitCode)
{
    if (exitCode) {
        *exitCode = -1;
    }
    const QString command = (QStringList {QFileInfo(program).fileName()} + arguments).join(QLatin1Char(' '));
    const auto fail = [&](const QString &message) {
        if (error) {
            *error = message;
        }
        return false;
    };
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(commandTimeoutMs)) {
        return fail(QStringLiteral("%1 could not be started: %2").arg(program, process.errorString()));
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(commandTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return fail(QStringLiteral("\"%1\" did not end within a minute and was stopped").arg(command));
    }
    *output = process.readAllStandardOutput();
    const QString diagnostics = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    if (process.exitStatus() != QProcess::NormalExit) {
        return fail(QStringLiteral("\"%1\" crashed").arg(command));
    }
    if (exitCode) {
        *exitCode = process.exitCode();
    }
    if (process.exitCode() != 0) {
        return fail(QStringLiteral("\"%1\" failed with status %2%3")
                        .arg(command)
                        .arg(process.exitCode())
                        .arg(diagnostics.isEmpty() ? QString() : QStringLiteral(": ") + diagnostics));
    }
    return true;
}
