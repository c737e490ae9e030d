#include "accountlistmodel.h"

#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

namespace {
// The folders of the two files (their files are replaced, not changed in place), or while one is
// missing the nearest folder above it that is there, to see it come.
QStringList watchedFolders()
{
    QStringList folders;
    for (const QString &file : {CalDavAccounts::path(), SyncStatus::path()}) {
        QString folder = QFileInfo(file).absolutePath();
        while (!QFileInfo(folder).isDir() && folder != QDir::rootPath()) {
            folder = QFileInfo(folder).absolutePath();
        }
        folders.append(folder);
    }
    return folders;
}
} // namespace

AccountListModel::AccountListModel(QObject *parent) : QAbstractTableModel(parent)
{
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &AccountListModel::reload);
    m_poll.setInterval(2000);
    connect(&m_poll, &QTimer::timeout, this, &AccountListModel::reload);
    reload();
}

void AccountListModel::setTexts(const QHash<QString, QString> &texts)
{
    beginResetModel();
    m_texts = texts;
    endResetModel();
}

void AccountListModel::reload()
{
    QList<CalDavAccount> accounts;
    QString error;
    CalDavAccounts::load(&accounts, &error);
    beginResetModel();
    m_accounts = accounts;
    m_error = error;
    const QStringList watched = m_watcher.directories();
    const QStringList wanted = watchedFolders();
    for (const QString &folder : watched) {
        if (!wanted.contains(folder)) {
            m_watcher.removePath(folder);
        }
    }
    for (const QString &folder : wanted) {
        if (!watched.contains(folder)) {
            m_watcher.addPath(folder);
        }
    }
    m_outcomes = SyncStatus::load();
    endResetModel();
    if (isSyncing()) {
        m_poll.start();
    } else {
        m_poll.stop();
    }
}

int AccountListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_accounts.size();
}

int AccountListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

SyncOutcome AccountListModel::outcome(int row) const
{
    return row >= 0 && row < m_accounts.size() ? m_outcomes.value(m_accounts.at(row).id) : SyncOutcome();
}

bool AccountListModel::isSyncing() const
{
    for (const CalDavAccount &account : m_accounts) {
        if (m_outcomes.value(account.id).isRunning()) {
            return true;
        }
    }
    return false;
}

QString AccountListModel::outcomeText(int row, bool withDetail) const
{
    const SyncOutcome last = outcome(row);
    if (last.isRunning()) {
        return text(QStringLiteral("SyncRunning"));
    }
    if (!last.finished.isValid()) {
        return text(QStringLiteral("SyncNever"));
    }
    if (last.failure == CalDavFailure::None) {
        return text(QStringLiteral("SyncSucceeded"));
    }
    const QString words = text(QStringLiteral("CalDavFailure") + calDavFailureName(last.failure));
    return withDetail && !last.detail.isEmpty() ? words + QStringLiteral("\n\n") + last.detail : words;
}

QVariant AccountListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_accounts.size()) {
        return QVariant();
    }
    const CalDavAccount &account = m_accounts.at(index.row());
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case AccountColumn:
            return account.title();
        case CalendarsColumn: {
            QStringList names;
            for (const CalDavCalendar &calendar : account.calendars) {
                names.append(calendar.displayName.isEmpty() ? calendar.collection : calendar.displayName);
            }
            return names.join(QStringLiteral(", "));
        }
        case TimeColumn: {
            const SyncOutcome last = outcome(index.row());
            return last.finished.isValid() ? QLocale().toString(last.finished.toLocalTime(), QLocale::ShortFormat)
                                           : QString();
        }
        case OutcomeColumn:
            return outcomeText(index.row(), false);
        }
    }
    if (role == Qt::ToolTipRole) {
        if (index.column() == OutcomeColumn) {
            return outcomeText(index.row(), true);
        }
        if (index.column() == AccountColumn) {
            return account.url;
        }
        return data(index, Qt::DisplayRole);
    }
    if (role == Qt::ForegroundRole && index.column() == OutcomeColumn) {
        const SyncOutcome last = outcome(index.row());
        if (!last.isRunning() && last.finished.isValid() && last.failure != CalDavFailure::None) {
            return QColor(Qt::red).darker(130);
        }
    }
    return QVariant();
}

QVariant AccountListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QVariant();
    }
    static const char *const keys[]
        = {"AccountsColumnAccount", "AccountsColumnCalendars", "AccountsColumnTime", "AccountsColumnOutcome"};
    return section >= 0 && section < ColumnCount ? text(QLatin1String(keys[section])) : QVariant();
}
