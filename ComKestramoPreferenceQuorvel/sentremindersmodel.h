#ifndef RUVELANT_SENTREMINDERS_H
#define RUVELANT_SENTREMINDERS_H

#include <QAbstractTableModel>
#include <QDateTime>
#include <QList>
#include <QString>

class QFileSystemWatcher;
class QTimer;

// One reminder that the agent handed to the mail system, or failed to, as its log tells.
struct SentReminder
{
    enum Outcome { Sent, Failed, NoAddress, Sending };
    QDateTime time;
    QString event; // the event's title; empty when the log does not name it
    QString address; // the attendee's address (or name, when it had no address)
    Outcome outcome = Sent;
    QString detail; // why it failed
};

// The reminders of the agent's log: its current and its previous file, newest first.
namespace SentReminders {
// Reads the log files in logsFolder ("<agent>.log", "<agent>_previous.log") as they are now; a
// rotation while they are read is noticed and the reading done again.
QList<SentReminder> read(const QString &logsFolder, const QString &agentName, const QDate &today);
// The reminders told by the records of a log, oldest first: every hand-over line of a run, with
// the failure that the same run logged right after it, if any.
QList<SentReminder> fromRecords(const QString &logText, const QDate &today);
} // namespace SentReminders

// The pane's table of sent reminders (time, event, address, outcome), following the log files.
class SentRemindersModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    SentRemindersModel(const QString &logsFolder, const QString &agentName, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The texts the table shows: column titles and outcomes, by key.
    void setTexts(const QHash<QString, QString> &texts) { m_texts = texts; }
    const QList<SentReminder> &reminders() const { return m_reminders; }

public Q_SLOTS:
    // Reads the log files again.
    void reload();

private:
    void watch();

    QString m_logsFolder;
    QString m_agentName;
    QList<SentReminder> m_reminders;
    QHash<QString, QString> m_texts;
    QFileSystemWatcher *m_watcher;
    QTimer *m_reloadTimer;
};

#endif
