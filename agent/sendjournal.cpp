#include "sendjournal.h"

#include "regularfile.h"
#include "xdgpaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A journal larger than this is not one that this program wrote: it is put aside.
constexpr qint64 maxJournalSize = 16 * 1024 * 1024;

const QByteArray sentKind("sent");
const QByteArray refusedKind("refused");
const QByteArray markedKind("marked");
const QByteArray forgetKind("forget");
const QByteArray againKind("again");

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray encoded(const QString &text)
{
    return QUrl::toPercentEncoding(text);
}

QString decoded(const QByteArray &field)
{
    return QUrl::fromPercentEncoding(field);
}

QByteArray timeField(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs).toLatin1();
}

QDateTime timeOf(const QByteArray &field)
{
    return QDateTime::fromString(QString::fromLatin1(field), Qt::ISODateWithMs);
}

QByteArray occurrenceKey(const SendJournal::Occurrence &occurrence)
{
    return encoded(occurrence.calendar) + ' ' + encoded(occurrence.event) + ' ' + timeField(occurrence.start);
}

QByteArray checksum(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Sha1).toHex().left(8);
}

// "kind time fields... checksum\n"
QByteArray line(const QList<QByteArray> &fields)
{
    const QByteArray text = fields.join(' ');
    return text + ' ' + checksum(text) + '\n';
}

} // namespace

SendJournal::SendJournal(const QString &path)
    : m_path(path.isEmpty() ? xdgStateHome() + QStringLiteral("/ruvelant/sent.journal") : path)
{
}

SendJournal::~SendJournal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SendJournal::open(const QDateTime &now, QString *error)
{
    m_now = now;
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        QString ignored;
        read(now, &ignored); // what is there still counts
        *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); // it holds addresses

    // Never lose what cannot be read (a FIFO, a folder, a file far too large): it stays beside
    // the new journal.
    const auto putAside = [this] {
        const QString aside = m_path + QStringLiteral(".unreadable");
        QFile::remove(aside);
        return ::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(aside).constData()) == 0;
    };
    const QByteArray native = QFile::encodeName(m_path);
    struct stat st
    {
    };
    if (::lstat(native.constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        putAside();
    QString why;
    m_fd = RegularFile::openOwn(m_path, O_RDWR | O_APPEND | O_CREAT, 0600, &why, &m_notice);
    QByteArray bytes;
    if (m_fd >= 0 && !RegularFile::readAll(m_fd, maxJournalSize, &bytes, &why)) {
        ::close(m_fd);
        m_fd = putAside() ? RegularFile::openOwn(m_path, O_RDWR | O_APPEND | O_CREAT, 0600, &why) : -1;
        bytes.clear();
    }
    if (m_fd < 0) {
        QString ignored;
        read(now, &ignored);
        *error = QStringLiteral("cannot write %1 (%2)").arg(m_path, why);
        return false;
    }
    // Compaction: the file is made anew with the current records only. Should that fail, the
    // records are still appended to the file as it is.
    if (load(bytes) && RegularFile::replace(m_path, content(), 0600, &why)) {
        ::close(m_fd);
        m_fd = RegularFile::openOwn(m_path, O_WRONLY | O_APPEND | O_CREAT, 0600, &why);
        if (m_fd < 0) {
            *error = QStringLiteral("cannot write %1 (%2)").arg(m_path, why);
            return false;
        }
    }
    return true;
}

bool SendJournal::read(const QDateTime &now, QString *error)
{
    m_now = now;
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(m_path).constData(), &st) != 0)
        return true; // no journal yet
    const int fd = RegularFile::open(m_path, O_RDONLY | O_NOFOLLOW, 0, error);
    if (fd < 0)
        return false;
    QByteArray bytes;
    const bool ok = RegularFile::readAll(fd, maxJournalSize, &bytes, error);
    ::close(fd);
    load(bytes);
    return ok;
}

bool SendJournal::isCurrent(const QDateTime &recorded, const QDateTime &start) const
{
    return (recorded.isValid() && recorded.daysTo(m_now) < staleAfterDays)
        || (start.isValid() && m_now < start.addDays(keptAfterStartDays));
}

bool SendJournal::load(const QByteArray &bytes)
{
    bool dropped = false;
    for (const QByteArray &text : bytes.split('\n')) {
        const int cut = text.lastIndexOf(' ');
        if (cut < 0 || checksum(text.left(cut)) != text.mid(cut + 1)) {
            // A line cut short by a crash, or damaged: left out.
            dropped = dropped || !text.isEmpty();
            continue;
        }
        // Stale records, repeated ones and those of an older kind ("done") go at the next compaction.
        dropped = !apply(text.left(cut).split(' ')) || dropped;
    }
    return dropped || (!bytes.isEmpty() && !bytes.endsWith('\n'));
}

