#ifndef RUVELANT_LOGFOLLOWER_H
#define RUVELANT_LOGFOLLOWER_H

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// Follows a log file as "tail -F" does: what is added to it, and, when the file is moved away
// and made anew (the agent's log rotates past 256000 bytes) or cut short, the new content from
// its start. The file may not be there yet.
class LogFollower
{
public:
    explicit LogFollower(const QString &path);
    ~LogFollower();
    LogFollower(const LogFollower &) = delete;
    LogFollower &operator=(const LogFollower &) = delete;

    // What was added since the last call (all of it at the first), and what a file that took
    // the old one's place holds.
    QByteArray readAdded();
    // Why the file that is there cannot be read; empty when it can, or is not there.
    QString error() const { return m_error; }
    // Follows for ever, writing what is added to standard output (and why the file cannot be
    // read, once each time that changes, to standard error); returns when standard output
    // cannot be written any more.
    void follow();

private:
    void reopen();
    QByteArray drain();

    QString m_path;
    QString m_error;
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    off_t m_position = 0;
};

#endif
