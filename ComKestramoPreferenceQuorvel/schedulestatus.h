#ifndef RUVELANT_SCHEDULESTATUS_H
#define RUVELANT_SCHEDULESTATUS_H

#include "jobscheduler.h"

#include <QDateTime>
#include <QObject>
#include <QString>

class Bundle;
class QProcess;

// The agent's schedule as the user's scheduler holds it ("launchctl list"), set beside the
// setting that should match it: on and scheduled, off, on but not scheduled, on and in a crontab
// that no cron daemon runs, off but still scheduled, or the scheduler's own error. Asked beside
// the caller's thread of work, or at once.
class ScheduleStatus : public QObject
{
    Q_OBJECT
public:
    enum State { Checking, On, Off, NotScheduled, SchedulerStopped, OffButScheduled, Failed };
    struct Result
    {
        State state = Checking;
        JobState job; // where it is scheduled, for On, SchedulerStopped and OffButScheduled
        QString error; // the scheduler's message, for Failed
    };

    // label: the launch agent's label, "com.kestramo.RuvelantAgent".
    explicit ScheduleStatus(const QString &label, QObject *parent = nullptr);
    ~ScheduleStatus() override;

    const Result &result() const { return m_result; }
    // Asks the scheduler again; changed() once the answer is in. A request made while one is
    // under way is taken up when that one has ended.
    void refresh(bool enabled);

    // The answer now, waiting for launchctl (for programs without an event loop of their own).
    static Result query(const QString &label, bool enabled);
    // The result for the setting from what "launchctl list" did: its exit status (-1: it did not
    // run), its standard output and its standard error.
    static Result fromListing(bool enabled, int status, const QString &output, const QString &errors);
    // The result in words from bundle's texts: "On: systemd timer, next run at 14:30." Times are
    // shown without seconds, with the day when it is not the day of now.
    static QString text(const Result &result, const Bundle &bundle, const QDateTime &now);

Q_SIGNALS:
    void changed();

private:
    void start();

    QString m_label;
    Result m_result;
    QProcess *m_process = nullptr;
    bool m_enabled = false;
    bool m_pending = false;
};

#endif
