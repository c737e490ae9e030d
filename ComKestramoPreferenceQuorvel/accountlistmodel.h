#ifndef RUVELANT_ACCOUNTLISTMODEL_H
#define RUVELANT_ACCOUNTLISTMODEL_H

#include "caldavaccounts.h"
#include "syncstatus.h"

#include <QAbstractTableModel>
#include <QFileSystemWatcher>
#include <QHash>
#include <QTimer>

// The CalDAV accounts with their last sync: account, calendars, time and outcome, one row each.
// Follows the accounts' file and the sync program's status file as they change.
class AccountListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { AccountColumn, CalendarsColumn, TimeColumn, OutcomeColumn, ColumnCount };

    explicit AccountListModel(QObject *parent = nullptr);

    // The texts to show, by strings-table key: the column titles ("AccountsColumn..."), the
    // outcomes ("SyncNever", "SyncRunning", "SyncSucceeded") and the failures ("CalDavFailure...").
    void setTexts(const QHash<QString, QString> &texts);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const QList<CalDavAccount> &accounts() const { return m_accounts; }
    SyncOutcome outcome(int row) const;
    // The outcome of the account of row in words, with the sync program's own words after a failure.
    QString outcomeText(int row, bool withDetail) const;
    // Whether an account is being synced now.
    bool isSyncing() const;
    // Why the accounts could not be read; empty when they could.
    QString errorString() const { return m_error; }

public Q_SLOTS:
    // Reads the accounts and their outcomes again.
    void reload();

private:
    QString text(const QString &key) const { return m_texts.value(key, key); }

    QList<CalDavAccount> m_accounts;
    QString m_error;
    QHash<QString, SyncOutcome> m_outcomes;
    QHash<QString, QString> m_texts;
    QFileSystemWatcher m_watcher;
    QTimer m_poll; // while a sync runs: it may end without a last word (killed)
};

#endif
