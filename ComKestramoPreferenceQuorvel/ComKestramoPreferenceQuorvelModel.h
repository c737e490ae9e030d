#ifndef COMKESTRAMOPREFERENCEQUORVELMODEL_H
#define COMKESTRAMOPREFERENCEQUORVELMODEL_H

#include <QAbstractListModel>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

struct Calendar;
class CalendarStore;
class ComKestramoCalendarsController;
class PreferenceWatcher;

// One element of the model's calendar list: a changeable record with the keys
// "calendaUID", "calendarTitle" and "isCalendarEnabled" (1 or 0).
class ComKestramoCalendarEntry : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString calendaUID READ calendaUID WRITE setCalendaUID NOTIFY calendaUIDChanged)
    Q_PROPERTY(QString calendarTitle READ calendarTitle WRITE setCalendarTitle NOTIFY calendarTitleChanged)
    Q_PROPERTY(
        QVariant isCalendarEnabled READ isCalendarEnabled WRITE setIsCalendarEnabled NOTIFY isCalendarEnabledChanged)
public:
    using QObject::QObject;

    QString calendaUID() const { return m_calendaUID; }
    void setCalendaUID(const QString &uid);
    QString calendarTitle() const { return m_calendarTitle; }
    void setCalendarTitle(const QString &title);
    // A number; the entry counts as enabled when it equals 1.
    QVariant isCalendarEnabled() const { return m_isCalendarEnabled; }
    // Every set is announced, also one that keeps the value.
    void setIsCalendarEnabled(const QVariant &enabled);
    bool enabled() const;

    // The account or group the calendar belongs to, as the pane shows it beside the title (not a
    // key of the record, not stored).
    QString calendarAccount() const { return m_calendarAccount; }
    void setCalendarAccount(const QString &account);

    // Key-value access by the record's key names.
    QVariant valueForKey(const QString &key) const;
    void setValueForKey(const QVariant &value, const QString &key);

Q_SIGNALS:
    void calendaUIDChanged();
    void calendarTitleChanged();
    void isCalendarEnabledChanged();
    void calendarAccountChanged();

private:
    QString m_calendaUID;
    QString m_calendarTitle;
    QString m_calendarAccount;
    QVariant m_isCalendarEnabled = 0;
};

// The settings of the system in memory, loaded from the preference domain with defaults for
// missing keys; every change made through a setter is stored at once.
class ComKestramoPreferenceQuorvelModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool verboseLogging READ verboseLogging WRITE setVerboseLogging NOTIFY verboseLoggingChanged)
    Q_PROPERTY(bool quorvelEnabled READ quorvelEnabled WRITE setQuorvelEnabled NOTIFY quorvelEnabledChanged)
    Q_PROPERTY(QString daysBeforeEventStart READ daysBeforeEventStart WRITE setDaysBeforeEventStart NOTIFY
                   daysBeforeEventStartChanged)
    Q_PROPERTY(QStringList daysList READ daysList WRITE setDaysList NOTIFY daysListChanged)
    Q_PROPERTY(QStringList activeCalendars READ activeCalendars WRITE setActiveCalendars NOTIFY activeCalendarsChanged)
    Q_PROPERTY(QStringList userEmails READ userEmails WRITE setUserEmails NOTIFY userEmailsChanged)
    Q_PROPERTY(QString senderEmail READ senderEmail WRITE setSenderEmail NOTIFY senderEmailChanged)
    Q_PROPERTY(QString mailTitle READ mailTitle WRITE setMailTitle NOTIFY mailTitleChanged)
    Q_PROPERTY(QString mailContent READ mailContent WRITE setMailContent NOTIFY mailContentChanged)
    Q_PROPERTY(bool sendMissedReminders READ sendMissedReminders WRITE setSendMissedReminders NOTIFY
                   sendMissedRemindersChanged)
    Q_PROPERTY(QString preferencesProblem READ preferencesProblem NOTIFY preferencesProblemChanged)
