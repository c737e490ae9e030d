#ifndef RUVELANT_FILEMANAGER_H
#define RUVELANT_FILEMANAGER_H

#include <QString>

// File operations that report failure with the system's error number, for the log lines that
// name it. A symbolic link is always taken as itself, never as what it points to.
namespace FileManager {
// Removes the item at path with everything in it. Returns false with the error number of the
// first failure in *errorCode (ENOENT when nothing is there); what could be removed before it is
// gone.
bool removeItemAtPath(const QString &path, int *errorCode = nullptr);

// Puts the item at replacement in the place of the item at target, in one step where the file
// system allows it, so that target names either the old or the new item at every moment. The
// old item, when there was one, is afterwards at replacement (or, where the file system cannot
// swap two names, at replacement followed by "~"), for the caller to remove. Both paths must
// lie on one file system. Returns false with the error number in *errorCode.
bool replaceItemAtPath(const QString &target, const QString &replacement, int *errorCode = nullptr);
} // namespace FileManager

#endif
