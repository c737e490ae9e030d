#ifndef RUVELANT_RUNOUTCOME_H
#define RUVELANT_RUNOUTCOME_H

#include "sentreminders.h"

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

class Bundle;

// What one run of the agent did, as the records of its process in the agent's log tell.
struct RunOutcome
{
    bool found = false; // the log holds the run's first record
    qint64 pid = 0; // the run's process
    bool finished = false; // ... and its last, "terminated"
    bool disabled = false; // it ended at once: the reminders are switched off
    QDateTime started;
    int handedOver = 0; // reminders that the mail system took
    int eventsMarked = 0; // events that got the marker "(*)"
    int noAddress = 0; // attendees without an e-mail address
    QList<SentReminder> failures; // reminders that did not reach the mail system

    // The run of process pid that started no earlier than since (a process number comes back),
    // from the text of the agent's log files.
    static RunOutcome ofProcess(const QString &logText, qint64 pid, const QDateTime &since, const QDate &today);
    // The last run that the log tells of; found is false when it tells of none.
    static RunOutcome lastRun(const QString &logText, const QDate &today, qint64 *pid = nullptr);
    // Every run that the log tells of, in the order they started.
    static QList<RunOutcome> runs(const QString &logText, const QDate &today);
    // The last run whose reminders did not all reach the mail system, while no later run has
    // handed one over without a failure; found is false when there is none.
    static RunOutcome standingFailure(const QString &logText, const QDate &today);
    // Whether the run ended and handed reminders over, every one of them.
    bool succeeded() const { return finished && !disabled && handedOver > 0 && failures.isEmpty(); }
    // The failures by cause, each with how many reminders it kept back, in the order they came.
    QList<QPair<HandOverFailure, int>> failureCauses() const;
    // What the run did, in one sentence of bundle's texts.
    QString summary(const Bundle &bundle) const;
};

#endif
