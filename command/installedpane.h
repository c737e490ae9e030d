#ifndef RUVELANT_INSTALLEDPANE_H
#define RUVELANT_INSTALLEDPANE_H

#include <QString>

#include <memory>

class Bundle;
class QStringList;
class SubcommandLine;

// The pane whose agent the command schedules and runs, and whose texts it speaks: in the build
// tree the build's own pane, otherwise the installed one, ~/Library/PreferencePanes before
// /Library/PreferencePanes (as System Preferences and the installer look for it).
class InstalledPane
{
public:
    InstalledPane();
    ~InstalledPane();

    // Looks for the pane and its agent; false with *error (which says what to do) without one.
    bool find(QString *error);
    QString path() const { return m_path; }
    QString version() const;
    // Contents/Resources/RuvelantAgent, the program that the schedule starts.
    QString agentPath() const;
    // The program beside the agent that tells the desktop of failed reminders.
    QString notifierPath() const;
    // From now on this process is the pane's agent to the code it shares with it: the settings'
    // default texts, the log's name and the run lock are the agent's own.
    void actAsAgent();
    // find() and actAsAgent() for a subcommand: -1 when the pane is there, else
    // statusWithout after saying on standard error what to do.
    int open(int statusWithout);
    // line.parse() of a subcommand without arguments, then open(statusWithout): -1 when the
    // subcommand goes on with the pane, else its exit status.
    int openFor(SubcommandLine &line, const QStringList &arguments, int statusWithout);
    // The pane's texts (those of the agent's folder), once actAsAgent was called.
    const Bundle &texts() const;

private:
    QString m_path;
    std::unique_ptr<Bundle> m_agent;
};

#endif
