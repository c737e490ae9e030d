#ifndef RUVELANT_LAUNCHJOB_H
#define RUVELANT_LAUNCHJOB_H

#include <QString>
#include <QStringList>

#include <sys/types.h>

// A launch agent as its property list describes it, reduced to the keys this platform
// schedules: Label, ProgramArguments, StartInterval and KeepAlive. Other keys are ignored.
struct LaunchJob
{
    QString label;
    QStringList programArguments; // the program's absolute path, then its own arguments
    qint64 startInterval = 0; // seconds between two starts; 0 when the file gives none
    bool keepAlive = false;

    // Reads the property list at path into *job. Returns false with a message in *error when
    // the file cannot be read, is not a property list dictionary, has no Label text, or gives
    // one of the four keys with a value of the wrong type.
    static bool read(const QString &path, LaunchJob *job, QString *error);

    // Whether label can name a unit file and tag a crontab line: 1 to 200 letters, digits, '.',
    // '_' and '-', not beginning with '.' or '-'. Sets *why when not.
    static bool isValidLabel(const QString &label, QString *why = nullptr);

    // Whether the job can be scheduled: a valid label, a program given by absolute path, no
    // control character in any argument, a positive StartInterval and no KeepAlive. Sets *why
    // when not.
    bool isSchedulable(QString *why = nullptr) const;

    // The launch agents' files and launchctl calls, shared by the reminder agent's schedule and
    // the accounts' sync schedule.
    static const char LaunchctlPath[]; // "/bin/launchctl"
    // $HOME/Library/LaunchAgents: built from the home folder, where the scheduler looks.
    static QString launchAgentsFolder();
    // launchAgentsFolder()/<label>.plist
    static QString filePath(const QString &label);
    // Makes the launch-agents folder (and a missing Library folder) when nothing is there, with
    // a mode that lets no one but the user change it: launchctl trusts no job file in one that
    // others may.
    static void makeLaunchAgentsFolder();
    // Writes text as the file of the agent label (mode: its permissions), making the folder
    // when missing. Returns false with the file system's words in *error.
    static bool writeFile(const QString &label, const QByteArray &text, mode_t mode, QString *error);
    // The arguments of "launchctl <command> -w <file of label>" ("load" or "unload").
    static QStringList launchctlArguments(const QString &command, const QString &label);
    // What launchctl wrote to standard error, without its "launchctl: " at the start of lines.
    static QString launchctlReason(const QString &errors);
};

// Whether text holds a control character (C0, DEL or C1): the line break of a unit file or a
// crontab among them.
bool containsControlCharacter(const QString &text);

#endif
