#ifndef COMKESTRAMOPREFERENCEQUORVELCONTROLLER_H
#define COMKESTRAMOPREFERENCEQUORVELCONTROLLER_H

#include <QDateTime>
#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QString>

#include "preferencepane.h"

// The pane's controller: help, scheduling the agent, and the pane's buttons. It holds its two
// outlets and no settings: the controls edit the settings model directly.
class ComKestramoPreferenceQuorvelController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(PreferencePane *preferencePane READ preferencePane WRITE setPreferencePane)
    Q_PROPERTY(QPlainTextEdit *mailContent READ mailContent WRITE setMailContent)
public:
    using QObject::QObject;

    PreferencePane *preferencePane() const { return m_preferencePane; }
    void setPreferencePane(PreferencePane *pane) { m_preferencePane = pane; }
    // The text view of the reminder body.
    QPlainTextEdit *mailContent() const { return m_mailContent; }
    void setMailContent(QPlainTextEdit *view) { m_mailContent = view; }

    // Called once the interface file's objects are tied: registers the help book.
    Q_INVOKABLE void awakeFromNib();
    void registerMyHelpBook();

    // Names and paths, computed afresh at every use (the launch agent's are LaunchAgent's).
    QString agentName() const;
    QString launchAgentsPath() const;
    QString plistAgentFilePath() const;
    QString excecutableAgentPath() const;
    void createLaunchAgentsFolderIfMissing();
    // Writes the launch-agent property list and loads it into the scheduler. When that fails, a
    // sheet gives the reason and schedulingFailed(true) follows: the reminders must not look on.
    void enableAlerter();
    // Unloads the launch-agent property list and removes it; a sheet tells when the scheduler
    // could not take the schedule away, then schedulingFailed(false).
    void disableAlerter();

public Q_SLOTS:
    void help(QObject *sender);
    // Schedules the agent when the sender's value is 1 (on), unschedules it otherwise.
    void enableCheckPressed(QObject *sender);
    // Starts one run of the agent beside the window and returns at once; agentRunFinished()
    // follows when it has ended. Refused while a run it started is going on.
    void alertNow(QObject *sender);
    // Opens the agent's log in the user's viewer, or tells that there is none yet.
    void showLog(QObject *sender);
    void insertDate(QObject *sender);
    void insertTime(QObject *sender);
    void insertFirstName(QObject *sender);
    void insertLastName(QObject *sender);

Q_SIGNALS:
    // Scheduling (enabling true) or unscheduling the agent failed; the user has been told why.
    void schedulingFailed(bool enabling);
    // A run that alertNow started began (true) or ended (false).
    void agentRunningChanged(bool running);
    // That run has ended: its process number and the moment it started, to find it in the log.
    void agentRunFinished(qint64 pid, const QDateTime &started);

public:
    bool isAgentRunning() const { return m_agent != nullptr; }
    ~ComKestramoPreferenceQuorvelController() override;

private:
    void reportSchedulingFailure(bool enabling, const QString &reason);
    void insertPlaceholder(const QString &placeholder);
    QString localized(const QString &key) const;
    void showSheet(const QString &title, const QString &message);

    QPointer<PreferencePane> m_preferencePane;
    QPointer<QPlainTextEdit> m_mailContent;
    QPointer<QProcess> m_agent; // the run that alertNow started, while it goes on
};

#endif
