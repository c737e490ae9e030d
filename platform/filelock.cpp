#include "filelock.h"

#include "regularfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

FileLock::FileLock(const QString &path)
{
    m_fd = RegularFile::open(path, O_RDWR | O_CREAT, 0600, &m_error);
    if (m_fd < 0) {
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
