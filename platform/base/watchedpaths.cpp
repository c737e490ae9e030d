#include "watchedpaths.h"

#include <QFileSystemWatcher>

void watchExactly(QFileSystemWatcher *watcher, const QStringList &paths)
{
    const QStringList watched = watcher->directories() + watcher->files();
    QStringList stale;
    for (const QString &path : watched) {
        if (!paths.contains(path)) {
            stale.append(path);
        }
    }
    if (!stale.isEmpty()) {
        watcher->removePaths(stale);
    }
    QStringList missing;
    for (const QString &path : paths) {
        if (!watched.contains(path)) {
            missing.append(path);
        }
    }
    if (!missing.isEmpty()) {
        watcher->addPaths(missing);
    }
}
