#ifndef RUVELANT_PRIVATEFILE_H
#define RUVELANT_PRIVATEFILE_H

#include <QByteArray>
#include <QString>

// Files that only the user may read: account settings, the sync configuration, a password.
namespace PrivateFile {
// Atomically replaces the file at path with bytes (RegularFile::replace), mode 0600 from its
// first byte on; missing folders on the way are made with mode 0700. Returns false with a
// message in *error.
bool write(const QString &path, const QByteArray &bytes, QString *error);
// Removes the file at path; a missing file is no error. Returns false with a message in *error.
bool remove(const QString &path, QString *error);
} // namespace PrivateFile

#endif
