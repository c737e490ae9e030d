#include "runoutcome.h"

#include "bundle.h"
#include "dateformatter.h"
#include "logservice.h"

#include <QHash>
#include <QSet>
#include <QVector>

#include <algorithm>

namespace {
const QString startedPrefix = QStringLiteral("started -v.");
const QString disabledText = QStringLiteral("exiting, disabled in system preferences");
const QString terminatedText = QStringLiteral("terminated");
const QString markingError = QStringLiteral("Error while marking event as notified err:");
} // namespace

QList<RunOutcome> RunOutcome::runs(const QString &logText, const QDate &today)
{
    QList<RunOutcome> runs;
    QList<int> unmarkable; // by run: events that could not be marked
    QHash<qint64, QList<int>> ofProcess; // a process's runs (a process number comes back), in order
    const QList<LogService::Record> records = LogService::parseRecords(logText.toUtf8(), today);
    for (const LogService::Record &record : records) {
        if (record.level == LogService::Info && record.text.startsWith(startedPrefix)) {
            RunOutcome outcome;
            outcome.found = true;
            outcome.pid = record.pid;
            outcome.started = record.time;
            ofProcess[record.pid].append(runs.size());
            runs.append(outcome);
            unmarkable.append(0);
            continue;
        }
        const auto process = ofProcess.constFind(record.pid);
        if (process == ofProcess.cend()) {
            continue; // a record of no run that the log holds the start of
        }
        RunOutcome &outcome = runs[process->last()];
        if (record.text == disabledText) {
            outcome.disabled = true;
        } else if (record.text == terminatedText) {
            outcome.finished = true;
        } else if (record.level == LogService::Error
                   && (record.text.startsWith(markingError) || record.text.contains(QLatin1String("cannot be marked"))
                       || record.text.contains(QLatin1String("is no longer in its calendar")))) {
            ++unmarkable[process->last()];
        }
    }
    // Events are marked once all their reminders went out, or were refused for good; one that
    // may still go out later stays unmarked.
    QVector<QSet<QString>> reminded(runs.size());
    QVector<QSet<QString>> keptBack(runs.size());
    const QList<SentReminder> reminders = SentReminders::fromRecords(logText, today);
    for (const SentReminder &reminder : reminders) {
        // The run of its process that had started by then.
        const QList<int> candidates = ofProcess.value(reminder.pid);
        int run = -1;
        for (auto it = candidates.crbegin(); it != candidates.crend() && run < 0; ++it) {
            if (runs.at(*it).started <= reminder.time) {
                run = *it;
            }
        }
        if (run < 0) {
            continue;
        }
        RunOutcome &outcome = runs[run];
        switch (reminder.outcome) {
        case SentReminder::Sent:
            ++outcome.handedOver;
            reminded[run].insert(reminder.event);
            break;
        case SentReminder::Failed:
            outcome.failures.append(reminder);
            reminded[run].insert(reminder.event);
            if (HandOverFailure::fromDetail(reminder.detail, reminder.address).isTemporary()) {
                keptBack[run].insert(reminder.event);
            }
            break;
        case SentReminder::NoAddress:
            ++outcome.noAddress;
            break;
        case SentReminder::Sending:
            break;
        }
    }
    for (int run = 0; run < runs.size(); ++run) {
        runs[run].eventsMarked = qMax(0, int((reminded.at(run) - keptBack.at(run)).size()) - unmarkable.at(run));
    }
    return runs;
}

RunOutcome RunOutcome::ofProcess(const QString &logText, qint64 pid, const QDateTime &since, const QDate &today)
{
    // The log's time stamps are whole seconds.
    const QDateTime earliest = since.addSecs(-1);
    const QList<RunOutcome> all = runs(logText, today);
    for (auto run = all.crbegin(); run != all.crend(); ++run) {
        if (run->pid == pid && run->started >= earliest) {
            return *run;
        }
    }
    return RunOutcome();
}

RunOutcome RunOutcome::lastRun(const QString &logText, const QDate &today, qint64 *pid)
{
    const QList<RunOutcome> all = runs(logText, today);
    if (all.isEmpty()) {
        return RunOutcome();
    }
    if (pid) {
        *pid = all.last().pid;
    }
    return all.last();
}

RunOutcome RunOutcome::standingFailure(const QString &logText, const QDate &today)
{
    const QList<RunOutcome> all = runs(logText, today);
    for (auto run = all.crbegin(); run != all.crend(); ++run) {
        if (!run->failures.isEmpty()) {
            return *run;
        }
        if (run->succeeded()) {
            break;
        }
    }
    return RunOutcome();
}

QList<QPair<HandOverFailure, int>> RunOutcome::failureCauses() const
{
    QList<QPair<HandOverFailure, int>> causes;
    for (const SentReminder &failure : failures) {
        const HandOverFailure cause = HandOverFailure::fromDetail(failure.detail, failure.address);
        auto same = std::find_if(causes.begin(), causes.end(), [&cause](const QPair<HandOverFailure, int> &known) {
            return known.first.isSameCause(cause);
        });
        if (same == causes.end()) {
            causes.append({cause, 1});
        } else {
            ++same->second;
        }
    }
    return causes;
}

QString RunOutcome::summary(const Bundle &bundle) const
{
    const auto tr = [&bundle](const char *key) { return bundle.localizedStringForKey(QLatin1String(key)); };
    const auto count
        = [&bundle](const char *key, int n) { return bundle.localizedStringForKey(QLatin1String(key), n); };
    const QString time = DateFormatter(DateFormatter::NoStyle, DateFormatter::ShortStyle).stringFromDate(started);
    if (disabled) {
        return tr("RunSummaryDisabled").arg(time);
    }
    QStringList parts;
    if (handedOver > 0) {
        parts.append(count("RunHandedOver", handedOver));
    }
    if (eventsMarked > 0) {
        parts.append(count("RunEventsMarked", eventsMarked));
    }
    const QList<QPair<HandOverFailure, int>> causes = failureCauses();
    for (const auto &cause : causes) {
        parts.append(count("RunFailed", cause.second).arg(cause.first.plainWords(bundle)));
    }
    if (noAddress > 0) {
        parts.append(count("RunNoAddress", noAddress));
    }
    if (!finished) {
        parts.append(tr("RunNotFinished"));
    }
    if (parts.isEmpty()) {
        return tr("RunSummaryNothing").arg(time);
    }
    return tr("RunSummary").arg(time, parts.join(tr("RunSummarySeparator")));
}
