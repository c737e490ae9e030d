#include "preferencewatcher.h"

#include "watchedpaths.h"

#include <QDir>
#include <QFileInfo>

namespace {
// Long enough for a writer to finish a file it writes where it is, short enough to look at once.
constexpr int settleMilliseconds = 150;
} // namespace

PreferenceWatcher::PreferenceWatcher(const QString &filePath, QObject *parent) : QObject(parent), m_path(filePath)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(settleMilliseconds);
    connect(&m_settle, &QTimer::timeout, this, [this] {
        watch(); // a replaced file is a new one to watch
        Q_EMIT changed();
    });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_settle, qOverload<>(&QTimer::start));
    watch();
}

void PreferenceWatcher::watch()
{
    // Until the folder exists, its nearest existing ancestor tells when it appears.
    QString folder = QFileInfo(m_path).absolutePath();
    while (!QFileInfo(folder).isDir() && folder != QDir::rootPath()) {
        folder = QFileInfo(folder).absolutePath();
    }
    watchExactly(&m_watcher, {folder});
    // Watched afresh each time: a file put in its place is another file than the one watched.
    if (QFileInfo(m_path).isFile()) {
        m_watcher.addPath(m_path);
    }
}
