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
    }
}

QByteArray LogFollower::drain()
{
    QByteArray added;
    struct stat st;
    if (::fstat(m_fd, &st) == 0 && st.st_size < m_position) {
        // Cut short: what it holds now is new.
        m_position = 0;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::pread(m_fd, buffer, sizeof buffer, m_position);
        if (got <= 0) {
            break;
        }
        added.append(buffer, int(got));
        m_position += got;
    }
    return added;
}

QByteArray LogFollower::readAdded()
{
    if (m_fd < 0) {
        reopen();
        if (m_fd < 0) {
            return QByteArray();
        }
    }
    QByteArray added = drain();
    // Moved away (or removed) and made anew: the rest of the old file, then the new one.
    struct stat st;
    const bool replaced
        = ::stat(QFile::encodeName(m_path).constData(), &st) != 0 || st.st_dev != m_device || st.st_ino != m_inode;
    if (replaced) {
        added += drain();
        ::close(m_fd);
        m_fd = -1;
        reopen();
        if (m_fd >= 0) {
            added += drain();
        }
    }
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
        if (!added.isEmpty() && !RegularFile::writeAll(STDOUT_FILENO, added)) {
            return;
        }
        QThread::msleep(250);
    }
}
