#ifndef RUVELANT_AKONADICLIENT_H
#define RUVELANT_AKONADICLIENT_H

#include <QDeadlineTimer>
#include <QString>

#include <functional>
#include <memory>

class KJob;
class QObject;

// A connection to the Akonadi server that the user runs. Its session, jobs and monitors live on
// one thread of the process that only they use, so that a caller waits for a job without an event
// loop of its own (no input queued, nothing re-entered). Nothing here ever starts a server.
class AkonadiClient
{
public:
    // How long finding out whether a server runs and answers may take at most, in milliseconds.
    static constexpr int answerBound = 5000;
    // How long one job may take at most before it is given up, in milliseconds. After a job was
    // given up, the client's jobs fail at once for stuckPause: a stuck server costs a run one bound.
    static constexpr int jobBound = 30000;
    static constexpr int stuckPause = 60000;

    // A client of the server that runs on the session bus and answers within timeoutMs; nullptr when
    // there is no session bus, no server runs (or runs only in part), or it does not answer in time:
    // why (when given) then says which. A server that is not running is never started.
    static std::unique_ptr<AkonadiClient> connect(int timeoutMs = answerBound, QString *why = nullptr);
    ~AkonadiClient();
    Q_DISABLE_COPY(AkonadiClient)

    // Runs work on the client's thread and returns when it is done.
    void call(const std::function<void()> &work) const;
    // Within call(): runs job (of the client's thread, not deleted on its end) until it ends; kills
    // it after timeoutMs (by default the job bound). False, with error set, when it failed or took
    // too long.
    bool run(KJob *job, QString *error, int timeoutMs = -1) const;
    // Replaces jobBound (tests).
    void setJobBound(int milliseconds) { m_jobBound = milliseconds; }
    // An object of the client's thread, for what lives there with the client (monitors, timers):
    // deleted on that thread with the client.
    QObject *context() const { return m_context; }

private:
    AkonadiClient();
    QObject *m_context = nullptr;
    int m_jobBound = jobBound;
    mutable QDeadlineTimer m_stuckUntil; // on the client's thread
};

#endif
