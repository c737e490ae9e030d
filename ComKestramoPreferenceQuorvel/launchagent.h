#ifndef RUVELANT_LAUNCHAGENT_H
#define RUVELANT_LAUNCHAGENT_H

#include <QString>

// The launch agent that has the user's scheduler start RuvelantAgent every 1800 seconds: its
// name, label, file and text, and the launchctl calls that load and unload it. The pane's enable
// box, the installer's uninstall and the ruvelant command all schedule the agent through it.
class LaunchAgent
{
public:
    // What a load or an unload came to.
    struct Result
    {
        enum Outcome {
            Done,
            FileNotWritten, // the file could not be written; launchctl was not run
            NotStarted, // launchctl could not be started
            Refused, // launchctl ran and failed
        };
        Outcome outcome = Done;
        QString error; // why, in the file system's or the scheduler's words (without "launchctl: ")
        bool ok() const { return outcome == Done; }
    };

    LaunchAgent() = delete;

    // "RuvelantAgent": the agent's program, the end of its label and the name of its log.
    static QString agentName();
    // "com.kestramo.RuvelantAgent"
    static QString label();
    // $HOME/Library/LaunchAgents: built from the home folder, where the scheduler, the agent and
    // the tests look, not from /Users/<name>.
    static QString launchAgentsPath();
    // launchAgentsPath()/com.kestramo.RuvelantAgent.plist
    static QString plistAgentFilePath();
    // Makes the launch-agents folder (and a missing Library folder) when nothing is there.
    static void createLaunchAgentsFolderIfMissing();
    // The 16 lines of the file for the agent program at executablePath (written into its XML
    // element with & < > as entities).
    static QString propertyList(const QString &executablePath);

    // Writes the file for the agent at executablePath and runs "launchctl load -w" on it. A
    // file that cannot be written is logged ("error=%ld while installing : %@ file ") and
    // launchctl is not run.
    static Result load(const QString &executablePath);
    // Runs "launchctl unload -w" on the file, whether or not it is there.
    static Result unload();
    // Deletes the file; a failure (also a file that is not there) is logged
    // ("error=%ld , failed to remove : %@ file ").
    static void removeFile();
};

#endif
