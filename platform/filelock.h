#ifndef RUVELANT_FILELOCK_H
#define RUVELANT_FILELOCK_H

#include <QString>

// An exclusive advisory lock (flock) on the file at path, created 0600 when missing, held for
// the lock's lifetime. Waits while another process holds it.
class FileLock
{
public:
    explicit FileLock(const QString &path);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    bool isLocked() const { return m_locked; }
    // Why the lock could not be taken; empty when it was.
    QString errorString() const { return m_error; }

private:
    int m_fd = -1;
    bool m_locked = false;
    QString m_error;
};

#endif
