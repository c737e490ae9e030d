#include "calendarindex.h"

#include "regularfile.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_LOGGING_CATEGORY(lcCalendarStore)

namespace {
// The index file: this header, the root's path, the entries, the occurrences; all in the
// machine's own byte order (the file is a cache of this machine).
struct Header
{
    char magic[8];
    quint32 entrySize;
    quint32 occurrenceSize;
    quint64 entries;
    quint64 occurrences;
    quint32 rootSize;
    quint32 reserved;
};
constexpr char magic[8] = {'R', 'V', 'C', 'A', 'L', 'I', 'X', '2'};

quint64 fnv1a(const char *bytes, qsizetype size, quint64 hash = 14695981039346656037ULL)
{
    for (qsizetype i = 0; i < size; ++i) {
        hash ^= quint8(bytes[i]);
        hash *= 1099511628211ULL;
    }
    return hash;
}

quint64 fnv1a(const QByteArray &bytes, quint64 hash = 14695981039346656037ULL)
{
    return fnv1a(bytes.constData(), bytes.size(), hash);
}

// Every bit of x spread over every bit of the result (the SplitMix64 finaliser, a bijection).
quint64 mixed(quint64 x)
{
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Reads exactly bytes into data; false at the end of the file or on an error.
bool readExactly(int fd, void *data, std::size_t bytes)
{
    auto *at = static_cast<char *>(data);
    while (bytes > 0) {
        const ssize_t n = ::read(fd, at, bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        bytes -= std::size_t(n);
    }
    return true;
}
} // namespace

QString CalendarIndex::defaultPath(const QString &root)
{
    return xdgCacheHome()
        + QStringLiteral("/ruvelant/calendars-%1.index").arg(fnv1a(QFile::encodeName(root)), 16, 16, QLatin1Char('0'));
}

quint64 CalendarIndex::keyOf(const QByteArray &calendar, const QByteArray &fileName)
{
    return fnv1a(fileName, fnv1a("/", 1, fnv1a(calendar)));
}

quint32 CalendarIndex::calendarOf(const QByteArray &calendar)
{
    return quint32(fnv1a(calendar));
}

CalendarIndex CalendarIndex::load(const QString &path, const QString &root, QString *problem)
{
    CalendarIndex index;
    index.m_path = path;
    index.m_root = QFile::encodeName(root);
    index.m_changed = true; // until it is read
    const QByteArray native = QFile::encodeName(path);
    struct stat st
    {
    };
    if (::lstat(native.constData(), &st) != 0 && errno == ENOENT) {
        qCInfo(lcCalendarStore, "%s: no calendar index yet, it is made now", qPrintable(path));
        return index;
    }
    const auto fail = [&](const QString &why) {
        *problem = QStringLiteral("%1: the calendar index %2; it is made anew").arg(path, why);
        index.m_entries = {};
        index.m_pool = {};
        index.m_keys = KeyTable();
        index.m_next = 0;
        return std::move(index);
    };
    // Never through a symbolic link, and never waiting for the writer of a FIFO.
    if (S_ISLNK(st.st_mode))
        return fail(QStringLiteral("is a symbolic link"));
    QString why;
    const int fd = RegularFile::open(path, O_RDONLY | O_NOFOLLOW, 0, &why);
    if (fd < 0)
        return fail(QStringLiteral("cannot be read (%1)").arg(why));
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    Header header {};
    if (::fstat(fd, &st) != 0 || !readExactly(fd, &header, sizeof header))
        return fail(QStringLiteral("is cut short"));
    QByteArray storedRoot(int(std::min<quint32>(header.rootSize, 1 << 16)), Qt::Uninitialized);
    if (std::memcmp(header.magic, magic, sizeof magic) != 0 || header.entrySize != sizeof(Entry)
        || header.occurrenceSize != sizeof(Occurrence) || header.rootSize != quint32(index.m_root.size())
        || !readExactly(fd, storedRoot.data(), std::size_t(storedRoot.size())) || storedRoot != index.m_root)
        return fail(QStringLiteral("is of another format or calendar folder"));
    // Counts and sizes against the file's length, before anything is read or allocated for them.
    const quint64 rest = quint64(st.st_size) - sizeof header - header.rootSize;
    if (quint64(st.st_size) < sizeof header + header.rootSize || header.entries > rest / sizeof(Entry)
        || header.occurrences > rest / sizeof(Occurrence)
        || rest != header.entries * sizeof(Entry) + header.occurrences * sizeof(Occurrence))
        return fail(QStringLiteral("is cut short or damaged"));
    // Each entry is checked as it is read: its occurrences follow the previous entry's in the
    // pool, and its key is new. A file of zeros (or of one entry repeated) stops at its second
    // entry, and every lookup stays one step or a few.
    quint64 pooled = 0;
    constexpr std::size_t chunk = 4096;
    while (index.m_entries.size() < header.entries) {
        const std::size_t done = index.m_entries.size();
        const std::size_t more = std::size_t(std::min<quint64>(chunk, header.entries - done));
        index.m_entries.resize(done + more);
        if (!readExactly(fd, index.m_entries.data() + done, more * sizeof(Entry)))
            return fail(QStringLiteral("cannot be read"));
        for (std::size_t i = done; i < done + more; ++i) {
            Entry &entry = index.m_entries[i];
            if (entry.count > maxOccurrences || entry.first != pooled
                || !index.m_keys.insert(entry.key, quint32(i), index.m_entries))
                return fail(QStringLiteral("is damaged"));
            pooled += entry.count;
            entry.flags &= Kept;
        }
    }
    if (pooled != header.occurrences)
        return fail(QStringLiteral("is damaged"));
    index.m_pool.resize(header.occurrences);
    if (!readExactly(fd, index.m_pool.data(), index.m_pool.size() * sizeof(Occurrence)))
        return fail(QStringLiteral("cannot be read"));
    index.m_changed = false;
    return index;
}

CalendarIndex::KeyTable::KeyTable() : m_seed(QRandomGenerator::global()->generate64()) { }

std::size_t CalendarIndex::KeyTable::slotOf(quint64 key) const
{
    return std::size_t(mixed(key ^ m_seed) >> (64 - m_bits));
}

void CalendarIndex::KeyTable::grow(const std::vector<Entry> &entries)
{
    m_bits = std::max(m_bits + 1, 10);
    m_slots.assign(std::size_t(1) << m_bits, 0);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = 0; i < m_used; ++i) {
        std::size_t slot = slotOf(entries[i].key);
        while (m_slots[slot])
            slot = (slot + 1) & mask;
        m_slots[slot] = quint32(i + 1);
    }
}

bool CalendarIndex::KeyTable::insert(quint64 key, quint32 position, const std::vector<Entry> &entries)
{
    // Positions are inserted in order, so that growing can insert them again from the entries.
    if (2 * (m_used + 1) > m_slots.size())
        grow(entries);
    const std::size_t mask = m_slots.size() - 1;
    std::size_t slot = slotOf(key);
    for (; m_slots[slot]; slot = (slot + 1) & mask) {
        if (entries[m_slots[slot] - 1].key == key)
            return false;
    }
    m_slots[slot] = position + 1;
    ++m_used;
    return true;
}

qint64 CalendarIndex::KeyTable::find(quint64 key, const std::vector<Entry> &entries) const
{
    if (m_slots.empty())
        return -1;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = slotOf(key); m_slots[slot]; slot = (slot + 1) & mask) {
        if (entries[m_slots[slot] - 1].key == key)
            return qint64(m_slots[slot] - 1);
    }
    return -1;
}

