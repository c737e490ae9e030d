#include "logfollower.h"

#include "commandline.h"
#include "regularfile.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

LogFollower::LogFollower(const QString &path) : m_path(path) { }

LogFollower::~LogFollower()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void LogFollower::reopen()
{
    QString error;
    m_fd = RegularFile::open(m_path, O_RDONLY, 0, &error);
    m_error = m_fd < 0 && QFileInfo::exists(m_path) ? error : QString();
    struct stat st;
    if (m_fd >= 0 && ::fstat(m_fd, &st) == 0) {
        m_device = st.st_dev;
        m_inode = st.st_ino;
        m_position = 0;
        if (st.st_size > maxSize) {
            // No log of the agent's: what it holds is not printed, only what is added from now.
            m_position = st.st_size;
            m_notice = QStringLiteral("%1 holds %2 bytes, more than any log of the agent; only what is added to it "
                                      "from now is printed")
                           .arg(m_path)
                           .arg(st.st_size);
        }
    }
}

QByteArray LogFollower::readUpTo(int budget)
{
    struct stat st;
    if (::fstat(m_fd, &st) == 0 && st.st_size < m_position) {
        // Cut short: what it holds now is new.
        m_position = 0;
    }
    QByteArray added(budget, Qt::Uninitialized);
    int got = 0;
    while (got < budget) {
        const ssize_t n = ::pread(m_fd, added.data() + got, size_t(budget - got), m_position);
        if (n <= 0) {
            break;
        }
        got += int(n);
        m_position += n;
    }
    added.truncate(got);
    return added;
}

bool LogFollower::replaced() const
{
    struct stat st;
    return ::stat(QFile::encodeName(m_path).constData(), &st) != 0 || st.st_dev != m_device || st.st_ino != m_inode;
}

QByteArray LogFollower::readAdded()
{
    m_notice.clear();
    m_more = false;
    if (m_fd < 0) {
        reopen();
        if (m_fd < 0) {
            return QByteArray();
        }
    }
    QByteArray added = readUpTo(readSize);
    // Moved away (or removed) and made anew, once this file is read to its end: the rest of the
    // old file, then the new one.
    if (added.size() < readSize && replaced()) {
        added += readUpTo(readSize - added.size());
        if (added.size() < readSize) {
            ::close(m_fd);
            m_fd = -1;
            reopen();
            if (m_fd >= 0) {
                added += readUpTo(readSize - added.size());
            }
        }
    }
    m_more = added.size() == readSize;
    return added;
}

void LogFollower::follow()
{
    QString told;
    for (;;) {
        const QByteArray added = readAdded();
        if (m_error != told) {
            told = m_error;
            if (!told.isEmpty()) {
                Output::fail(QStringLiteral("cannot read the log: %1").arg(told));
            }
        }
        if (!m_notice.isEmpty()) {
            Output::note(m_notice);
        }
        if (!added.isEmpty() && !RegularFile::writeAll(STDOUT_FILENO, added)) {
            return;
        }
        if (!m_more) {
            QThread::msleep(250);
        }
    }
}
