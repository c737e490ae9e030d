#ifndef RUVELANT_REGULARFILE_H
#define RUVELANT_REGULARFILE_H

#include <QByteArray>
#include <QString>

#include <sys/stat.h>
#include <sys/types.h>

// Opening files that other people and programs put in place (synced invitations, cards, the
// settings): only regular files are opened, and opening never blocks. A FIFO, device, socket or
// folder (also behind a symbolic link) is refused before it is opened, and one swapped in at the
// last moment is refused right after, without waiting for a writer.
namespace RegularFile {
// Opens path with flags (O_RDONLY, O_WRONLY | O_APPEND | O_CREAT, ...; O_CLOEXEC is added) and
// mode for a file it creates. With O_NOFOLLOW a symbolic link at path is refused ("it is a
// symbolic link"). Returns a blocking descriptor that the caller closes, or -1 with the reason
// in *error.
int open(const QString &path, int flags, mode_t mode, QString *error);
// Opens one of the program's own files (its journal, log, locks) as open() does, never through
// a symbolic link. With O_CREAT, a symbolic link found in the file's place is removed, what it
// points to left as it is, and a new file made; *notice (when given) then says so.
int openOwn(const QString &path, int flags, mode_t mode, QString *error, QString *notice = nullptr);
// The whole content of the regular file at path, when it holds at most maxSize bytes. Returns
// false with the reason in *error when it is missing, not a regular file, larger or unreadable.
bool read(const QString &path, qint64 maxSize, QByteArray *bytes, QString *error);
// The content of the open file fd from its current offset, as read() gives it.
bool readAll(int fd, qint64 maxSize, QByteArray *bytes, QString *error);
// Puts a new file with data (mode for its permissions) in the place of path in one step, so that
// path names either the old or the new content at every moment, even after a crash. A symbolic
// link at path is itself replaced, never its target (which QSaveFile would write).
// This is the one way the programs write a whole file; the new file has mode from its first byte.
bool replace(const QString &path, const QByteArray &data, mode_t mode, QString *error);
// As replace(), with the permissions of the file it replaces (a new file: 0666 less the umask),
// for files that people may have opened up or closed down themselves.
bool replaceKeepingMode(const QString &path, const QByteArray &data, QString *error);
// Why a file of this mode (st_mode) is not opened ("it is a FIFO, not a regular file"); empty
// for a regular file.
QString refusal(mode_t mode);
// Writes all of data to fd, going on after interruptions and short writes; false when a write
// fails (errno tells why).
bool writeAll(int fd, const QByteArray &data);
} // namespace RegularFile

#endif
