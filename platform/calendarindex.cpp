#include "calendarindex.h"

#include "xdgpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>

#include <algorithm>
#include <cstring>

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
constexpr char magic[8] = {'R', 'V', 'C', 'A', 'L', 'I', 'X', '1'};

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

// The first slot of key in a table of 2^bits slots: the key's bits well mixed (Fibonacci hashing).
std::size_t firstSlot(quint64 key, int bits)
{
    return std::size_t((key * 11400714819323198485ULL) >> (64 - bits));
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
    QFile file(path);
    if (!file.exists()) {
        qCInfo(lcCalendarStore, "%s: no calendar index yet, it is made now", qPrintable(path));
        return index;
    }
    const auto fail = [&](const QString &why) {
        *problem = QStringLiteral("%1: the calendar index %2; it is made anew").arg(path, why);
        index.m_entries.clear();
        index.m_pool.clear();
        return std::move(index);
    };
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot be read (%1)").arg(file.errorString()));
    Header header {};
    if (file.read(reinterpret_cast<char *>(&header), sizeof header) != qint64(sizeof header))
        return fail(QStringLiteral("is cut short"));
    if (std::memcmp(header.magic, magic, sizeof magic) != 0 || header.entrySize != sizeof(Entry)
        || header.occurrenceSize != sizeof(Occurrence) || header.rootSize != quint32(index.m_root.size())
        || file.read(header.rootSize) != index.m_root)
        return fail(QStringLiteral("is of another format or calendar folder"));
    const qint64 rest = file.size() - file.pos();
    if (header.entries > quint64(rest) / sizeof(Entry) || header.occurrences > quint64(rest) / sizeof(Occurrence)
        || rest != qint64(header.entries * sizeof(Entry) + header.occurrences * sizeof(Occurrence)))
        return fail(QStringLiteral("is cut short or damaged"));
    index.m_entries.resize(header.entries);
    index.m_pool.resize(header.occurrences);
    const qint64 entryBytes = qint64(header.entries * sizeof(Entry)),
                 poolBytes = qint64(header.occurrences * sizeof(Occurrence));
    if (file.read(reinterpret_cast<char *>(index.m_entries.data()), entryBytes) != entryBytes
        || file.read(reinterpret_cast<char *>(index.m_pool.data()), poolBytes) != poolBytes)
        return fail(QStringLiteral("cannot be read (%1)").arg(file.errorString()));
    for (Entry &entry : index.m_entries) {
        if (entry.count > maxOccurrences || quint64(entry.first) + entry.count > index.m_pool.size())
            return fail(QStringLiteral("is damaged"));
        entry.flags &= Kept;
    }
    index.m_changed = false;
    return index;
}

CalendarIndex::Entry *CalendarIndex::entryOf(quint64 key)
{
    if (m_next < m_entries.size() && m_entries[m_next].key == key)
        return &m_entries[m_next++];
    if (m_entries.empty())
        return nullptr;
    if (m_slots.empty()) {
        m_bits = 4;
        while ((std::size_t(1) << m_bits) < 2 * m_entries.size())
            ++m_bits;
        m_slots.assign(std::size_t(1) << m_bits, 0);
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            std::size_t slot = firstSlot(m_entries[i].key, m_bits);
            while (m_slots[slot])
                slot = (slot + 1) & (m_slots.size() - 1);
            m_slots[slot] = quint32(i + 1);
        }
    }
    for (std::size_t slot = firstSlot(key, m_bits); m_slots[slot]; slot = (slot + 1) & (m_slots.size() - 1)) {
        const std::size_t index = m_slots[slot] - 1;
        if (m_entries[index].key == key) {
            m_next = index + 1;
            return &m_entries[index];
        }
    }
    return nullptr;
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
    made.count = quint16(std::min<std::size_t>(occurrences.size(), maxOccurrences));
    if (occurrences.size() > std::size_t(maxOccurrences))
        made.windowLength = 0;
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
    const quint32 hash = calendarOf(calendar);
    for (Entry &entry : m_entries) {
        if (entry.calendar == hash && !(entry.flags & Seen)) {
            entry.flags |= Dropped;
            m_changed = true;
        }
    }
}

bool CalendarIndex::save(QString *error)
{
    if (!m_changed)
        return true;
    // Entries met in this run in the order they were met, after the others in their old order;
    // index i >= size stands for m_added[i - size].
    const quint64 size = m_entries.size();
    std::vector<std::pair<quint64, quint32>> ranked;
    ranked.reserve(m_entries.size() + m_added.size());
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Entry &entry = m_entries[i];
        if (!(entry.flags & Dropped))
            ranked.emplace_back(entry.flags & Seen ? size + entry.order : i, quint32(i));
    }
    for (std::size_t i = 0; i < m_added.size(); ++i)
        ranked.emplace_back(size + m_added[i].order, quint32(size + i));
    std::sort(ranked.begin(), ranked.end());
    const auto entryAt = [&](quint32 i) -> const Entry & { return i < size ? m_entries[i] : m_added[i - size]; };

    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    Header header {};
    std::memcpy(header.magic, magic, sizeof magic);
    header.entrySize = sizeof(Entry);
    header.occurrenceSize = sizeof(Occurrence);
    header.entries = ranked.size();
    header.rootSize = quint32(m_root.size());
    for (const auto &item : ranked)
        header.occurrences += entryAt(item.second).count;
    bool written = file.open(QIODevice::WriteOnly)
        && file.write(reinterpret_cast<const char *>(&header), sizeof header) == qint64(sizeof header)
        && file.write(m_root) == m_root.size();
    quint32 first = 0; // the entries' occurrences follow them, in their order
    for (std::size_t i = 0; written && i < ranked.size(); ++i) {
        Entry entry = entryAt(ranked[i].second);
        entry.first = first;
        entry.flags &= Kept;
        first += entry.count;
        written = file.write(reinterpret_cast<const char *>(&entry), sizeof entry) == qint64(sizeof entry);
    }
    for (std::size_t i = 0; written && i < ranked.size(); ++i) {
        const Entry &entry = entryAt(ranked[i].second);
        const qint64 bytes = qint64(entry.count * sizeof(Occurrence));
        written = file.write(reinterpret_cast<const char *>(m_pool.data() + entry.first), bytes) == bytes;
    }
    if (!written || !file.commit()) {
        *error = QStringLiteral("%1: the calendar index cannot be written: %2").arg(m_path, file.errorString());
        return false;
    }
    m_changed = false;
    return true;
}
