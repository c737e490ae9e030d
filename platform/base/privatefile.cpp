#include "privatefile.h"

#include "regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool PrivateFile::write(const QString &path, const QByteArray &bytes, QString *error)
{
    const auto fail = [error](const QString &message) {
        if (error) {
            *error = message;
        }
        return false;
    };
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            return fail(QStringLiteral("cannot make the folder %1").arg(folder));
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // The new file is private from its first byte; a symbolic link in its place is replaced.
    QString why;
    if (!RegularFile::replace(path, bytes, 0600, &why)) {
        return fail(QStringLiteral("cannot write %1: %2").arg(path, why));
    }
    return true;
}

bool PrivateFile::remove(const QString &path, QString *error)
{
    QFile file(path);
    if (QFileInfo(path).exists() || QFileInfo(path).isSymLink()) {
        if (!file.remove()) {
            if (error) {
                *error = QStringLiteral("cannot remove %1: %2").arg(path, file.errorString());
            }
            return false;
        }
    }
    return true;
}
