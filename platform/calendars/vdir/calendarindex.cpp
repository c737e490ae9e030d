#include "calendarindex.h"

#include "regularfile.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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
        index.m_storage.reset();
        index.m_entries = nullptr;
        index.m_count = 0;
        index.m_pool = {};
        index.m_keys = KeyTable();
        index.m_next = 0;
        return std::move(index);
    };
    // Never through a symbolic link, and never waiting for the writer of a FIFO.
    if (S_ISLNK(st.st_mode))
        return fail(QStringLiteral("is a symbolic link"));
    QString why;
    const FileDescriptor file(RegularFile::open(path, O_RDONLY | O_NOFOLLOW, 0, &why));
    if (!file.isOpen())
        return fail(QStringLiteral("cannot be read (%1)").arg(why));
    const int fd = file.get();
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
    // Address space only, until read: the file holds that many.
    index.m_storage.reset(new (std::nothrow) char[header.entries * sizeof(Entry)]);
    if (!index.m_storage && header.entries > 0)
        return fail(QStringLiteral("is too large to be read"));
    index.m_entries = reinterpret_cast<Entry *>(index.m_storage.get());
    index.m_keys.reserve(std::size_t(std::min<quint64>(header.entries, 1 << 16)));
    while (index.m_count < header.entries) {
        const std::size_t done = index.m_count;
        const std::size_t more = std::size_t(std::min<quint64>(chunk, header.entries - done));
        if (!readExactly(fd, index.m_entries + done, more * sizeof(Entry)))
            return fail(QStringLiteral("cannot be read"));
        index.m_count += more;
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

void CalendarIndex::KeyTable::reserve(std::size_t keys)
{
    int bits = 4;
    while ((std::size_t(1) << bits) < 2 * keys)
        ++bits;
    if (m_used == 0 && bits > m_bits) {
        m_bits = bits;
        m_slots.assign(std::size_t(1) << bits, 0);
    }
}

void CalendarIndex::KeyTable::grow(int bits, const Entry *entries)
{
    m_bits = bits;
    m_slots.assign(std::size_t(1) << m_bits, 0);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = 0; i < m_used; ++i) {
        std::size_t slot = slotOf(entries[i].key);
        while (m_slots[slot])
            slot = (slot + 1) & mask;
        m_slots[slot] = quint32(i + 1);
    }
}

bool CalendarIndex::KeyTable::insert(quint64 key, quint32 position, const Entry *entries)
{
    if (2 * (m_used + 1) > m_slots.size())
        grow(std::max(m_bits + 1, 4), entries);
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

qint64 CalendarIndex::KeyTable::find(quint64 key, const Entry *entries) const
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
    if (m_next < m_count && m_entries[m_next].key == key)
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
    m_met.push_back(quint32(entry - m_entries));
    return entry->stamp == stamp ? entry : nullptr;
}

bool CalendarIndex::knows(quint64 key, const Stamp &stamp, std::size_t *cursor) const
{
    qint64 position
        = *cursor < m_count && m_entries[*cursor].key == key ? qint64(*cursor) : m_keys.find(key, m_entries);
    if (position < 0)
        return false;
    *cursor = std::size_t(position) + 1;
    return m_entries[position].stamp == stamp;
}

void CalendarIndex::addMet()
{
    for (quint32 position : m_met) {
        const Entry &entry = m_entries[position];
        if (!(entry.flags & Replaced))
            m_output.add(entry, m_pool.data() + entry.first, entry.count);
    }
    m_met.clear();
}

void CalendarIndex::put(const Entry &entry, const std::vector<Occurrence> &occurrences)
{
    m_changed = true;
    if (!m_output.isOpen() && !m_output.open(m_path, m_root))
        return; // save() tells
    if (Entry *old = entryOf(entry.key))
        old->flags |= Replaced;
    addMet();
    Entry made = entry;
    const bool windowed = made.windowLength > 0 && occurrences.size() <= std::size_t(maxOccurrences);
    if (!windowed)
        made.windowLength = 0;
    m_output.add(made, occurrences.data(), windowed ? occurrences.size() : 0);
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
    const auto dropped
        = [this](const Entry &entry) { return !(entry.flags & Seen) && m_listed.contains(entry.calendar); };
    if (!m_changed && std::none_of(m_entries, m_entries + m_count, dropped)) {
        m_met.clear();
        return true;
    }
    if (m_output.isOpen() || m_output.open(m_path, m_root)) {
        addMet();
        for (const Entry *entry = m_entries; entry != m_entries + m_count; ++entry) {
            if (!(entry->flags & (Seen | Replaced)) && !dropped(*entry))
                m_output.add(*entry, m_pool.data() + entry->first, entry->count);
        }
    }
    if (!m_output.commit(m_path, m_root, error))
        return false;
    m_changed = false;
    return true;
}

CalendarIndex::Output::~Output()
{
    if (m_fd.isOpen()) // never committed
        ::unlink(QFile::encodeName(m_path).constData());
}

bool CalendarIndex::Output::open(const QString &index, const QByteArray &root)
{
    if (m_fd.isOpen() || m_error != 0)
        return m_fd.isOpen();
    QDir().mkpath(QFileInfo(index).absolutePath());
    m_path = index + QStringLiteral(".%1.tmp").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    QString why;
    m_fd.reset(RegularFile::open(m_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, &why));
    if (!m_fd.isOpen()) {
        m_error = errno != 0 ? errno : EIO;
        return false;
    }
    m_buffer.reserve(1 << 16);
    const Header header {};
    write(&header, sizeof header); // written again once the counts are known
    write(root.constData(), std::size_t(root.size()));
    return true;
}

void CalendarIndex::Output::write(const void *data, std::size_t bytes)
{
    m_buffer.append(static_cast<const char *>(data), int(bytes));
    if (m_buffer.size() >= (1 << 16)) {
        if (m_error == 0 && !RegularFile::writeAll(m_fd.get(), m_buffer))
            m_error = errno;
        m_buffer.clear();
    }
}

void CalendarIndex::Output::add(Entry entry, const Occurrence *occurrences, std::size_t count)
{
    if (!m_fd.isOpen())
        return;
    entry.first = quint32(m_pool.size());
    entry.count = quint16(count);
    entry.flags &= Kept;
    m_pool.insert(m_pool.end(), occurrences, occurrences + count);
    write(&entry, sizeof entry);
    ++m_entries;
}

bool CalendarIndex::Output::commit(const QString &index, const QByteArray &root, QString *error)
{
    if (m_fd.isOpen()) {
        write(m_pool.data(), m_pool.size() * sizeof(Occurrence));
        if (m_error == 0 && !RegularFile::writeAll(m_fd.get(), m_buffer))
            m_error = errno;
        Header header {};
        std::memcpy(header.magic, magic, sizeof magic);
        header.entrySize = sizeof(Entry);
        header.occurrenceSize = sizeof(Occurrence);
        header.entries = m_entries;
        header.occurrences = m_pool.size();
        header.rootSize = quint32(root.size());
        if (m_error == 0
            && (::pwrite(m_fd.get(), &header, sizeof header, 0) != qint64(sizeof header) || ::fdatasync(m_fd.get()) != 0
                || ::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(index).constData()) != 0))
            m_error = errno;
        m_fd.reset();
        if (m_error != 0)
            ::unlink(QFile::encodeName(m_path).constData());
    }
    if (m_error != 0) {
        *error = QStringLiteral("%1: the calendar index cannot be written: %2")
                     .arg(index, QString::fromLocal8Bit(std::strerror(m_error)));
        return false;
    }
    return true;
}
