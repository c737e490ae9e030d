#ifndef RUVELANT_VDIRFILEREPLACE_H
#define RUVELANT_VDIRFILEREPLACE_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>

// The atomic replacement of an event file by its edited content, and the clean-up of what
// interrupted replacements leave behind.
namespace vdir {
// The temporary files of saves are named ".<file>.ruvelant-<random>.tmp" and locked (flock) by
// the save that writes them, for as long as it runs.
bool isSaveTemporary(const char *name, std::size_t length);
// Removes, of the named files in folder, the temporary files that saves left behind when they
// were interrupted (a crash, a kill): those that no running save holds locked.
void removeLeftoverTemporaries(const QString &folder, const QList<QByteArray> &names);

// Replaces the file at target with bytes, if it still holds the content whose fingerprint is
// expected: a new file in the same folder, with the old file's mode and owner, flushed to disk,
// put in the old one's place (see putInPlace); then the folder is flushed. The new file is locked
// while it is written, so that a later save can tell a left-over one and remove it. *changed is
// set when another program wrote or removed the file meanwhile.
bool replaceFile(const QString &target, const QByteArray &bytes, const QByteArray &expected, bool *changed,
                 QString *error);
} // namespace vdir

#endif
