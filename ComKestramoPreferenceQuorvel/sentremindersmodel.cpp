#include "sentremindersmodel.h"

#include "bundle.h"
#include "dateformatter.h"
#include "watchedpaths.h"

#include <QApplication>
#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QStyle>
#include <QTimer>

SentRemindersModel::SentRemindersModel(const QString &logsFolder, const QString &agentName, const Bundle *bundle,
                                       QObject *parent)
    : QAbstractTableModel(parent)
    , m_logsFolder(logsFolder)
    , m_agentName(agentName)
    , m_bundle(bundle)
    , m_watcher(new QFileSystemWatcher(this))
    , m_reloadTimer(new QTimer(this))
{
    m_reloadTimer->setSingleShot(true);
    m_reloadTimer->setInterval(300); // a run writes many records at once
    connect(m_reloadTimer, &QTimer::timeout, this, &SentRemindersModel::reload);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_reloadTimer, qOverload<>(&QTimer::start));
    connect(m_watcher, &QFileSystemWatcher::fileChanged, m_reloadTimer, qOverload<>(&QTimer::start));
    reload();
}

void SentRemindersModel::watch()
{
    // The folder tells of a new or rotated file; the file of records added to it.
    QStringList wanted;
    QString folder = m_logsFolder;
    while (!QFileInfo(folder).isDir() && folder != QDir::rootPath()) {
        folder = QFileInfo(folder).absolutePath(); // until the folder exists, its nearest ancestor
    }
    wanted << folder;
    const QString current = QStringLiteral("%1/%2.log").arg(m_logsFolder, m_agentName);
    if (QFileInfo(current).isFile()) {
        wanted << current;
    }
    watchExactly(m_watcher, wanted);
}

void SentRemindersModel::reload()
{
    beginResetModel();
    m_reminders = SentReminders::read(m_logsFolder, m_agentName, QDate::currentDate());
    endResetModel();
    watch();
}

int SentRemindersModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_reminders.size();
}

int SentRemindersModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 4;
}

QString SentRemindersModel::text(const char *key) const
{
    return m_bundle->localizedStringForKey(QLatin1String(key));
}

QVariant SentRemindersModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid)) {
        return QVariant();
    }
    const SentReminder &reminder = m_reminders.at(index.row());
    const bool notSent = reminder.outcome == SentReminder::Failed || reminder.outcome == SentReminder::NoAddress;
    if (role == Qt::ForegroundRole) {
        // Not sent stands out from sent, in every column: red for a failure, amber for no address.
        return notSent ? QVariant(QColor(reminder.outcome == SentReminder::Failed ? 0xb00020 : 0x9a5b00)) : QVariant();
    }
    if (role == Qt::DecorationRole && index.column() == 3) {
        static const QStyle::StandardPixmap icons[] = {QStyle::SP_DialogApplyButton, QStyle::SP_MessageBoxCritical,
                                                       QStyle::SP_MessageBoxWarning, QStyle::SP_BrowserReload};
        return QApplication::style()->standardIcon(icons[reminder.outcome]);
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
        return QVariant();
    }
    switch (index.column()) {
    case 0:
        return DateFormatter(DateFormatter::ShortStyle, DateFormatter::ShortStyle).stringFromDate(reminder.time);
    case 1:
        return reminder.event;
    case 2:
        return reminder.address;
    default:
        break;
    }
    if (role == Qt::ToolTipRole && !reminder.logLine.isEmpty()) {
        return reminder.logLine; // the agent's own words, as its log holds them
    }
    switch (reminder.outcome) {
    case SentReminder::Sent:
        return text("SentOutcomeSent");
    case SentReminder::NoAddress:
        return text("SentOutcomeNoAddress");
    case SentReminder::Sending:
        return text("SentOutcomeSending");
    case SentReminder::Failed:
        break;
    }
    return text("SentOutcomeFailed")
        .arg(HandOverFailure::fromDetail(reminder.detail, reminder.address).plainWords(*m_bundle));
}

QVariant SentRemindersModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section > 3) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    static const char *const keys[] = {"SentColumnTime", "SentColumnEvent", "SentColumnAddress", "SentColumnOutcome"};
    return text(keys[section]);
}
