#ifndef COMKESTRAMOLOGGER_H
#define COMKESTRAMOLOGGER_H

#include <QString>

#include <cstdint>

// The agent's log: ~/Library/Logs/<application name>.log, rotated past 256000 bytes, every
// message also on standard error and in the system log. A run (from its first message to
// closeLogIfOpened) writes less than that size into the file, and no message longer than a few
// kilobytes, so that no single run can rotate the earlier runs away. Class operations only; the state is process-wide
// and opened by the first message.
class ComKestramoLogger
{
public:
    ComKestramoLogger() = delete;

    // CFBundleName, else CFBundleExecutable, else the file name of CFBundleExecutablePath of
    // the main bundle, else "UNKNOWN_APPLICATION".
    static QString applicationName();
    // $HOME/Library/Logs
    static QString logsPath();
    static QString logFileName();
    static QString logFileNameBak();
    // Creates the logs folder (0700, parents not created); a failure goes to the console log.
    static void createLogPathIfMissing();
    // Moves a log file larger than 256000 bytes to the previous-log path, replacing an older one.
    static void rotateLogFilesIfNecessary();

    // Writes message as one record at level (syslog numbering); opens the log first if needed.
    static void log(const QString &message, int32_t level);
    static void logERR(const QString &message);
    static void logINFO(const QString &message);
    // Closes the connection and the file; does nothing when nothing is open.
    static void closeLogIfOpened();
    // Whether every message also goes to standard error (so it is unless told otherwise), or only
    // those that the log file did not take. Holds for the connections opened afterwards.
    static void setCopyToStandardError(bool copy);
};

#endif
