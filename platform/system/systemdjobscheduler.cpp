#include "systemdjobscheduler.h"

#include "regularfile.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {
// A word of a unit file in double quotes: backslash and quote escaped, '%' doubled so that it
// is no specifier; with variables, '$' doubled so that it is no variable reference either.
QString quotedWord(const QString &word, bool doubleDollars)
{
    QString text = word;
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('"'), QLatin1String("\\\""));
    text.replace(QLatin1Char('%'), QLatin1String("%%"));
    if (doubleDollars) {
        text.replace(QLatin1Char('$'), QLatin1String("$$"));
    }
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// The command line of ExecStart=. systemd expands variables in the arguments but not in the
// program's path; a lone ";" would separate two command lines, so it is escaped. systemd takes
// no quote or backslash in the program's path at all: such a path is handed as an argument to
// a shell that starts it, with the other arguments, without reading either.
QString execStart(const QStringList &arguments)
{
    QStringList words;
    const QString &path = arguments.first();
    if (path.contains(QLatin1Char('\'')) || path.contains(QLatin1Char('"')) || path.contains(QLatin1Char('\\'))) {
        words << QStringLiteral("/bin/sh -c") << quotedWord(QStringLiteral("exec \"$0\" \"$@\""), true)
              << quotedWord(path, true);
    } else {
        words << quotedWord(path, false);
    }
    for (int i = 1; i < arguments.size(); ++i) {
        words.append(arguments.at(i) == QLatin1String(";") ? QStringLiteral("\\;") : quotedWord(arguments.at(i), true));
    }
    return words.join(QLatin1Char(' '));
}

bool writeUnit(const QString &path, const QString &text, QString *error)
{
    QString why;
    if (!RegularFile::replaceKeepingMode(path, text.toUtf8(), &why)) {
        if (error) {
            *error = QStringLiteral("cannot write %1: %2").arg(path, why);
        }
        return false;
    }
    return true;
}

bool removeUnit(const QString &path, QString *error)
{
    QFile file(path);
    if (file.exists() && !file.remove()) {
        if (error) {
            *error = QStringLiteral("cannot remove %1: %2").arg(path, file.errorString());
        }
        return false;
    }
    return true;
}
} // namespace

SystemdJobScheduler::SystemdJobScheduler(const QString &systemctl) : m_systemctl(systemctl) { }

QString SystemdJobScheduler::unitFolder()
{
    return xdgConfigHome() + QStringLiteral("/systemd/user");
}

QString SystemdJobScheduler::serviceUnit(const LaunchJob &job)
{
    QString text
        = QStringLiteral("# Written by \"launchctl load\" from the launch agent %1; \"launchctl unload\" removes it.\n"
                         "[Unit]\n"
                         "Description=Launch agent %1\n"
                         "\n"
                         "[Service]\n"
                         "Type=oneshot\n"
                         "ExecStart=%2\n")
              .arg(job.label, execStart(job.programArguments));
    QStringList assignments;
    const auto variables = jobEnvironment();
    for (const auto &variable : variables) {
        assignments.append(quotedWord(variable.first + QLatin1Char('=') + variable.second, false));
    }
    if (!assignments.isEmpty()) {
        text += QStringLiteral("Environment=") + assignments.join(QLatin1Char(' ')) + QLatin1Char('\n');
    }
    return text;
}

QString SystemdJobScheduler::timerUnit(const LaunchJob &job)
{
    return QStringLiteral("# Written by \"launchctl load\" from the launch agent %1; \"launchctl unload\" removes it.\n"
                          "[Unit]\n"
                          "Description=Start launch agent %1 every %2 seconds\n"
                          "\n"
                          "[Timer]\n"
                          "OnActiveSec=%2\n"
                          "OnUnitActiveSec=%2\n"
                          "AccuracySec=1s\n"
                          "Unit=%1.service\n"
                          "\n"
                          "[Install]\n"
                          "WantedBy=timers.target\n")
        .arg(job.label)
        .arg(job.startInterval);
}

