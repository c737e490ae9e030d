#ifndef RUVELANT_THROWAWAYHOME_H
#define RUVELANT_THROWAWAYHOME_H

#include <QByteArray>
#include <QHash>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A fresh home folder for one test: sets HOME, the XDG_* folders, TZ and LANG for this process
// (and so for the programs it starts) and restores the previous values when it goes away. The
// user's scheduler is stood in for by the programs in schedulerFolder() (systemctl --user and
// crontab, from tests/data/launchctl/bin), which keep their state in the home: they, not the ones
// on PATH, are what every schedule of the test's programs reaches (RUVELANT_SCHEDULER_DIR).
class ThrowAwayHome
{
public:
    explicit ThrowAwayHome(const QByteArray &tz = "Europe/Paris", const QByteArray &lang = "en_US.UTF-8");
    ~ThrowAwayHome();
    Q_DISABLE_COPY(ThrowAwayHome)

    QString path() const { return m_dir.path(); }
    QString filePath(const QString &relative) const { return m_dir.filePath(relative); }
    QString dataHome() const { return m_dir.filePath(QStringLiteral(".local/share")); }
    QString calendarsPath() const { return dataHome() + QStringLiteral("/calendars"); }
    QString contactsPath() const { return dataHome() + QStringLiteral("/contacts"); }
    QString preferencesPath() const { return m_dir.filePath(QStringLiteral("Library/Preferences")); }
    // The stand-ins of the user's scheduler. Their state: ~/crontab, ~/timers, ~/systemctl.log,
    // ~/crontab.log; ~/no-user-manager makes systemctl a user manager that does not answer, and
    // removing crontab from this folder leaves no cron.
    QString schedulerFolder() const { return m_dir.filePath(QStringLiteral("scheduler")); }

    // Writes a file below the home folder, creating the folders on the way.
    void writeFile(const QString &relative, const QByteArray &content) const;
    // Writes a program (a script) that only the owner may read, change and run.
    void writeProgram(const QString &relative, const QByteArray &content) const;
    // Copies the files of the folder tests/data/<fixture> to <relative> below the home, with
    // every key of replacements in their content replaced by its value.
    void copyFixture(const QString &fixture, const QString &relative,
                     const QHash<QByteArray, QByteArray> &replacements = {}) const;

    // Sets (or with a null value unsets) an environment variable until the home goes away.
    void setEnv(const char *name, const QByteArray &value);

private:
    QTemporaryDir m_dir;
    QList<QPair<QByteArray, QByteArray>> m_saved; // name, previous value ("\0" prefix: was unset)
};

// A UTF-8 literal as a text: "Home"_qs.
inline QString operator""_qs(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

// The records of a log file, each with its tab-indented continuation lines joined by line breaks.
QStringList logRecords(const QString &path);

// The content of a file; empty when it cannot be read.
QByteArray readFile(const QString &path);

// The build tree's path of a deliverable or helper program.
QString buildPath(const QString &relative);

// Starts a program of the build tree with no input; its standard error is kept for finish(), or
// thrown away (so that a program stopped at a random moment is never held by a full pipe).
std::unique_ptr<QProcess> startProgram(const char *relative, const QStringList &arguments = {}, bool keepErrors = true);
// Waits for a started program to end, killing it after timeout milliseconds: its exit code, -1
// when it crashed or was killed; its standard error goes to errors.
int finish(QProcess &program, QString *errors = nullptr, int timeout = 180000);

#endif
