#ifndef RUVELANT_FILELOCK_H
#define RUVELANT_FILELOCK_H

#include <QString>

#include <chrono>

// An exclusive advisory lock (flock) on the file at path, created 0600 when missing (never
// through a symbolic link: one in its place is replaced), held for the lock's lifetime. Waits
// while another process holds it, at most for the given time.
class FileLock
{
public:
    static constexpr std::chrono::milliseconds Forever {-1};

    explicit FileLock(const QString &path, std::chrono::milliseconds wait = Forever);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    bool isLocked() const { return m_locked; }
    // Whether another process still held it when the wait ended.
    bool timedOut() const { return m_timedOut; }
    // Why the lock could not be taken; empty when it was.
    QString errorString() const { return m_error; }
    // What had to be set right to take it (a symbolic link in the file's place); empty when nothing.
    QString notice() const { return m_notice; }

private:
    int m_fd = -1;
    bool m_locked = false;
    bool m_timedOut = false;
    QString m_error;
    QString m_notice;
};

#endif
