#include "jobscheduler.h"

#include "cronjobscheduler.h"
#include "installation.h"
#include "programs.h"
#include "systemdjobscheduler.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <algorithm>

Q_LOGGING_CATEGORY(lcScheduler, "ruvelant.scheduler")

namespace {
constexpr int commandTimeoutMs = 60000;

// The scheduler's program of that name: in the folder that the variable names when it is set
// (and nowhere else), else on PATH. Empty when there is none; *where says where it was looked for.
QString schedulerProgram(const QString &name, QString *where)
{
    const QString folder = qEnvironmentVariable(JobScheduler::ProgramsFolderVariable);
    if (folder.isEmpty()) {
        *where = QStringLiteral("on PATH");
        return QStandardPaths::findExecutable(name);
    }
    *where = QStringLiteral("in %1 (%2)").arg(folder, QLatin1String(JobScheduler::ProgramsFolderVariable));
    return QStandardPaths::findExecutable(name, {folder});
}
} // namespace

const char JobScheduler::ProgramsFolderVariable[] = "RUVELANT_SCHEDULER_DIR";

JobScheduler::~JobScheduler() = default;

std::unique_ptr<JobScheduler> JobScheduler::forCurrentUser(QString *error)
{
    std::vector<std::unique_ptr<JobScheduler>> schedulers = allForCurrentUser(error);
    if (schedulers.empty() || !schedulers.front()->canLoad()) {
        return nullptr;
    }
    return std::move(schedulers.front());
}

std::vector<std::unique_ptr<JobScheduler>> JobScheduler::allForCurrentUser(QString *error)
{
    std::vector<std::unique_ptr<JobScheduler>> schedulers;
    QString where;
    const QString systemctl = schedulerProgram(QStringLiteral("systemctl"), &where);
    QString noManager = QStringLiteral("there is no systemctl program %1").arg(where);
    bool answers = false;
    if (!systemctl.isEmpty()) {
        QByteArray ignored;
        answers = runCommand(systemctl, {QStringLiteral("--user"), QStringLiteral("show-environment")}, QByteArray(),
                             &ignored, &noManager);
    }
    if (answers) {
        schedulers.push_back(std::make_unique<SystemdJobScheduler>(systemctl));
    }
    const QString crontab = schedulerProgram(QStringLiteral("crontab"), &where);
    if (!crontab.isEmpty()) {
        schedulers.push_back(std::make_unique<CronJobScheduler>(crontab));
    }
    if (!answers) {
        schedulers.push_back(std::make_unique<SystemdJobScheduler>(QString()));
    }
    if (!schedulers.front()->canLoad() && error) {
        *error = QStringLiteral("no scheduler to start agents: the systemd user manager does not answer (%1), "
                                "and there is no crontab program %2 for cron")
                     .arg(noManager, where);
    }
    return schedulers;
}

QString JobState::toText() const
{
    QString text
        = QStringLiteral("Label\t%1\nScheduler\t%2\nStartInterval\t%3\n").arg(label, scheduler).arg(startInterval);
    if (nextRun.isValid()) {
        text += QStringLiteral("NextRun\t%1\n")
                    .arg(nextRun.toOffsetFromUtc(nextRun.offsetFromUtc()).toString(Qt::ISODate));
    }
    return text;
}

QList<JobState> JobState::fromText(const QString &text)
{
    QList<JobState> states;
    bool open = false;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.trimmed().isEmpty()) {
            open = false;
            continue;
        }
        const QString key = line.section(QLatin1Char('\t'), 0, 0);
        const QString value = line.section(QLatin1Char('\t'), 1);
        if (!open) {
            states.append(JobState());
            open = true;
        }
        JobState &state = states.last();
        if (key == QLatin1String("Label")) {
            state.label = value;
        } else if (key == QLatin1String("Scheduler")) {
            state.scheduler = value;
        } else if (key == QLatin1String("StartInterval")) {
            state.startInterval = value.toLongLong();
        } else if (key == QLatin1String("NextRun")) {
            state.nextRun = QDateTime::fromString(value, Qt::ISODate);
        }
    }
    return states;
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

QList<QPair<QString, QString>> JobScheduler::jobEnvironment()
{
    QList<QPair<QString, QString>> variables = localeEnvironment();
    const QPair<QString, QString> installation = Installation::scheduleVariable();
    if (containsControlCharacter(installation.second)) {
        qCWarning(lcScheduler).noquote() << "leaving" << installation.first
                                         << "out of the schedule: it holds a control character";
    } else if (!installation.second.isEmpty()) {
        variables.append(installation);
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
    Programs::Options options;
    options.input = input;
    options.output = Programs::Keep;
    options.errors = Programs::Keep;
    options.timeoutMs = commandTimeoutMs;
    const Programs::Outcome run = Programs::execute(program, arguments, options);
    if (run.how == Programs::Outcome::NotStarted) {
        return fail(QStringLiteral("%1 could not be started: %2").arg(program, run.error));
    }
    if (run.how == Programs::Outcome::TimedOut) {
        return fail(QStringLiteral("\"%1\" did not end within a minute and was stopped").arg(command));
    }
    if (!run.keptAllOutput()) {
        // A cut crontab written back would lose the user's other lines.
        return fail(QStringLiteral("\"%1\" wrote more than %2 bytes").arg(command).arg(run.output.size()));
    }
    *output = run.output;
    const QString diagnostics = QString::fromLocal8Bit(run.errors).trimmed();
    if (run.how != Programs::Outcome::Exited) {
        return fail(QStringLiteral("\"%1\" crashed").arg(command));
    }
    if (exitCode) {
        *exitCode = run.status;
    }
    if (run.status != 0) {
        return fail(QStringLiteral("\"%1\" failed with status %2%3")
                        .arg(command)
                        .arg(run.status)
                        .arg(diagnostics.isEmpty() ? QString() : QStringLiteral(": ") + diagnostics));
    }
    return true;
}
