#ifndef RUVELANT_COMMANDLINE_H
#define RUVELANT_COMMANDLINE_H

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// The exit statuses of the ruvelant command.
namespace ExitStatus {
constexpr int Success = 0;
constexpr int Failure = 1; // it could not be done, a run did not hand every reminder over, or
                           // (status) reminders cannot go out
constexpr int Usage = 2; // a wrong subcommand, option, key or value
} // namespace ExitStatus

// The options and arguments of one subcommand: parses them, answers --help with the
// subcommand's own help, and refuses what it does not know.
class SubcommandLine
{
public:
    // synopsis: what follows "ruvelant" in the usage line ("get KEY").
    SubcommandLine(const QString &synopsis, const QString &description);

    QCommandLineParser &parser() { return m_parser; }
    // Parses the arguments that follow the subcommand, wanting minimum to maximum positional
    // arguments (-1: any number). Returns -1 when the subcommand goes on, else its exit status:
    // 0 after printing its help, 2 after a complaint on standard error.
    int parse(const QStringList &arguments, int minimum, int maximum);
    // The help: usage line, description, options.
    QString helpText() const;

private:
    QString m_synopsis;
    QCommandLineParser m_parser;
};

// The command's lines: stdout for what was asked, standard error for the rest (UTF-8).
namespace Output {
void line(const QString &text);
void note(const QString &text);
// "ruvelant: message" on standard error; returns status.
int fail(const QString &message, int status = ExitStatus::Failure);
} // namespace Output

#endif