public:
    // Loads the settings. A listening model follows the calendar store's changes, and the
    // settings that other programs store while it lives.
    // store: the calendar store to read (nullptr: the default one).
    explicit ComKestramoPreferenceQuorvelModel(bool initListenCalendars = true, CalendarStore *store = nullptr,
                                               QObject *parent = nullptr);
    ~ComKestramoPreferenceQuorvelModel() override;

    bool verboseLogging() const { return m_verboseLogging; }
    void setVerboseLogging(bool verbose);
    bool quorvelEnabled() const { return m_quorvelEnabled; }
    void setQuorvelEnabled(bool enabled);
    QString daysBeforeEventStart() const { return m_daysBeforeEventStart; }
    void setDaysBeforeEventStart(const QString &days);
    QStringList daysList() const { return m_daysList; }
    void setDaysList(const QStringList &days);
    QStringList activeCalendars() const { return m_activeCalendars; }
    void setActiveCalendars(const QStringList &uids);
    // The entries are owned by the model.
    const QList<ComKestramoCalendarEntry *> &allCalendars() const { return m_allCalendars; }
    QStringList userEmails() const { return m_userEmails; }
    void setUserEmails(const QStringList &emails);
    QString senderEmail() const { return m_senderEmail; }
    void setSenderEmail(const QString &sender);
    QString mailTitle() const { return m_mailTitle; }
    void setMailTitle(const QString &title);
    // The body template's plain characters (styles are never stored).
    QString mailContent() const { return m_mailContent; }
    void setMailContent(const QString &content);
    // Whether a run also sends, late, the reminders of the days that no run completed (the
    // computer was off or asleep), as long as their events have not begun.
    bool sendMissedReminders() const { return m_sendMissedReminders; }
    void setSendMissedReminders(bool send);

    // Whether the settings could be read: false when the domain's file is there but cannot be
    // read (too big, damaged). The model then holds the defaults, and nothing of it is stored
    // over that file.
    bool preferencesReadable() const { return m_preferencesReadable; }
    // Why the settings could not be read, or the last change not stored, in the store's words;
    // empty when all is well.
    QString preferencesProblem() const { return m_preferencesProblem; }
    // Takes up what other programs stored since this model last read or stored the settings:
    // each setting that the model has not changed since takes the value stored (the window
    // shows it). A listening model does so whenever the domain's file changes.
    void refreshFromPreferences();

    // The table model that presents allCalendars; created with the first call.
    ComKestramoCalendarsController *activeCalendarsController();

    // Handles a calendar store change: first inserted, else first deleted, else first updated identifier.
    void calendarsChanged(const QVariantMap &userInfo);
    ComKestramoCalendarEntry *builCalendarDictForAllCalendarsArray(const Calendar &calendar);
    int isCalendarEnabled(const Calendar &calendar) const;
    // Writes every key of the settings and synchronises the domain. A setting that this model has
    // not changed since it last read it does not replace a value that another program stored
    // meanwhile: the model takes that value up instead.
    void storeToPreferences();

Q_SIGNALS:
    void verboseLoggingChanged();
    void quorvelEnabledChanged();
    void daysBeforeEventStartChanged();
    void daysListChanged();
    void activeCalendarsChanged();
    void userEmailsChanged();
    void senderEmailChanged();
    void mailTitleChanged();
    void mailContentChanged();
    void sendMissedRemindersChanged();
    void preferencesProblemChanged();

private:
    friend class ComKestramoCalendarsController;
    void observeEntry(ComKestramoCalendarEntry *entry);
    // The value storeToPreferences() writes under key.
    QVariant storedForm(const QString &key) const;
    // The ticked calendars, and those ticked before whose store does not answer now.
    QStringList calendarsToStore() const;
    // Sets the setting of key from a value of the domain (invalid: missing, so its default).
    void applyStored(const QString &key, const QVariant &value);
    // Notes what the domain holds under key, and the setting's value that goes with it.
    void noteTaken(const QString &key, const QVariant &stored);
    void setPreferencesProblem(const QString &problem);

    QPointer<CalendarStore> m_store;
    bool m_verboseLogging = false;
    bool m_quorvelEnabled = false;
    QString m_daysBeforeEventStart;
    QStringList m_daysList;
    QStringList m_activeCalendars;
    QList<ComKestramoCalendarEntry *> m_allCalendars;
    QStringList m_userEmails;
    QString m_senderEmail;
    QString m_mailTitle;
    QString m_mailContent;
    bool m_sendMissedReminders = true;
    ComKestramoCalendarsController *m_controller = nullptr;

    QString m_defaultTitle;
    QString m_defaultContent;
    // Per key: the value the domain held when the model last took it up, and storedForm() then.
    QVariantMap m_read;
    QVariantMap m_taken;
    bool m_taking = false; // taking up stored values: not an edit to store
    bool m_preferencesReadable = true;
    QString m_preferencesProblem;
    PreferenceWatcher *m_watcher = nullptr;
};

// The calendar table's model over ComKestramoPreferenceQuorvelModel::allCalendars: one row per
// entry, column 0 the enabled check box, column 1 the title.
class ComKestramoCalendarsController : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit ComKestramoCalendarsController(ComKestramoPreferenceQuorvelModel *model);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    void addObject(ComKestramoCalendarEntry *entry);
    void removeObject(ComKestramoCalendarEntry *entry);
    void rearrangeObjects();

private:
    ComKestramoPreferenceQuorvelModel *m_model;
};

#endif
