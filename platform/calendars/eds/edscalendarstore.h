#ifndef RUVELANT_EDSCALENDARSTORE_H
#define RUVELANT_EDSCALENDARSTORE_H

#include "calendarstore.h"

#include <memory>

// The calendar store on Evolution Data Server (EDS), where the GNOME desktop keeps its calendars:
// "Personal", and those of the accounts of Online Accounts and Evolution. Its calendars are EDS's
// enabled calendar sources; their occurrences come from EDS's own query and libecal's recurrence
// expansion, and changed notes go back through EDS's modify call (for one occurrence of a
// repeating event: an override of it), which keeps every other property as EDS has it. Every
// call to EDS is bounded (see EdsSession): without EDS, or with an EDS that does not answer, the
// store holds no calendar and says so once with noticeFound().
class EdsCalendarStore : public CalendarStore
{
    Q_OBJECT
public:
    // Its calendars' identifiers: this prefix and the source's UID. No vdir calendar folder has such
    // a name (a folder name holds no '/').
    static const QString uidPrefix;
    // The kind of its calendars (Calendar::kind).
    static const QString kindName;

    explicit EdsCalendarStore(QObject *parent = nullptr);
    ~EdsCalendarStore() override;

    // The enabled calendar sources, by account (the source's parent: "On This Computer", an
    // Online Accounts account...) and title.
    QList<Calendar> calendars() const override;
    std::optional<Calendar> calendarWithUID(const QString &uid) const override;
    // A calendar that cannot be opened, whose server is offline, or that is not answered for in
    // time is left out with calendarUnavailable(); cancelled occurrences are left out.
    QList<Event> eventsWithPredicate(const EventPredicate &predicate) override;
    // Writes only the notes (DESCRIPTION) of the occurrence; for one occurrence of a repeating
    // event, EDS stores an override of it. Fails with ReadOnly when EDS says the calendar is
    // read-only, ChangedOnDisk when the event changed since it was read, EventNotFound when it is
    // gone, NotSupported for a span other than this occurrence of a repeating event, WriteFailed
    // when EDS refuses it or does not answer.
    bool saveEvent(const Event &event, Span span, Error *error) override;
    bool isReadOnly(const Event &event) const override;
    std::optional<Event> currentEvent(const Event &event) override;
    // An EDS calendar while EDS cannot be reached (no session bus, no answer in time); not while EDS
    // is not installed.
    bool isUnreachable(const QString &uid) const override;

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    struct Private;
    void rescan();
    void unavailable(const QString &reason) const;
    std::unique_ptr<Private> d;
};

#endif
