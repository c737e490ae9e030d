#ifndef RUVELANT_CALENDARINDEX_H
#define RUVELANT_CALENDARINDEX_H

#include "filedescriptor.h"
#include "icalspan.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <algorithm>
#include <limits>

#include <memory>
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
        qint64 modified = 0; // nanoseconds since the epoch
        qint64 changed = 0; // st_ctime, nanoseconds since the epoch
        quint32 size = 0; // at most 4 GiB - 1: larger files are never indexed
        quint32 device = 0;

        Stamp() = default;
        Stamp(quint64 inode, qint64 size, qint64 modified, qint64 changed, quint32 device)
            : inode(inode)
            , modified(modified)
            , changed(changed)
            , size(quint32(std::min<qint64>(size, std::numeric_limits<quint32>::max())))
            , device(device)
        {
        }
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
    };
    enum Flag : quint16 {
        Exact = 1, // the span comes from the file's events as read, not from the cheap scan
        Repeats = 2, // the file holds a repeating event
        Dense = 4, // it has too many occurrences for a window
    };
    static constexpr int maxOccurrences = 64; // in one entry's window

    CalendarIndex() = default;
    CalendarIndex(CalendarIndex &&) = default;
    CalendarIndex &operator=(CalendarIndex &&) = default;
    // $XDG_CACHE_HOME/ruvelant/calendars-<hash of root>.index
    static QString defaultPath(const QString &root);
    // The index of the calendars under root, kept in path. Missing, it is empty. Unreadable,
    // truncated, inconsistent, of another root or format, or no regular file (a symbolic link, a
    // FIFO: never followed nor waited for), it is empty too and *problem tells why; save() then
    // puts a regular file in its place. Reading takes time in proportion to the file, whatever
    // it holds.
    static CalendarIndex load(const QString &path, const QString &root, QString *problem);
    // Puts the index as this run left it in place of its file, when it changed since it was loaded:
    // the entries in the order the run met them, then those of calendars it did not list. The new
    // file is written while the run goes on (from its first change), so that the entries of
    // a whole calendar never need to be held at once, and renamed over the old one at the end (a
    // symbolic link there is replaced, never written through). False with a message in error
    // when it cannot.
    bool save(QString *error);

    static quint64 keyOf(const QByteArray &calendar, const QByteArray &fileName);
    static quint32 calendarOf(const QByteArray &calendar);

    // The entry of key whose stamp is stamp; nullptr when there is none, or it is stale. Either
    // way the file counts as met (see dropUnseen()). The entry stays valid while the index lives.
    const Entry *find(quint64 key, const Stamp &stamp);
    // Whether find() would give an entry, without counting the file as met: safe on several
    // threads at once while nothing else uses the index. *cursor (0 at first) is the caller's
    // own place in the index, so that keys asked in the index's order cost one step each.
    bool knows(quint64 key, const Stamp &stamp, std::size_t *cursor) const;
    // Records what a file's read gave, in place of the entry of its key (find() it first); the
    // occurrences are those of its window.
    void put(const Entry &entry, const std::vector<Occurrence> &occurrences = {});
    // Whether the file of an entry can have an occurrence that meets [from, to] (seconds).
    bool meets(const Entry &entry, qint64 from, qint64 to) const;
    // Forgets, when the index is saved, the entries of calendar's files that find() was not asked
    // about since the load.
    void dropUnseen(const QByteArray &calendar);
    // The number of entries loaded (tests).
    int size() const { return int(m_count); }

private:
    // The entries' positions by key: open addressing, each key's slot drawn from the key and a
    // seed of this process, so that no choice of keys makes lookups slow.
    class KeyTable
    {
    public:
        KeyTable();
        // Room for about this many keys.
        void reserve(std::size_t keys);
        // False when the key is there already. Positions are inserted in order, from 0.
        bool insert(quint64 key, quint32 position, const Entry *entries);
        // The position of key, or -1.
        qint64 find(quint64 key, const Entry *entries) const;

    private:
        std::size_t slotOf(quint64 key) const;
        void grow(int bits, const Entry *entries);
        std::vector<quint32> m_slots; // 1 + position, 0 when free
        std::size_t m_used = 0;
        int m_bits = 0;
        quint64 m_seed = 0;
    };

    // The new index file while it is written: a temporary file beside the index, removed unless
    // it was put in the index's place.
    class Output
    {
    public:
        Output() = default;
        Output(Output &&) = default;
        Output &operator=(Output &&) = default;
        ~Output();
        bool isOpen() const { return m_fd.isOpen(); }
        // Creates the file, with room for the header and the root.
        bool open(const QString &index, const QByteArray &root);
        // Adds an entry whose window occurrences are count at occurrences.
        void add(Entry entry, const Occurrence *occurrences, std::size_t count);
        // Writes the occurrences and the header, flushes, and renames the file to index.
        bool commit(const QString &index, const QByteArray &root, QString *error);

    private:
        void write(const void *data, std::size_t bytes);
        FileDescriptor m_fd;
        QString m_path;
        QByteArray m_buffer;
        quint64 m_entries = 0;
        std::vector<Occurrence> m_pool;
        int m_error = 0; // errno of the first failed write
    };

    Entry *entryOf(quint64 key);
    // Adds the entries met since the last addition to the output.
    void addMet();
    enum Internal : quint16 { Seen = 0x100, Replaced = 0x200, Kept = Exact | Repeats | Dense };
    QString m_path;
    QByteArray m_root;
    std::unique_ptr<char[]> m_storage; // the entries as loaded, read into memory left uninitialised
    Entry *m_entries = nullptr;
    std::size_t m_count = 0;
    std::vector<Occurrence> m_pool; // theirs
    KeyTable m_keys; // of m_entries
    std::size_t m_next = 0; // the entry after the one last found
    std::vector<quint32> m_met; // entries found since the last addition to m_output, in order
    Output m_output;
    QSet<quint32> m_listed; // calendars whose unseen entries are dropped
    bool m_changed = false;
};

#endif
