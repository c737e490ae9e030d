#ifndef RUVELANT_SCRIPTRUNNER_H
#define RUVELANT_SCRIPTRUNNER_H

#include <QString>
#include <QVariantMap>

// Runs the few scripts that this system sends to other programs, and nothing else:
//   tell application "System Preferences": quit, activate, set X to every pane whose id is "ID",
//     set Y to first item of X, reveal Y (the host is started when it is needed and not running;
//     quit succeeds also when it is not running);
//   tell application "Finder": open document file "F" of folder "A" of ... of startup disk (the
//     folder chain read as a path; folder "<name>" of folder "Users" is that user's home folder),
//     opened in the user's chosen viewer.
// Statements end at a carriage return or a line feed. Any other text, or an action that fails,
// gives error information: NSAppleScriptErrorNumber and NSAppleScriptErrorMessage.
class ScriptRunner
{
public:
    static const QString ErrorNumberKey; // "NSAppleScriptErrorNumber"
    static const QString ErrorMessageKey; // "NSAppleScriptErrorMessage"

    explicit ScriptRunner(const QString &source);

    // Runs the script. Returns false and fills *errorInfo (when given) when it failed.
    bool executeAndReturnError(QVariantMap *errorInfo);

    // The textual form of error information: {NSAppleScriptErrorMessage = "..."; ...}
    static QString describe(const QVariantMap &errorInfo);

private:
    QString m_source;
};

#endif
