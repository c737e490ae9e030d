#ifndef RUVELANT_VDIRCALENDARSTORE_H
#define RUVELANT_VDIRCALENDARSTORE_H

#include "calendarstore.h"

#include <QHash>
#include <QMap>

#include <functional>

class QFileSystemWatcher;
class QTimer;

// The calendar store on vdir collections (the khal / vdirsyncer layout): each folder below the
// root is one calendar, each .ics file in it holds one event with its overrides. Notes are saved
// by a minimal textual edit of the event's file, replaced atomically.
class VdirCalendarStore : public CalendarStore
{
    Q_OBJECT
public:
    explicit VdirCalendarStore(const QString &root, QObject *parent = nullptr);
    ~VdirCalendarStore() override;

    QString root() const { return m_root; }
    // Where the store keeps its index of the event files (see CalendarIndex).
    QString indexPath() const { return m_indexPath; }

    // Calendars in folder-name order.
    QList<Calendar> calendars() const override;
    std::optional<Calendar> calendarWithUID(const QString &uid) const override;
    // Cancelled events and occurrences (STATUS:CANCELLED) are left out; unreadable, malformed
    // and oversized files are skipped with a warning. Files are read as other calendar programs
    // read them (see ICalReader); a TZID that names no zone gives local time and a warning. Only
    // the files that can have an occurrence in the range are read, as the index of the event files
    // tells (see CalendarIndex); it is checked against each file and updated at every query.
    QList<Event> eventsWithPredicate(const EventPredicate &predicate) override;
    // Writes only event.notes; a file of bare components that gains an override is put into a
    // VCALENDAR (and gets nothing else). Fails with ChangedOnDisk when the file differs from the content
    // the event was read from (other than through this store's own saves), also when another
    // program writes it while it is saved (its write is kept), ReadOnly when the file or its
    // folder has no write permission (or cannot be written by this user), NotSupported for a
    // span other than this occurrence of a repeating event (and for an override that would put a
    // file's bare components, and text beside them, into a VCALENDAR), WriteFailed when the file
    // cannot be replaced; the file is then unchanged.
    bool saveEvent(const Event &event, Span span, Error *error) override;
    std::optional<Event> currentEvent(const Event &event) override;

    // Stops watching the folders for good (a replaced default store).
    void stopWatching();
    // The clock (nanoseconds since the epoch) that tells which files changed too recently for
    // the index to trust them; the system's by default.
    void setClock(const std::function<qint64()> &now);

    // Files larger than this are not read.
    static constexpr qint64 maxFileSize = 4 * 1024 * 1024;
    // Occurrences of one event returned by one query at most.
    static constexpr int maxOccurrencesPerEvent = 1000;

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    class EventsQuery; // one eventsWithPredicate() call, in its steps
    QMap<QString, QString> scanCalendars() const; // uid -> title
    QString titleOf(const QString &uid) const; // its displayname, else the uid
    void startWatching();
    void updateWatchedPaths();
    void rescan();
    // Removes what interrupted saves left in folder: the temporary files that the last query
    // found there, or, in a folder that no query listed, that one listing of it finds. Once per
    // listing, so that a save costs nothing that grows with the folder.
    void removeLeftovers(const QString &folder);

    QString m_root;
    QString m_indexPath;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer *m_rescanTimer = nullptr;
    bool m_stopped = false;
    QMap<QString, QString> m_known; // calendars when last looked at
    // Fingerprints of this store's own saves: path -> (content before -> content after).
    QHash<QString, QHash<QByteArray, QByteArray>> m_ownWrites;
    std::function<qint64()> m_clock;
    // Temporary files of interrupted saves, by folder (device and inode), not removed yet.
    QHash<QPair<quint64, quint64>, QList<QByteArray>> m_leftovers;
};

#endif
