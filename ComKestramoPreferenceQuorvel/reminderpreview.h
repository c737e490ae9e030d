#ifndef RUVELANT_REMINDERPREVIEW_H
#define RUVELANT_REMINDERPREVIEW_H

#include "reminderdecisions.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <functional>

class ComKestramoPreferenceQuorvelModel;
class QFileSystemWatcher;
class QThread;
class QTimer;

// One line of the preview: an attendee of an event of a coming reminder day and what becomes of
// them, or an event that nobody is reminded of, with the reason.
struct PreviewRow
{
    QDate reminderDay; // the day the agent's runs decide this
    Event event;
    QString calendarTitle;
    EventDecision::Verdict eventVerdict = EventDecision::RemindAttendees;
    bool hasAttendee = false;
    AttendeeDecision attendee;
    QString subject; // the reminder's subject, for an attendee who gets one
    bool hasCard = true; // the attendee's address is on a card of the address book (names for <<first>>, <<last>>)
    QDate lateDue; // of a reminder that goes out late: the day it was due (a day no run completed)
};

// What the preview needs of the settings, taken on the window's thread.
struct PreviewRequest
{
    int daysBeforeEventStart = 4;
    QDateTime now;
    int dayCount = 7;
    QStringList calendars; // every calendar of the settings, in their order
    QSet<QString> enabledCalendars;
    QString mailTitle;
    QStringList ownAddresses;
    QString journalPath; // empty: the agent's own
    bool sendMissedReminders = true;
    QString completedDayPath; // the agent's record of the last day it completed; empty: the agent's own

    static PreviewRequest fromModel(const ComKestramoPreferenceQuorvelModel &model, const QDateTime &now);
};

namespace ReminderPreview {
// What the agent's runs of the next request.dayCount days decide, as things stand: the same
// decisions the agent takes, over every calendar of the settings; today's next run also sends
// what the days missed before it left (late). Reads the calendars of store, the send journal and
// the agent's record of its last completed day; sends and writes nothing.
QList<PreviewRow> compute(const PreviewRequest &request, CalendarStore &store);
// The rows in the order they are shown: by the events' starts (a run takes them in the order of
// its files).
void sortByStart(QList<PreviewRow> &rows);
// Sets hasCard of each row from the address book (on the thread that reads it).
void findCards(QList<PreviewRow> &rows);
// The row's attendee as shown: "Name <address>", or the address alone; empty without attendee.
QString attendeeText(const PreviewRow &row);
// What becomes of the row: its reminder's subject (noting an attendee without a card when
// mailContent names them), or why none goes out, in the texts that text gives for their keys.
QString reminderText(const PreviewRow &row, const std::function<QString(const char *key)> &text,
                     const QString &mailContent);
// A day as the table shows days (the locale's short date).
QString dayText(const QDate &day);
} // namespace ReminderPreview

// The pane's table of coming reminders. It is computed again, beside the window, whenever the
// settings or the calendar folders change, and as time goes by.
class ReminderPreviewModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    ReminderPreviewModel(ComKestramoPreferenceQuorvelModel *settings, QObject *parent = nullptr);
    ~ReminderPreviewModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The texts the table shows (column titles, reasons), by key.
    void setTexts(const QHash<QString, QString> &texts) { m_texts = texts; }
    const QList<PreviewRow> &rows() const { return m_rows; }
    bool isComputing() const { return m_computing; }
    // The reminder of a row as it will be sent (To, From, Subject and body); empty for a row
    // without one.
    QString message(int row) const;

public Q_SLOTS:
    // Computes the table again soon (changes that come in a burst are taken together).
    void refresh();

Q_SIGNALS:
    void computingChanged(bool computing);

private:
    void start();
    void watchCalendars();
    QString text(const char *key) const;

    QPointer<ComKestramoPreferenceQuorvelModel> m_settings;
    QList<PreviewRow> m_rows;
    QHash<QString, QString> m_texts;
    QTimer *m_refreshTimer;
    QFileSystemWatcher *m_watcher;
    QThread *m_worker = nullptr;
    bool m_computing = false;
    bool m_pending = false; // settings changed while a computation ran
};

#endif
