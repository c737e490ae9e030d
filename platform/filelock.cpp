#include "filelock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

FileLock::FileLock(const QString &path)
{
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    int result;
    while ((result = ::flock(m_fd, LOCK_EX)) != 0 && errno == EINTR) { }
    m_locked = result == 0;
    if (!m_locked) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
    }
}

FileLock::~FileLock()
{
    if (m_fd >= 0) {
        ::close(m_fd); // releases the lock
    }
}
