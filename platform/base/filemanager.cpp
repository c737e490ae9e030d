#include "filemanager.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool fail(int code, int *errorCode)
{
    if (errorCode) {
        *errorCode = code;
    }
    return false;
}

bool exists(const QByteArray &path)
{
    struct stat info
    {
    };
    return ::lstat(path.constData(), &info) == 0;
}
} // namespace

bool FileManager::removeItemAtPath(const QString &path, int *errorCode)
{
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty() || !exists(name)) {
        return fail(ENOENT, errorCode);
    }
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(name.toStdString()), error);
    if (error) {
        return fail(error.value(), errorCode);
    }
    return true;
}

bool FileManager::replaceItemAtPath(const QString &target, const QString &replacement, int *errorCode)
{
    const QByteArray to = QFile::encodeName(target);
    const QByteArray from = QFile::encodeName(replacement);
    if (!exists(to)) {
        return ::rename(from.constData(), to.constData()) == 0 || fail(errno, errorCode);
    }
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return fail(errno, errorCode);
    }
    // The file system cannot swap two names: the old item steps aside just before the new one
    // takes its place.
    const QByteArray aside = from + '~';
    if (::rename(to.constData(), aside.constData()) != 0) {
        return fail(errno, errorCode);
    }
    if (::rename(from.constData(), to.constData()) != 0) {
        const int code = errno;
        ::rename(aside.constData(), to.constData());
        return fail(code, errorCode);
    }
    ::rename(aside.constData(), from.constData()); // the new item is in place whatever this gives
    return true;
}
