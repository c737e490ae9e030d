// The store's watch on its folders, which tells when calendars come, go or are renamed.
#include "vdircalendarstore.h"

#include "watchedpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMetaMethod>
#include <QTimer>

void VdirCalendarStore::connectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&CalendarStore::calendarsChangedExternally))
        startWatching();
}

void VdirCalendarStore::startWatching()
{
    if (m_watcher || m_stopped)
        return;
    m_known = scanCalendars();
    m_watcher = new QFileSystemWatcher(this);
    m_rescanTimer = new QTimer(this);
    m_rescanTimer->setSingleShot(true);
    m_rescanTimer->setInterval(100); // a burst of changes is looked at once
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_rescanTimer, qOverload<>(&QTimer::start));
    connect(m_watcher, &QFileSystemWatcher::fileChanged, m_rescanTimer, qOverload<>(&QTimer::start));
    connect(m_rescanTimer, &QTimer::timeout, this, &VdirCalendarStore::rescan);
    updateWatchedPaths();
}

void VdirCalendarStore::stopWatching()
{
    m_stopped = true;
    delete m_watcher;
    m_watcher = nullptr;
    delete m_rescanTimer;
    m_rescanTimer = nullptr;
}

void VdirCalendarStore::updateWatchedPaths()
{
    QStringList wanted;
    if (QFileInfo(m_root).isDir()) {
        wanted.append(m_root);
        for (auto it = m_known.cbegin(); it != m_known.cend(); ++it) {
            const QString folder = m_root + QLatin1Char('/') + it.key();
            wanted.append(folder);
            if (QFileInfo::exists(folder + QStringLiteral("/displayname")))
                wanted.append(folder + QStringLiteral("/displayname"));
        }
    } else {
        // Until the root exists, its nearest existing ancestor tells when it appears.
        QString ancestor = m_root;
        while (!QFileInfo(ancestor).isDir() && ancestor != QDir::rootPath())
            ancestor = QFileInfo(ancestor).absolutePath();
        wanted.append(ancestor);
    }
    watchExactly(m_watcher, wanted);
}

void VdirCalendarStore::rescan()
{
    if (!m_watcher)
        return;
    const QMap<QString, QString> now = scanCalendars();
    QStringList inserted, deleted, updated;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const auto before = m_known.constFind(it.key());
        if (before == m_known.cend())
            inserted.append(it.key());
        else if (before.value() != it.value())
            updated.append(it.key());
    }
    for (auto it = m_known.cbegin(); it != m_known.cend(); ++it) {
        if (!now.contains(it.key()))
            deleted.append(it.key());
    }
    m_known = now;
    updateWatchedPaths();
    // One notification per calendar: a listener may act on the first identifier of a list alone,
    // and calendars often come and go together (a sync tool adding an account's calendars).
    const QPair<QString, QStringList> changes[]
        = {{CalDeletedRecordsKey, deleted}, {CalInsertedRecordsKey, inserted}, {CalUpdatedRecordsKey, updated}};
    for (const auto &change : changes) {
        for (const QString &uid : change.second)
            Q_EMIT calendarsChangedExternally(QVariantMap {{change.first, QStringList {uid}}});
    }
}
