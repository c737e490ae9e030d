#ifndef RUVELANT_WATCHEDPATHS_H
#define RUVELANT_WATCHEDPATHS_H

#include <QStringList>

class QFileSystemWatcher;

// Makes watcher watch exactly these files and folders: the others it watched are let go, the
// missing ones added; those it keeps watching are not touched, so no change to them is missed.
void watchExactly(QFileSystemWatcher *watcher, const QStringList &paths);

#endif
