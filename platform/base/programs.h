#ifndef RUVELANT_PROGRAMS_H
#define RUVELANT_PROGRAMS_H

#include <QString>
#include <QStringList>

// The programs that the pane and the installer start by absolute path. "/bin/launchctl" and
// "/usr/bin/defaults" are ours: they are taken from the tools folder of the same installation as
// the running program (the build tree's build/bin, or the private PREFIX/lib/ruvelant/bin once
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
};

#endif
