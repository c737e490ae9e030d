#ifndef COMKESTRAMOPREFERENCEQUORVELCONTROLLER_H
#define COMKESTRAMOPREFERENCEQUORVELCONTROLLER_H

#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
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

    // Names and paths, computed afresh at every use.
    QString agentName() const;
    QString launchAgentsPath() const;
    QString plistAgentFilePath() const;
    QString excecutableAgentPath() const;
    void createLaunchAgentsFolderIfMissing();
    // Writes the launch-agent property list and loads it into the scheduler.
    void enableAlerter();
    // Unloads the launch-agent property list and removes it.
    void disableAlerter();

    // The launch-agent property list for the given agent executable.
    static QString launchAgentPropertyList(const QString &agentName, const QString &executablePath);

public Q_SLOTS:
    void help(QObject *sender);
    // Schedules the agent when the sender's value is 1 (on), unschedules it otherwise.
    void enableCheckPressed(QObject *sender);
    // Runs the agent once and returns when it has ended; the window goes on meanwhile.
    void alertNow(QObject *sender);
    // Opens the agent's log in the user's viewer, or tells that there is none yet.
    void showLog(QObject *sender);
    void insertDate(QObject *sender);
    void insertTime(QObject *sender);
    void insertFirstName(QObject *sender);
    void insertLastName(QObject *sender);

private:
    void insertPlaceholder(const QString &placeholder);
    QString localized(const QString &key) const;
    void showSheet(const QString &title, const QString &message);

    QPointer<PreferencePane> m_preferencePane;
    QPointer<QPlainTextEdit> m_mailContent;
    bool m_agentRunning = false; // an alert-now run is in progress
};

#endif
