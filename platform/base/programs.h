#ifndef RUVELANT_PROGRAMS_H
#define RUVELANT_PROGRAMS_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class QObject;
class QProcess;

// Starting programs, the one way every part of the system does it: without a shell, with the
// options callers need (input, output kept or passed on, time and output limits, ending with this
// process), waiting for the end or told of it.
//
// The pane and the installer start some programs by absolute path: "/bin/launchctl" and
// "/usr/bin/defaults" are ours, taken from the tools folder of the same installation as the
// running program (the build tree's build/bin, or the private PREFIX/lib/ruvelant/bin once
// installed). Every other path ("/usr/bin/unzip"...) is the system's and is started as it stands.
class Programs
{
public:
    // The environment variable that names our programs' folder outright (tests, unusual layouts).
    static const char ToolsFolderVariable[]; // "RUVELANT_TOOLS_DIR"

    // The path to start for the program at absolutePath: our own program of that name for the
    // two paths above, absolutePath itself otherwise (and when our programs cannot be found).
    static QString pathFor(const QString &absolutePath);

    // The folder of our programs: $RUVELANT_TOOLS_DIR when set, else the one found from the
    // running program's own folder (see toolsFolderNear); empty when there is none.
    static QString toolsFolder();

    // The folder of our commands that people start (SystemPreferences, ruvelant): PREFIX/bin for
    // an installation whose tools are in PREFIX/lib/ruvelant/bin, the tools folder itself in the
    // build tree; empty when there is no tools folder.
    static QString commandsFolder();

    // The folder of our programs for a program that lives in programFolder: programFolder or one
    // of its first five parents, or the bin/ or lib/ruvelant/bin/ folder of one of those,
    // whichever comes first and holds both launchctl and defaults. So build/bin, build/tests and
    // build/X.app/Contents/MacOS give build/bin; PREFIX/bin and
    // PREFIX/lib/ruvelant/X.app/Contents/MacOS give PREFIX/lib/ruvelant/bin. Empty when none
    // holds them.
    static QString toolsFolderNear(const QString &programFolder);

    // Whether folder holds our programs (launchctl and defaults, both executable files): false
    // once the installation they belong to was removed.
    static bool holdsTools(const QString &folder);

    // Starts the program at absolutePath (mapped by pathFor) with arguments, without a shell,
    // and waits until it has ended. Its standard output and error go where this process's go.
    // While waiting, the event loop (when there is one) keeps windows painted but takes no
    // user input. Returns the program's exit status, or -1 with *error set when it is not an
    // absolute path, could not be started, or did not exit normally. Every start is noted as
    // "starting <absolutePath> <arguments>" at debug level of the category ruvelant.programs
    // (off unless the logging rules switch it on). With standardError, what the program writes
    // there is kept in it instead.
    static int run(const QString &absolutePath, const QStringList &arguments, QString *error = nullptr,
                   QString *standardError = nullptr);

    // Where a started program's output (or error output) goes.
    enum Channel { Discard, Keep, PassOn };

    // How a program is started.
    struct Options
    {
        // Its whole input. execute() puts it in a sealed memory file before the program starts,
        // so that it never reads part of it; empty: /dev/null.
        QByteArray input;
        Channel output = Discard;
        Channel errors = Discard;
        // How much of a kept channel is kept; what comes after is read and dropped.
        int keepLimit = 16 * 1024 * 1024;
        // Stopped (SIGKILL) after this long; -1: no limit.
        int timeoutMs = -1;
        // Stopped (SIGKILL) once it has written more than this to its output; -1: no limit
        // (execute() only).
        qint64 outputLimit = -1;
        // Stopped (SIGKILL) when this process dies, even in the middle of its run (execute() only).
        bool endsWithThisProcess = false;
        // The most memory it may take for its data (RLIMIT_DATA, in bytes): past it, it gets
        // none (a program fed without end fails instead of filling memory); -1: no limit
        // (execute() only).
        qint64 memoryLimit = -1;
    };

    // How a started program ended.
    struct Outcome
    {
        enum How { NotStarted, Exited, Signalled, TimedOut, TooMuchOutput } how = NotStarted;
        int status = 0; // the exit status, or the signal that ended it
        QByteArray output; // what it wrote, when kept
        qint64 outputSize = 0; // how much it wrote, when kept (also what was not kept)
        QByteArray errors; // what it wrote to standard error, when kept
        QString error; // why it could not be started
        int startError = 0; // and the error number
        bool succeeded() const { return how == Exited && status == 0; }
        // Whether every byte it wrote to a kept output is in output (none was dropped at keepLimit).
        bool keptAllOutput() const { return outputSize == output.size(); }
    };

    // Starts program (an absolute path, mapped by pathFor; else found on PATH) with arguments and
    // waits for its end without an event loop. Every start of execute(), start() and
    // startDetached() is noted as "starting <path> <arguments>" at debug level of the category
    // ruvelant.programs.starts.
    static Outcome execute(const QString &program, const QStringList &arguments, const Options &options);
    // Starts program as execute() does and returns at once (the input is written to its
    // standard input); done is called in context's thread when it has ended, or after start()
    // has returned when it could not be started. The process belongs to context and is deleted
    // after done; disconnecting context from it means done is not called.
    static QProcess *start(const QString &program, const QStringList &arguments, const Options &options,
                           QObject *context, std::function<void(const Outcome &)> done);
    // Starts program without waiting and without hearing of its end (it may outlive this
    // process); its input is /dev/null, its output and errors are discarded or passed on (a
    // kept channel is discarded). False with the reason in *error when it cannot be started.
    static bool startDetached(const QString &program, const QStringList &arguments, const Options &options,
                              QString *error = nullptr);
};

#endif
