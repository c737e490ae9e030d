#ifndef RUVELANT_CALENDARINDEX_H
#define RUVELANT_CALENDARINDEX_H

#include "icalspan.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <deque>
#include <vector>

// What the calendar store knows of each event file without reading it: the time span that its
// occurrences can cover and, for repeating events, their exact times within a window. Each entry
// holds the file's identity when it was read (device, inode, size, modification and change time
// in nanoseconds) and is only trusted while the file still has it. Kept in one file per calendar
// root, replaced atomically, so that concurrent runs leave either one's index, never a mix.
// Entries are kept in the order they were last asked for (the folders' listing order), so that a
// run over unchanged folders finds each one right after the one before.
class CalendarIndex
{
public:
    // A file's identity, as stat(2) gives it. The change time, which no program can set, sees
    // an edit whose author put the old size and modification time back.
    struct Stamp
    {
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modified = 0; // nanoseconds since the epoch
        qint64 changed = 0; // st_ctime, nanoseconds since the epoch
        quint32 device = 0;
        bool operator==(const Stamp &other) const
        {
            return inode == other.inode && size == other.size && modified == other.modified && changed == other.changed
                && device == other.device;
        }
    };
    // One occurrence within a window, in seconds from the window's start (both ends included).
    struct Occurrence
    {
        quint32 start = 0;
        quint32 end = 0;
    };
    struct Entry
    {
        quint64 key = 0; // of the calendar and the file name, see keyOf()
        Stamp stamp;
        ICalSpan::Span span;
        // Every occurrence that meets [windowStart, windowStart + windowLength] is listed.
        qint64 windowStart = 0;
        quint32 calendar = 0; // see calendarOf()
        quint32 windowLength = 0; // 0: no window
        quint32 first = 0; // the window's occurrences in the pool
        quint16 count = 0;
        quint16 flags = 0; // Flag values
        quint32 order = 0; // when find() or put() last met it
    };
    enum Flag : quint16 {
        Exact = 1, // the span comes from the file's events as read, not from the cheap scan
        Repeats = 2, // the file holds a repeating event
        Dense = 4, // it has too many occurrences for a window
    };
    static constexpr int maxOccurrences = 64; // in one entry's window

    CalendarIndex() = default;
    // $XDG_CACHE_HOME/ruvelant/calendars-<hash of root>.index
    static QString defaultPath(const QString &root);
    // The index of the calendars under root, kept in path. Missing, it is empty. Unreadable,
    // truncated, inconsistent, of another root or format, or no regular file (a symbolic link, a
    // FIFO: never followed nor waited for), it is empty too and *problem tells why; save() then
    // puts a regular file in its place. Reading takes time in proportion to the file, whatever
    // it holds.
    static CalendarIndex load(const QString &path, const QString &root, QString *problem);
    // Writes the index to its file when it changed since it was loaded, through a new file renamed
    // over the old one (a symbolic link there is replaced, never written through). False with a
    // message in error when it cannot.
    bool save(QString *error);

    static quint64 keyOf(const QByteArray &calendar, const QByteArray &fileName);
    static quint32 calendarOf(const QByteArray &calendar);

    // The entry of key whose stamp is stamp; nullptr when there is none, or it is stale. Either
    // way the file counts as seen (see dropUnseen()).
    const Entry *find(quint64 key, const Stamp &stamp);
    // Records what a file's read gave (replacing the entry of its key; find() it first); the
    // occurrences are those of its window.
    void put(const Entry &entry, const std::vector<Occurrence> &occurrences = {});
    // Whether the file of an entry can have an occurrence that meets [from, to] (seconds).
    bool meets(const Entry &entry, qint64 from, qint64 to) const;
    // Forgets, when the index is saved, the entries of calendar's files that find() was not asked
    // about since the load.
    void dropUnseen(const QByteArray &calendar);
    // The number of entries (tests).
    int size() const { return int(m_entries.size() + m_added.size()); }

private:
    // The entries' positions by key: open addressing, each key's slot drawn from the key and a
    // seed of this process, so that no choice of keys makes lookups slow.
    class KeyTable
    {
    public:
        KeyTable();
        // False when the key is there already.
        bool insert(quint64 key, quint32 position, const std::vector<Entry> &entries);
        // The position of key, or -1.
        qint64 find(quint64 key, const std::vector<Entry> &entries) const;

    private:
        std::size_t slotOf(quint64 key) const;
        void grow(const std::vector<Entry> &entries);
        std::vector<quint32> m_slots; // 1 + position, 0 when free
        std::size_t m_used = 0;
        int m_bits = 0;
        quint64 m_seed = 0;
    };

    Entry *entryOf(quint64 key);
    enum Internal : quint16 { Seen = 0x100, Kept = Exact | Repeats | Dense };
    QString m_path;
    QByteArray m_root;
    std::vector<Entry> m_entries; // as loaded
    KeyTable m_keys; // of m_entries
    std::size_t m_next = 0; // the entry after the one last found
    std::deque<Entry> m_added; // entries of keys not in m_entries (grown without copies)
    std::vector<Occurrence> m_pool;
    QSet<quint32> m_listed; // calendars whose unseen entries are dropped
    quint32 m_order = 0;
    bool m_changed = false;
};

#endif