bool SendJournal::apply(const QList<QByteArray> &fields)
{
    const QByteArray &kind = fields.first();
    const QDateTime recorded = fields.size() > 1 ? timeOf(fields.at(1)) : QDateTime();
    // "<kind> <time> <calendar> <event> <start> [<address>|<version>]"
    const bool ofOccurrence = (kind == sentKind && fields.size() == 6) || (kind == markedKind && fields.size() == 6)
        || ((kind == forgetKind || kind == againKind) && fields.size() == 5);
    if (ofOccurrence) {
        const QDateTime start = timeOf(fields.at(4));
        const QByteArray key = fields.mid(2, 3).join(' ');
        if (kind == forgetKind) {
            m_sent.remove(key);
            return false; // nothing of it is written again
        }
        if (!isCurrent(recorded, start))
            return false;
        Sent &sent = m_sent[key];
        sent.occurrence = {decoded(fields.at(2)), decoded(fields.at(3)), start};
        if (kind == againKind) {
            sent = Sent {sent.occurrence, {}, {}, recorded};
            return true;
        }
        if (kind == markedKind) {
            const QByteArray version = QByteArray::fromPercentEncoding(fields.at(5));
            const bool request = sent.requested.isValid();
            sent.requested = QDateTime();
            if (version.isEmpty() || sent.marked.contains(version))
                return request;
            sent.marked.insert(version, recorded);
            return true;
        }
        const QString address = decoded(fields.at(5));
        const QString folded = address.toCaseFolded();
        if (sent.addresses.contains(folded))
            return false;
        sent.addresses.insert(folded, {address, recorded});
        return true;
    }
    if (kind == refusedKind && fields.size() == 4 && isCurrent(recorded)) {
        const QString file = decoded(fields.at(2));
        const bool known = m_refused.contains(file);
        m_refused.insert(file, {fields.at(3), recorded});
        return !known;
    }
    return false;
}

QByteArray SendJournal::content() const
{
    QByteArray content;
    for (auto occurrence = m_sent.cbegin(); occurrence != m_sent.cend(); ++occurrence) {
        // A request first: read back, it forgets what came before it.
        if (occurrence->requested.isValid())
            content += line({againKind, timeField(occurrence->requested), occurrence.key()});
        for (const auto &address : occurrence->addresses)
            content += line({sentKind, timeField(address.second), occurrence.key(), encoded(address.first)});
        for (auto version = occurrence->marked.cbegin(); version != occurrence->marked.cend(); ++version)
            content
                += line({markedKind, timeField(version.value()), occurrence.key(), version.key().toPercentEncoding()});
    }
    for (auto file = m_refused.cbegin(); file != m_refused.cend(); ++file)
        content += line({refusedKind, timeField(file->second), encoded(file.key()), file->first});
    return content;
}

bool SendJournal::append(const QList<QByteArray> &fields, QString *error)
{
    // Remembered as the file will give it back, also when it cannot be written.
    const QByteArray text = line(fields);
    apply(text.left(text.lastIndexOf(' ')).split(' '));
    if (m_fd < 0) {
        *error = QStringLiteral("%1 is not open").arg(m_path);
        return false;
    }
    if (!RegularFile::writeAll(m_fd, text) || ::fdatasync(m_fd) != 0) {
        m_writeFailed = true;
        *error = QStringLiteral("cannot write %1 (%2)").arg(m_path, errnoText());
        return false;
    }
    return true;
}

bool SendJournal::handedOver(const Occurrence &occurrence, const QString &address, const QByteArray &version) const
{
    const auto sent = m_sent.constFind(occurrenceKey(occurrence));
    return sent != m_sent.cend() && sent->addresses.contains(address.toCaseFolded())
        && !isMarkerRemoved(occurrence, version);
}

bool SendJournal::record(const Occurrence &occurrence, const QString &address, QString *error)
{
    return append({sentKind, timeField(m_now), occurrenceKey(occurrence), encoded(address)}, error);
}

bool SendJournal::isMarkerRemoved(const Occurrence &occurrence, const QByteArray &version) const
{
    const auto sent = m_sent.constFind(occurrenceKey(occurrence));
    return sent != m_sent.cend() && !version.isEmpty() && !sent->marked.isEmpty() && !sent->marked.contains(version);
}

bool SendJournal::recordMarked(const Occurrence &occurrence, const QByteArray &version, QString *error)
{
    if (version.isEmpty())
        return true; // a store without versions: the hand-overs stand, as they always did
    return append({markedKind, timeField(m_now), occurrenceKey(occurrence), version.toPercentEncoding()}, error);
}

bool SendJournal::forget(const Occurrence &occurrence, QString *error)
{
    return append({forgetKind, timeField(m_now), occurrenceKey(occurrence)}, error);
}

bool SendJournal::requestAgain(const Occurrence &occurrence, QString *error)
{
    return append({againKind, timeField(m_now), occurrenceKey(occurrence)}, error);
}

QList<SendJournal::Occurrence> SendJournal::requested() const
{
    QList<Occurrence> occurrences;
    for (const Sent &sent : m_sent) {
        if (sent.requested.isValid())
            occurrences.append(sent.occurrence);
    }
    std::sort(occurrences.begin(), occurrences.end(),
              [](const Occurrence &a, const Occurrence &b) { return a.start < b.start; });
    return occurrences;
}

bool SendJournal::isRefused(const QString &file, const QByteArray &fingerprint) const
{
    const auto it = m_refused.constFind(file);
    return it != m_refused.cend() && it->first == fingerprint;
}

bool SendJournal::refuse(const QString &file, const QByteArray &fingerprint, QString *error)
{
    return append({refusedKind, timeField(m_now), encoded(file), fingerprint}, error);
}