CalendarIndex::Entry *CalendarIndex::entryOf(quint64 key)
{
    if (m_next < m_entries.size() && m_entries[m_next].key == key)
        return &m_entries[m_next++];
    const qint64 position = m_keys.find(key, m_entries);
    if (position < 0)
        return nullptr;
    m_next = std::size_t(position) + 1;
    return &m_entries[std::size_t(position)];
}

const CalendarIndex::Entry *CalendarIndex::find(quint64 key, const Stamp &stamp)
{
    Entry *entry = entryOf(key);
    if (!entry)
        return nullptr;
    entry->flags |= Seen;
    entry->order = ++m_order;
    return entry->stamp == stamp ? entry : nullptr;
}

void CalendarIndex::put(const Entry &entry, const std::vector<Occurrence> &occurrences)
{
    Entry made = entry;
    made.first = quint32(m_pool.size());
    made.count = 0;
    if (occurrences.size() > std::size_t(maxOccurrences))
        made.windowLength = 0;
    else if (made.windowLength > 0)
        made.count = quint16(occurrences.size());
    m_pool.insert(m_pool.end(), occurrences.begin(), occurrences.begin() + made.count);
    made.flags = (made.flags & Kept) | Seen;
    made.order = ++m_order;
    m_changed = true;
    // Usually the entry that find() just met.
    Entry *known = m_next > 0 && m_entries[m_next - 1].key == made.key ? &m_entries[m_next - 1] : entryOf(made.key);
    if (known)
        *known = made;
    else
        m_added.push_back(made);
}

