#include "cronjobscheduler.h"

#include <algorithm>

namespace {
QString tag(const QString &label)
{
    return QStringLiteral(" # launchctl:") + label;
}

bool isTagged(const QByteArray &line, const QString &label)
{
    return line.trimmed().endsWith(tag(label).toUtf8());
}

// Leaves out the lines tagged with label; returns how many there were.
int removeTagged(QByteArrayList *lines, const QString &label)
{
    const auto end
        = std::remove_if(lines->begin(), lines->end(), [&](const QByteArray &l) { return isTagged(l, label); });
    const int removed = static_cast<int>(lines->end() - end);
    lines->erase(end, lines->end());
    return removed;
}

// A word for the shell that cron starts, in single quotes. cron itself turns an unescaped '%'
// into a line break, so '%' is written "\%"; a backslash right before a '%' cannot be written.
bool shellWord(const QString &word, QString *quoted)
{
    if (word.contains(QLatin1String("\\%"))) {
        return false;
    }
    QString text = word;
    text.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    text.replace(QLatin1Char('%'), QLatin1String("\\%"));
    *quoted = QLatin1Char('\'') + text + QLatin1Char('\'');
    return true;
}
} // namespace

CronJobScheduler::CronJobScheduler(const QString &crontab) : m_crontab(crontab) { }

QString CronJobScheduler::schedule(qint64 seconds)
{
    static const int minuteSteps[] = {30, 20, 15, 12, 10, 6, 5, 4, 3, 2};
    static const int hourSteps[] = {12, 8, 6, 4, 3, 2};
    const qint64 minutes = seconds / 60;
    if (minutes >= 24 * 60) {
        return QStringLiteral("0 0 * * *");
    }
    for (const int hours : hourSteps) {
        if (minutes >= hours * 60) {
            return QStringLiteral("0 */%1 * * *").arg(hours);
        }
    }
    if (minutes >= 60) {
        return QStringLiteral("0 * * * *");
    }
    for (const int step : minuteSteps) {
        if (minutes >= step) {
            return QStringLiteral("*/%1 * * * *").arg(step);
        }
    }
    return QStringLiteral("* * * * *");
}

qint64 CronJobScheduler::interval(const QString &fields)
{
    const QStringList parts = fields.simplified().split(QLatin1Char(' '));
    if (parts.size() != 5 || parts.at(2) != QLatin1String("*") || parts.at(3) != QLatin1String("*")
        || parts.at(4) != QLatin1String("*")) {
        return 0;
    }
    const auto step = [](const QString &field) {
        return field == QLatin1String("*") ? 1 : field.startsWith(QLatin1String("*/")) ? field.mid(2).toInt() : 0;
    };
    if (parts.at(0) == QLatin1String("0") && parts.at(1) == QLatin1String("0")) {
        return 24 * 3600;
    }
    if (parts.at(0) == QLatin1String("0")) {
        return qint64(step(parts.at(1))) * 3600;
    }
    return parts.at(1) == QLatin1String("*") ? qint64(step(parts.at(0))) * 60 : 0;
}

QString CronJobScheduler::line(const LaunchJob &job, QString *why)
{
    QStringList words;
    QString word;
    const auto variables = jobEnvironment();
    for (const auto &variable : variables) {
        if (shellWord(variable.second, &word)) {
            words.append(variable.first + QLatin1Char('=') + word);
        }
    }
    for (const QString &argument : job.programArguments) {
        if (!shellWord(argument, &word)) {
            if (why) {
                *why = QStringLiteral("the program argument \"%1\" cannot be written into a crontab line "
                                      "(a backslash before '%')")
                           .arg(argument);
            }
            return QString();
        }
        words.append(word);
    }
    // launchd keeps no output of an agent that names no output file; neither does cron then.
    return schedule(job.startInterval) + QLatin1Char(' ') + words.join(QLatin1Char(' '))
        + QStringLiteral(" >/dev/null 2>&1") + tag(job.label);
}

bool CronJobScheduler::readLines(QByteArrayList *lines, QString *error) const
{
    QByteArray output;
    QString problem;
    int status = -1;
    if (!runCommand(m_crontab, {QStringLiteral("-l")}, QByteArray(), &output, &problem, &status)) {
        // "crontab -l" fails with "no crontab for <user>" when the user has none yet.
        if (status == 1 && problem.contains(QLatin1String("no crontab for"))) {
            lines->clear();
            return true;
        }
        if (error) {
            *error = QStringLiteral("cannot read the crontab, so it is left as it is: ") + problem;
        }
        return false;
    }
    if (output.endsWith('\n')) {
        output.chop(1);
    }
    // Kept as bytes, so that the user's own lines go back exactly as they came.
    *lines = output.isEmpty() ? QByteArrayList() : output.split('\n');
    return true;
}

bool CronJobScheduler::writeLines(const QByteArrayList &lines, QString *error) const
{
    QByteArray ignored;
    QByteArray text = lines.join('\n');
    if (!text.isEmpty()) {
        text += '\n'; // cron ignores a last line without its line break
    }
    return runCommand(m_crontab, {QStringLiteral("-")}, text, &ignored, error);
}

bool CronJobScheduler::load(const LaunchJob &job, QString *error)
{
    const QString entry = line(job, error);
    if (entry.isEmpty()) {
        return false;
    }
    QByteArrayList lines;
    if (!readLines(&lines, error)) {
        return false;
    }
    removeTagged(&lines, job.label);
    lines.append(entry.toUtf8());
    return writeLines(lines, error);
}

bool CronJobScheduler::state(const QString &label, JobState *state, bool *loaded, QString *error)
{
    *loaded = false;
    QByteArrayList lines;
    if (!readLines(&lines, error)) {
        return false;
    }
    for (const QByteArray &entry : qAsConst(lines)) {
        if (isTagged(entry, label)) {
            *loaded = true;
            state->label = label;
            state->scheduler = kind();
            state->startInterval = interval(QString::fromUtf8(entry).simplified().section(QLatin1Char(' '), 0, 4));
            state->nextRun = QDateTime();
            return true;
        }
    }
    return true;
}

bool CronJobScheduler::unload(const QString &label, QString *error)
{
    QByteArrayList lines;
    if (!readLines(&lines, error)) {
        return false;
    }
    return removeTagged(&lines, label) == 0 || writeLines(lines, error);
}
