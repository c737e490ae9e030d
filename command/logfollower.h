#ifndef RUVELANT_LOGFOLLOWER_H
#define RUVELANT_LOGFOLLOWER_H

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// Follows a log file as "tail -F" does: what is added to it, and, when the file is moved away
// and made anew (the agent's log rotates past 256000 bytes) or cut short, the new content from
// its start. The file may not be there yet. Its memory is bounded whatever the file holds: each
// read returns at most readSize bytes, and a file larger than any log (maxSize) is followed from
// its end.
class LogFollower
{
public:
    // The most of one file that is printed: the agent rotates its log once past 256000 bytes, so a
    // larger file in its place is no log of the agent's.
    static constexpr qint64 maxSize = 256 * 1024 * 1024;
    // The most that one readAdded() returns.
    static constexpr int readSize = 1024 * 1024;

    explicit LogFollower(const QString &path);
    ~LogFollower();
    LogFollower(const LogFollower &) = delete;
    LogFollower &operator=(const LogFollower &) = delete;

    // What was added since the last call (all of it at the first), and what a file that took
    // the old one's place holds; at most readSize bytes, the rest at the next calls.
    QByteArray readAdded();
    // Whether the last readAdded() left more to read at once.
    bool hasMore() const { return m_more; }
    // Why the file that is there cannot be read; empty when it can, or is not there.
    QString error() const { return m_error; }
    // What the last readAdded() passed over (a file larger than maxSize, followed from its
    // end); empty when nothing.
    QString notice() const { return m_notice; }
    // Follows for ever, writing what is added to standard output (and why the file cannot be
    // read, once each time that changes, and what was passed over, to standard error); returns
    // when standard output cannot be written any more.
    void follow();

private:
    void reopen();
    QByteArray readUpTo(int budget);
    bool replaced() const;

    QString m_path;
    QString m_error;
    QString m_notice;
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    off_t m_position = 0;
    bool m_more = false;
};

#endif