bool SystemdJobScheduler::systemctl(const QStringList &arguments, QString *error) const
{
    QByteArray ignored;
    return runCommand(m_systemctl, QStringList {QStringLiteral("--user")} + arguments, QByteArray(), &ignored, error);
}

bool SystemdJobScheduler::load(const LaunchJob &job, QString *error)
{
    if (!canLoad()) {
        if (error) {
            *error = QStringLiteral("the user manager does not answer");
        }
        return false;
    }
    const QString folder = unitFolder();
    if (!QDir().mkpath(folder)) {
        if (error) {
            *error = QStringLiteral("cannot make the folder %1").arg(folder);
        }
        return false;
    }
    const QString base = folder + QLatin1Char('/') + job.label;
    return writeUnit(base + QStringLiteral(".service"), serviceUnit(job), error)
        && writeUnit(base + QStringLiteral(".timer"), timerUnit(job), error)
        && systemctl({QStringLiteral("daemon-reload")}, error)
        && systemctl({QStringLiteral("enable"), QStringLiteral("--now"), job.label + QStringLiteral(".timer")}, error);
}

bool SystemdJobScheduler::unload(const QString &label, QString *error)
{
    const QString base = unitFolder() + QLatin1Char('/') + label;
    const QString service = base + QStringLiteral(".service");
    const QString timer = base + QStringLiteral(".timer");
    if (!QFile::exists(service) && !QFile::exists(timer)) {
        return true; // not loaded
    }
    if (!canLoad()) {
        // The manager reads the folder when it runs again: what "enable" linked goes with the units.
        const QString wanted
            = unitFolder() + QStringLiteral("/timers.target.wants/") + label + QStringLiteral(".timer");
        const bool linked = QFileInfo(wanted).isSymLink() || QFileInfo::exists(wanted);
        return (!linked || removeUnit(wanted, error)) && removeUnit(timer, error) && removeUnit(service, error);
    }
    if (QFile::exists(timer)
        && !systemctl({QStringLiteral("disable"), QStringLiteral("--now"), label + QStringLiteral(".timer")}, error)) {
        return false;
    }
    return removeUnit(timer, error) && removeUnit(service, error)
        && systemctl({QStringLiteral("daemon-reload")}, error);
}

bool SystemdJobScheduler::state(const QString &label, JobState *state, bool *loaded, QString *error)
{
    *loaded = false;
    if (!canLoad()) {
        return true; // nothing runs without the manager
    }
    const QString timer = label + QStringLiteral(".timer");
    QByteArray output;
    if (!runCommand(m_systemctl,
                    {QStringLiteral("--user"), QStringLiteral("list-timers"), QStringLiteral("--output=json"), timer},
                    QByteArray(), &output, error)) {
        return false;
    }
    QJsonParseError parseError {};
    const QJsonDocument document = QJsonDocument::fromJson(output, &parseError);
    if (!document.isArray()) {
        if (error) {
            *error = QStringLiteral("\"systemctl --user list-timers\" answered what is no list of timers: %1")
                         .arg(parseError.errorString());
        }
        return false;
    }
    const QJsonArray timers = document.array();
    for (const QJsonValue &value : timers) {
        const QJsonObject entry = value.toObject();
        if (entry.value(QStringLiteral("unit")).toString() != timer) {
            continue;
        }
        *loaded = true;
        state->label = label;
        state->scheduler = kind();
        // Microseconds since the epoch; null or 0 when the timer has no next start.
        const double next = entry.value(QStringLiteral("next")).toDouble();
        state->nextRun = next > 0 ? QDateTime::fromMSecsSinceEpoch(qint64(next / 1000)) : QDateTime();
        // The interval as the unit file that load wrote gives it.
        QFile file(unitFolder() + QLatin1Char('/') + timer);
        if (file.open(QIODevice::ReadOnly)) {
            static const QRegularExpression interval(QStringLiteral("^OnUnitActiveSec=(\\d+)$"),
                                                     QRegularExpression::MultilineOption);
            state->startInterval = interval.match(QString::fromUtf8(file.read(64 * 1024))).captured(1).toLongLong();
        }
        return true;
    }
    return true;
}
