#include "privatefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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
    QSaveFile file(path);
    // The temporary file is made private before anything is written into it.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || file.write(bytes) != bytes.size() || !file.commit()) {
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
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
