#ifndef ACTIONCONTROLLER_H
#define ACTIONCONTROLLER_H

#include "exception.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class Model;

// The installer's one exception: a script sent to System Preferences reported an error. Its
// reason is "ExecutionError ErrorDictionary=" followed by the script's error information.
class ScriptExecutionFailed : public Exception
{
public:
    explicit ScriptExecutionFailed(const QString &reason) : Exception(QStringLiteral("ScriptExecutionFailed"), reason)
    {
    }
};

// The application's delegate and the target of the window's two actions: finds the installed
// pane and compares versions when launching has finished, and installs, updates or uninstalls
// the pane carried in the application's resources. Every step runs on the main thread; child
// programs and scripts are waited for.
class ActionController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Model *model READ model WRITE setModel)
public:
    using QObject::QObject;

    Model *model() const { return m_model; }
    void setModel(Model *model) { m_model = model; }

    // Launch inspection: which pane is installed where, and whether the carried one is newer.
    void applicationDidFinishLaunching(QObject *notification);

    // $HOME/Library/PreferencePanes
    QString preferencePanesPath() const;
    // The pane's place in the user's folder, and in the system's.
    QString panelInstallationPath() const;
    QString panelSystemInstallationPath() const;

    // "%.5ld.%.5ld.%.5ld" of the first three "."-separated components, each read as a decimal
    // prefix, so that versions order by plain character comparison.
    static QString normalizeVersion(const QString &version);
    // Whether installerVersion orders after the installed version once both are normalized.
    static bool verifyIfInstallerVersion(const QString &installerVersion,
                                         const QString &isMoreRecentThaInstalledVersion);

    // Runs source; throws ScriptExecutionFailed when the run reports an error.
    void executeAppleScriptWithSource(const QString &source);
    void stopSystemPreferencesIfNecessary();
    void startSystemPreferences();
    // Removes the installed pane that the model knows of; a failure is logged, not raised.
    void uninstallPanelIfNecessary();
    // Unpacks the carried pane into the user's folder, in place of the installed one (removed
    // once the carried one is unpacked and checked), and leaves the install message. An archive
    // that holds anything but the pane, or unpacks to too much, is refused before anything changes.
    void installPanel();
    // Removes the agent's schedule and its launch-agent file, and switches the agent off.
    void disableAlerter();

    QString agentName() const;
    QString launchAgentsPath() const;
    QString plistAgentFilePath() const;

public Q_SLOTS:
    // Installs or updates the pane. Whatever happens, the model ends no longer in progress and
    // completed; an exception of a step is passed on afterwards.
    void install(QObject *sender);
    // Switches the agent off and removes the pane; same ending as install.
    void uinstall(QObject *sender);

private:
    QString localized(const QString &key) const;
    void bringToFront(QObject *sender);
    void endProcedure();
    // Starts launchctl or defaults and waits for it; throws when it cannot be started.
    int runProgram(const QString &path, const QStringList &arguments);

    QPointer<Model> m_model;
};

#endif
