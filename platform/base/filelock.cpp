#include "filelock.h"

#include "regularfile.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

FileLock::FileLock(const QString &path, std::chrono::milliseconds wait)
{
    m_fd = RegularFile::openOwn(path, O_RDWR | O_CREAT, 0600, &m_error, &m_notice);
    if (m_fd < 0) {
        return;
    }
    const QDeadlineTimer deadline
        = wait < std::chrono::milliseconds::zero() ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(wait);
    int code = 0;
    for (;;) {
        code = ::flock(m_fd, deadline.isForever() ? LOCK_EX : LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
        if (code == 0 || (code != EINTR && code != EWOULDBLOCK) || deadline.hasExpired()) {
            break;
        }
        if (code == EWOULDBLOCK) {
            QThread::msleep(20);
        }
    }
    m_locked = code == 0;
    m_timedOut = code == EWOULDBLOCK;
    if (!m_locked) {
        m_error = code == EWOULDBLOCK
            ? QStringLiteral("another process has held it for %1 seconds").arg(double(wait.count()) / 1000)
            : QString::fromLocal8Bit(std::strerror(code));
    }
}

FileLock::~FileLock()
{
    if (m_fd >= 0) {
        ::close(m_fd); // releases the lock
    }
}
