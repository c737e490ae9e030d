#ifndef RUVELANT_CALENDARSTORE_H
#define RUVELANT_CALENDARSTORE_H

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

// One calendar of the store.
struct Calendar
{
    QString uid; // stable identifier (a vdir collection's folder name; "eds/" and a source's UID)
    QString title;
    QString type; // CalendarStore::CalCalendarTypeLocal for the user's own collections
    QString kind = {}; // the store that holds it: "vdir", "eds", "akonadi"
    QString account = {}; // the account or group it belongs to as its store names it; may be empty
};

// One attendee of an event as the calendar file gives it.
struct Attendee
{
    QString address; // the attendee's URL as written, e.g. "mailto:ann@example.org"
    QString commonName; // the CN parameter, empty when absent
    QString participationStatus; // the PARTSTAT parameter as written ("DECLINED"...), empty when absent
    QString userType; // the CUTYPE parameter as written ("ROOM"...), empty when absent
};

// One occurrence of an event. A repeating event yields one Event per occurrence.
struct Event
{
    QString title;
    QDateTime startDate; // start of this occurrence
    QDateTime endDate;
    QString notes; // null when the event has no notes at all
    std::optional<QList<Attendee>> attendees; // absent when the event has no attendee at all
    QString calendarUid;

    // Where the occurrence came from; filled by the store that made it and used when saving.
    struct Origin
    {
        QString filePath;
        QString uid;
        QDateTime recurrenceId; // invalid for a single (non-repeating) event
        QByteArray fingerprint; // identity of the file's content when it was read
        // Identity of this occurrence's own content as the store read it: every property of the
        // event (or of the exception that stands for this occurrence) but those that change
        // without anyone editing it (DTSTAMP, the moment of a copy). Equal when the same content
        // is put back, as a sync tool does; a store that cannot tell leaves it empty.
        QByteArray version;
    } origin;
};

// Which events a query asks for.
struct EventPredicate
{
    QDateTime startDate;
    QDateTime endDate;
    QList<Calendar> calendars;
};

// The user's calendar store: calendars, event occurrences in a range, saving changed notes,
// and notification when calendars are added, removed or renamed.
class CalendarStore : public QObject
{
    Q_OBJECT
public:
    static const QString CalCalendarTypeLocal;
    // Keys of the user information of calendarsChangedExternally; each holds a QStringList.
    static const QString CalInsertedRecordsKey;
    static const QString CalDeletedRecordsKey;
    static const QString CalUpdatedRecordsKey;

    // Span of a save: this occurrence only, or every occurrence.
    enum Span { CalSpanThisEvent = 0, CalSpanFutureEvents = 1, CalSpanAllEvents = 2 };

    enum ErrorCode {
        NoError = 0,
        EventNotFound = 1025,
        ChangedOnDisk = 1026,
        WriteFailed = 1027,
        NotSupported = 1028,
        ReadOnly = 1029, // the event's file or its calendar's folder is not to be written
    };
    struct Error
    {
        int code = NoError;
        QString message;
    };

    using QObject::QObject;
    ~CalendarStore() override;

    // The user's store: every kind of calendars the user has (see CompositeCalendarStore, which
    // makes it). Made on first use (and anew when the calendars folder or the session bus
    // changes); owned by the process.
    static CalendarStore *defaultCalendarStore();
    // A new store on the same calendars as the default one, owned by the caller: for a thread
    // of its own (a store is used from the thread that made it).
    static std::unique_ptr<CalendarStore> makeUserCalendarStore();
    // Replaces the default store (tests); the caller keeps ownership, nullptr restores the real one.
    static void setDefaultCalendarStore(CalendarStore *store);

    virtual QList<Calendar> calendars() const = 0;
    virtual std::optional<Calendar> calendarWithUID(const QString &uid) const = 0;

    static EventPredicate eventPredicateWithStartDate(const QDateTime &startDate, const QDateTime &endDate,
                                                      const QList<Calendar> &calendars)
    {
        return EventPredicate {startDate, endDate, calendars};
    }
    // Every occurrence of the given calendars' events that overlaps the range (starts before its
    // end and ends after its start); an empty list of calendars gives no events.
    virtual QList<Event> eventsWithPredicate(const EventPredicate &predicate) = 0;

    // Stores the event's changed notes. Returns false and fills error (when given) on failure;
    // the stored data is then unchanged.
    virtual bool saveEvent(const Event &event, Span span, Error *error) = 0;

    // Whether saving the event's notes would fail with ReadOnly: its file or its calendar's folder
    // has no write permission, or cannot be written by this user.
    virtual bool isReadOnly(const Event &event) const;

    // Whether the calendar with this identifier, which calendarWithUID() does not give, may still
    // exist: the service that holds it does not answer now. A setting that names it is kept, and
    // a run that was to search it has not done its work.
    virtual bool isUnreachable(const QString &uid) const;

protected:
    // Why a save into the file at target (a canonical path) would fail with ReadOnly: "<target> is
    // read-only" or "the folder of <target> is read-only"; empty when both may be written.
    static QString readOnlyReason(const QString &target);

public:
    // The occurrence as the store holds it now (its notes, and what a later save needs), for an
    // occurrence read earlier: the same event (UID) and the same occurrence of it. nullopt when it
    // is gone, cancelled, or a single event that now starts at another time.
    virtual std::optional<Event> currentEvent(const Event &event) = 0;

Q_SIGNALS:
    // Calendars were added, removed or renamed by someone else; userInfo holds identifier lists.
    void calendarsChangedExternally(const QVariantMap &userInfo);
    // A query skipped a calendar file or part of one, or read it leniently; message names the
    // file and why. The same text goes to standard error.
    void problemFound(const QString &message);
    // A query could not search the calendar uid at all (its server is offline, its service does
    // not answer): its occurrences are missing from the answer. reason says why.
    void calendarUnavailable(const QString &uid, const QString &reason);
    // Something worth a line in a verbose log, not an error: a kind of calendars that is left out
    // for now since its service is missing or does not answer. Told once, not at every call.
    void noticeFound(const QString &message);
};

#endif
