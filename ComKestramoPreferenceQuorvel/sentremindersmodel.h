#ifndef RUVELANT_SENTREMINDERSMODEL_H
#define RUVELANT_SENTREMINDERSMODEL_H

#include "sentreminders.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QList>
#include <QString>

class Bundle;
class QFileSystemWatcher;
class QTimer;

// The pane's table of sent reminders (time, event, address, outcome), following the log files.
class SentRemindersModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    // bundle gives the texts: column titles, outcomes, reasons in plain words.
    SentRemindersModel(const QString &logsFolder, const QString &agentName, const Bundle *bundle,
                       QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // A failed row shows its icon and colour, and the reason in plain words, with the log's own
    // line as its tooltip.
    const QList<SentReminder> &reminders() const { return m_reminders; }

public Q_SLOTS:
    // Reads the log files again.
    void reload();

private:
    void watch();

    QString m_logsFolder;
    QString m_agentName;
    QList<SentReminder> m_reminders;
    QString text(const char *key) const;

    const Bundle *m_bundle;
    QFileSystemWatcher *m_watcher;
    QTimer *m_reloadTimer;
};

#endif
