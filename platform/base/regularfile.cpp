#include "regularfile.h"

#include <QFile>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QString RegularFile::refusal(mode_t mode)
{
    if (S_ISREG(mode))
        return QString();
    if (S_ISLNK(mode))
        return QStringLiteral("it is a symbolic link");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a FIFO, not a regular file");
    if (S_ISSOCK(mode))
        return QStringLiteral("it is a socket, not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("it is a device, not a regular file");
    if (S_ISDIR(mode))
        return QStringLiteral("it is a folder, not a regular file");
    return QStringLiteral("it is not a regular file");
}

int RegularFile::open(const QString &path, int flags, mode_t mode, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    const bool follow = !(flags & O_NOFOLLOW);
    struct stat st
    {
    };
    // Looked at first, so that a device is never opened at all (opening some has effects).
    if ((follow ? ::stat(native.constData(), &st) : ::lstat(native.constData(), &st)) == 0) {
        if (!refusal(st.st_mode).isEmpty()) {
            *error = refusal(st.st_mode);
            return -1;
        }
    } else if (errno != ENOENT || !(flags & O_CREAT)) {
        *error = errnoText();
        return -1;
    }
    // O_NONBLOCK: a FIFO swapped in since is opened at once (or refused when written to without
    // a reader) instead of waiting for the other end.
    int fd;
    while ((fd = ::open(native.constData(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode)) < 0 && errno == EINTR) { }
    if (fd < 0) {
        // A symbolic link put in place since it was looked at.
        *error = !follow && errno == ELOOP ? refusal(S_IFLNK) : errnoText();
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !refusal(st.st_mode).isEmpty()) {
        *error = refusal(st.st_mode);
        if (error->isEmpty())
            *error = errnoText();
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int RegularFile::openOwn(const QString &path, int flags, mode_t mode, QString *error, QString *notice)
{
    int fd = open(path, flags | O_NOFOLLOW, mode, error);
    const QByteArray native = QFile::encodeName(path);
    struct stat st
    {
    };
    if (fd >= 0 || !(flags & O_CREAT) || ::lstat(native.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return fd;
    // Written through, the link would turn the program's own writes against the file it names.
    QByteArray target(4096, '\0');
    const ssize_t length = ::readlink(native.constData(), target.data(), size_t(target.size()));
    target.resize(int(std::max<ssize_t>(length, 0)));
    if (::unlink(native.constData()) != 0) {
        *error = QStringLiteral("it is a symbolic link that cannot be removed (%1)").arg(errnoText());
        return -1;
    }
    fd = open(path, flags | O_NOFOLLOW | O_EXCL, mode, error);
    if (fd >= 0 && notice) {
        *notice = QStringLiteral("%1 was a symbolic link to %2; it is now a file of its own, and %2 is left as it was")
                      .arg(path, QFile::decodeName(target));
    }
    return fd;
}

bool RegularFile::read(const QString &path, qint64 maxSize, QByteArray *bytes, QString *error)
{
    const int fd = open(path, O_RDONLY, 0, error);
    if (fd < 0)
        return false;
    const bool ok = readAll(fd, maxSize, bytes, error);
    ::close(fd);
    return ok;
}

bool RegularFile::readAll(int fd, qint64 maxSize, QByteArray *bytes, QString *error)
{
    struct stat st
    {
    };
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        *error = errnoText();
    } else if (st.st_size > maxSize) {
        *error = QStringLiteral("%1 bytes, more than the %2 read of such a file").arg(st.st_size).arg(maxSize);
        ok = false;
    }
    QByteArray data;
    // The size may change while the file is read (or be 0 for generated files): at most one
    // byte more than allowed is read, to tell that it is too large.
    while (ok) {
        const qint64 chunk = std::min<qint64>(maxSize + 1 - data.size(), 1 << 16);
        if (chunk <= 0) {
            *error = QStringLiteral("more than the %1 bytes read of such a file").arg(maxSize);
            ok = false;
            break;
        }
        const int old = data.size();
        data.resize(old + int(chunk));
        const ssize_t n = ::read(fd, data.data() + old, size_t(chunk));
        if (n < 0 && errno == EINTR) {
            data.resize(old);
            continue;
        }
        if (n < 0) {
            *error = errnoText();
            ok = false;
            break;
        }
        data.resize(old + int(n));
        if (n == 0)
            break;
    }
    if (ok)
        *bytes = data;
    return ok;
}

bool RegularFile::replace(const QString &path, const QByteArray &data, mode_t mode, QString *error)
{
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    if (!file.open() || file.write(data) != data.size() || !file.flush() || ::fsync(file.handle()) != 0
        || ::fchmod(file.handle(), mode) != 0) {
        *error = file.errorString();
        return false;
    }
    // rename(2) replaces the name itself: a symbolic link there goes, its target stays untouched.
    if (::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
        *error = errnoText();
        return false;
    }
    file.setAutoRemove(false);
    return true;
}

namespace {
// The process's file mode mask, read without setting it: umask(2) would change it for a moment
// for every thread, and files that others create meanwhile would be open to all.
mode_t currentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            bool ok = false;
            const uint mask = line.startsWith("Umask:") ? line.mid(6).trimmed().toUInt(&ok, 8) : 0;
            if (ok)
                return mode_t(mask);
        }
    }
    return 022;
}
} // namespace

bool RegularFile::replaceKeepingMode(const QString &path, const QByteArray &data, QString *error)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        return replace(path, data, st.st_mode & 07777, error);
    }
    return replace(path, data, 0666 & ~currentUmask(), error);
}

bool RegularFile::writeAll(int fd, const QByteArray &data)
{
    for (qint64 done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}