bool CalendarIndex::meets(const Entry &entry, qint64 from, qint64 to) const
{
    if (entry.windowLength == 0 || from < entry.windowStart || to > entry.windowStart + qint64(entry.windowLength))
        return entry.span.meets(from, to);
    for (quint32 i = entry.first; i < entry.first + entry.count; ++i) {
        const Occurrence &occurrence = m_pool[i];
        if (entry.windowStart + occurrence.start <= to && entry.windowStart + occurrence.end >= from)
            return true;
    }
    return false;
}

void CalendarIndex::dropUnseen(const QByteArray &calendar)
{
    m_listed.insert(calendarOf(calendar));
}

bool CalendarIndex::save(QString *error)
{
    // Entries met in this run in the order they were met, after the others in their old order;
    // index i >= size stands for m_added[i - size]. Unseen entries of listed calendars are gone.
    const quint64 size = m_entries.size();
    std::vector<std::pair<quint64, quint32>> ranked;
    ranked.reserve(m_entries.size() + m_added.size());
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry &entry = m_entries[i];
        if (entry.flags & Seen)
            ranked.emplace_back(size + entry.order, quint32(i));
        else if (!m_listed.contains(entry.calendar))
            ranked.emplace_back(i, quint32(i));
    }
    if (!m_changed && ranked.size() == m_entries.size())
        return true;
    for (std::size_t i = 0; i < m_added.size(); ++i)
        ranked.emplace_back(size + m_added[i].order, quint32(size + i));
    std::sort(ranked.begin(), ranked.end());
    const auto entryAt = [&](quint32 i) -> const Entry & { return i < size ? m_entries[i] : m_added[i - size]; };

    Header header {};
    std::memcpy(header.magic, magic, sizeof magic);
    header.entrySize = sizeof(Entry);
    header.occurrenceSize = sizeof(Occurrence);
    header.entries = ranked.size();
    header.rootSize = quint32(m_root.size());
    for (const auto &item : ranked)
        header.occurrences += entryAt(item.second).count;

    // A new file beside the old one, written in pieces, renamed over it once complete.
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    const QString temporary
        = m_path + QStringLiteral(".%1.tmp").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    QString why;
    const int fd = RegularFile::open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, &why);
    QByteArray buffer;
    buffer.reserve(1 << 16);
    bool written = fd >= 0;
    const auto add = [&](const void *data, std::size_t bytes) {
        buffer.append(static_cast<const char *>(data), int(bytes));
        if (buffer.size() >= (1 << 16)) {
            written = written && RegularFile::writeAll(fd, buffer);
            buffer.clear();
        }
    };
    add(&header, sizeof header);
    add(m_root.constData(), std::size_t(m_root.size()));
    quint32 first = 0; // the entries' occurrences follow them, in their order
    for (const auto &item : ranked) {
        Entry entry = entryAt(item.second);
        entry.first = first;
        entry.flags &= Kept;
        entry.order = 0;
        first += entry.count;
        add(&entry, sizeof entry);
    }
    for (const auto &item : ranked) {
        const Entry &entry = entryAt(item.second);
        add(m_pool.data() + entry.first, entry.count * sizeof(Occurrence));
    }
    written = written && RegularFile::writeAll(fd, buffer);
    if (written && ::fdatasync(fd) != 0)
        written = false;
    if (written && fd >= 0)
        written = ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(m_path).constData()) == 0;
    if (!written && why.isEmpty())
        why = QString::fromLocal8Bit(std::strerror(errno));
    if (fd >= 0) {
        ::close(fd);
        if (!written)
            ::unlink(QFile::encodeName(temporary).constData());
    }
    if (!written) {
        *error = QStringLiteral("%1: the calendar index cannot be written: %2").arg(m_path, why);
        return false;
    }
    m_changed = false;
    return true;
}
