#include "runoutcome.h"

#include "bundle.h"
#include "dateformatter.h"
#include "logservice.h"

#include <QSet>

#include <algorithm>

namespace {
const QString startedPrefix = QStringLiteral("started -v.");
const QString disabledText = QStringLiteral("exiting, disabled in system preferences");
const QString terminatedText = QStringLiteral("terminated");
const QString markingError = QStringLiteral("Error while marking event as notified err:");
} // namespace

RunOutcome RunOutcome::ofProcess(const QString &logText, qint64 pid, const QDateTime &since, const QDate &today)
{
    RunOutcome outcome;
    // The log's time stamps are whole seconds.
    const QDateTime earliest = since.addSecs(-1);
    const QList<LogService::Record> records = LogService::parseRecords(logText.toUtf8(), today);
    int unmarkable = 0;
    for (const LogService::Record &record : records) {
        if (record.pid != pid || record.time < earliest) {
            continue;
        }
        if (record.level == LogService::Info && record.text.startsWith(startedPrefix)) {
            outcome = RunOutcome(); // a later run of the same process number
            outcome.found = true;
            outcome.started = record.time;
            unmarkable = 0;
        } else if (!outcome.found) {
            continue;
        } else if (record.text == disabledText) {
            outcome.disabled = true;
        } else if (record.text == terminatedText) {
            outcome.finished = true;
        } else if (record.level == LogService::Error
                   && (record.text.startsWith(markingError) || record.text.contains(QLatin1String("cannot be marked"))
                       || record.text.contains(QLatin1String("is no longer in its calendar")))) {
            ++unmarkable;
        }
    }
    if (!outcome.found) {
        return outcome;
    }
    // Events are marked once all their reminders went out, or were refused for good; one that
    // may still go out later stays unmarked.
    QSet<QString> reminded;
    QSet<QString> keptBack;
    const QList<SentReminder> reminders = SentReminders::fromRecords(logText, today);
    for (const SentReminder &reminder : reminders) {
        if (reminder.pid != pid || reminder.time < outcome.started) {
            continue;
        }
        switch (reminder.outcome) {
        case SentReminder::Sent:
            ++outcome.handedOver;
            reminded.insert(reminder.event);
            break;
        case SentReminder::Failed:
            outcome.failures.append(reminder);
            reminded.insert(reminder.event);
            if (HandOverFailure::fromDetail(reminder.detail, reminder.address).isTemporary()) {
                keptBack.insert(reminder.event);
            }
            break;
        case SentReminder::NoAddress:
            ++outcome.noAddress;
            break;
        case SentReminder::Sending:
            break;
        }
    }
    outcome.eventsMarked = qMax(0, int((reminded - keptBack).size()) - unmarkable);
    return outcome;
}

RunOutcome RunOutcome::lastRun(const QString &logText, const QDate &today, qint64 *pid)
{
    const QList<LogService::Record> records = LogService::parseRecords(logText.toUtf8(), today);
    for (auto record = records.crbegin(); record != records.crend(); ++record) {
        if (record->level == LogService::Info && record->text.startsWith(startedPrefix)) {
            if (pid) {
                *pid = record->pid;
            }
            return ofProcess(logText, record->pid, record->time, today);
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
