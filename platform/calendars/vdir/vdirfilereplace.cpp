#include "vdirfilereplace.h"

#include "regularfile.h"
#include "vdircalendarstore.h"
#include "vdirparsedfile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vdir {
namespace {
QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A new, empty file beside target (".<name>.ruvelant-<random>.tmp", mode 0600), locked so that
// a later save can tell a left-over one and remove it. Its descriptor and in *temporary its path;
// -1 with errno set when none can be made.
int createLockedTemporary(const QFileInfo &target, QByteArray *temporary)
{
    const QByteArray folder = QFile::encodeName(target.absolutePath());
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        *temporary = folder + "/." + QFile::encodeName(target.fileName()) + ".ruvelant-"
            + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".tmp";
        fd = ::open(temporary->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
        struct stat made
        {
        };
        struct stat named
        {
        };
        // Locked, and still under its name (a cleaner of another process may have come between).
        if (fd >= 0
            && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &made) != 0
                || ::stat(temporary->constData(), &named) != 0 || made.st_ino != named.st_ino)) {
            ::close(fd);
            fd = -1;
        }
    }
    return fd;
}

// Writes bytes into the new file fd with the owner and mode of old, and flushes it to disk.
// What failed (errno tells why) or an empty text; *made is the new file's status.
QString writeLike(int fd, const QByteArray &bytes, const struct stat &old, struct stat *made)
{
    if (!RegularFile::writeAll(fd, bytes))
        return QStringLiteral("cannot write the new content");
    if (::fstat(fd, made) != 0)
        return QStringLiteral("cannot examine the new file");
    if ((made->st_uid != old.st_uid || made->st_gid != old.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return QStringLiteral("cannot keep the file's owner");
    if (::fchmod(fd, old.st_mode & 07777) != 0)
        return QStringLiteral("cannot keep the file's mode");
    if (::fsync(fd) != 0)
        return QStringLiteral("cannot flush the new content");
    return QString();
}

// How putInPlace() came out.
enum class Placing { Done, Changed, Failed };

// Puts the written file at temporary (its status made) in target's place, if target still holds
// the content whose fingerprint is expected. Where the file system can swap two names in one step
// (renameat2 with RENAME_EXCHANGE), the new file takes the old one's place that way and the
// content it replaced is checked afterwards: when it is not what was read, the swap is undone, so
// that the other program's write stays (Changed). Elsewhere the content is checked right before
// rename(2): a write in the microseconds between is lost. Failed: errno tells why, and *removed
// whether target was removed meanwhile. The temporary file is gone afterwards, but on Failed.
Placing putInPlace(const QByteArray &temporary, const QByteArray &targetPath, const struct stat &made,
                   const QByteArray &expected, bool *removed)
{
    const auto holdsExpected = [&](const QByteArray &path) {
        QByteArray content;
        QString why;
        return RegularFile::read(QFile::decodeName(path), VdirCalendarStore::maxFileSize, &content, &why)
            && fingerprintOf(content) == expected;
    };
    const auto isOurs = [&](const QByteArray &path) {
        struct stat named
        {
        };
        return ::stat(path.constData(), &named) == 0 && named.st_ino == made.st_ino && named.st_dev == made.st_dev;
    };
    if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, targetPath.constData(), RENAME_EXCHANGE) == 0) {
        // The temporary name now holds what the file held at the moment of the swap.
        if (!holdsExpected(temporary)) {
            // Their file back in its place, unless they replaced ours already (then theirs is there).
            if (isOurs(targetPath)
                && ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, targetPath.constData(), RENAME_EXCHANGE) == 0
                && !isOurs(temporary)) {
                // Written yet again in the microseconds between: the newest back in place.
                ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, targetPath.constData(), RENAME_EXCHANGE);
            }
            if (isOurs(temporary))
                ::unlink(temporary.constData());
            return Placing::Changed;
        }
        ::unlink(temporary.constData());
        return Placing::Done;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        *removed = errno == ENOENT;
        return Placing::Failed;
    }
    if (!holdsExpected(targetPath)) {
        ::unlink(temporary.constData());
        return Placing::Changed;
    }
    return ::rename(temporary.constData(), targetPath.constData()) == 0 ? Placing::Done : Placing::Failed;
}

// Flushes the folder's entries to disk, so that a new name in it survives a crash.
void flushFolder(const QByteArray &folder, const QString &target)
{
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0)
        qCWarning(lcCalendarStore, "%s: cannot flush the folder: %s", qPrintable(target), qPrintable(errnoText()));
    if (dir >= 0)
        ::close(dir);
}
} // namespace

bool isSaveTemporary(const char *name, std::size_t length)
{
    constexpr char tag[] = ".ruvelant-";
    return length > 4 && name[0] == '.' && std::memcmp(name + length - 4, ".tmp", 4) == 0
        && std::search(name, name + length, tag, tag + sizeof tag - 1) != name + length;
}

void removeLeftoverTemporaries(const QString &folder, const QList<QByteArray> &names)
{
    for (const QByteArray &name : names) {
        const QByteArray path = QFile::encodeName(folder) + '/' + name;
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st
        {
        };
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            qCInfo(lcCalendarStore, "%s: removing what an interrupted save left behind", path.constData());
            ::unlink(path.constData());
        }
        ::close(fd);
    }
}

bool replaceFile(const QString &target, const QByteArray &bytes, const QByteArray &expected, bool *changed,
                 QString *error)
{
    *changed = false;
    const QByteArray targetPath = QFile::encodeName(target);
    struct stat old
    {
    };
    if (::stat(targetPath.constData(), &old) != 0) {
        *error = errnoText();
        return false;
    }
    const QFileInfo info(target);
    QByteArray temporary;
    const int fd = createLockedTemporary(info, &temporary);
    if (fd < 0) {
        *error = QStringLiteral("cannot create a file in %1: %2").arg(info.absolutePath(), errnoText());
        return false;
    }
    struct stat made
    {
    };
    QString failed = writeLike(fd, bytes, old, &made);
    Placing placing = Placing::Failed;
    if (failed.isEmpty()) {
        placing = putInPlace(temporary, targetPath, made, expected, changed);
        if (placing == Placing::Failed)
            failed = QStringLiteral("cannot replace the file");
    }
    if (!failed.isEmpty()) {
        *error = failed + QStringLiteral(": ") + errnoText();
        ::unlink(temporary.constData());
        ::close(fd);
        return false;
    }
    ::close(fd); // the content is on disk (fsync above); this only releases the lock
    if (placing == Placing::Changed) {
        *changed = true;
        *error = QStringLiteral("another program wrote the file while it was saved");
        return false;
    }
    flushFolder(QFile::encodeName(info.absolutePath()), target);
    return true;
}
} // namespace vdir
