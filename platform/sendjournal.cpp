#include "sendjournal.h"

#include "regularfile.h"
#include "xdgpaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
// A journal larger than this is not one that this program wrote: it is put aside.
constexpr qint64 maxJournalSize = 16 * 1024 * 1024;

const QByteArray sentKind("sent");
const QByteArray doneKind("done");
const QByteArray refusedKind("refused");

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
        *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); // it holds addresses

    QByteArray bytes;
    QString why;
    if (QFileInfo::exists(m_path) && !RegularFile::read(m_path, maxJournalSize, &bytes, &why)) {
        // Never lose what cannot be read: it stays beside the new journal.
        const QString aside = m_path + QStringLiteral(".unreadable");
        QFile::remove(aside);
        if (!QFile::rename(m_path, aside)) {
            *error = QStringLiteral("cannot read %1 (%2)").arg(m_path, why);
            return false;
        }
    }
    if (load(bytes) && !rewrite(error))
        return false;
    m_fd = RegularFile::open(m_path, O_WRONLY | O_APPEND | O_CREAT, 0600, error);
    return m_fd >= 0;
}

bool SendJournal::read(const QDateTime &now, QString *error)
{
    m_now = now;
    QByteArray bytes;
    if (QFileInfo::exists(m_path) && !RegularFile::read(m_path, maxJournalSize, &bytes, error))
        return false;
    load(bytes);
    return true;
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
        const QList<QByteArray> fields = text.left(cut).split(' ');
        const QDateTime recorded = fields.size() > 1
            ? QDateTime::fromString(QString::fromLatin1(fields.at(1)), Qt::ISODateWithMs)
            : QDateTime();
        // A "done" record only removes: it applies whatever its age, and is not kept.
        const bool current = recorded.isValid() && recorded.daysTo(m_now) < staleAfterDays;
        if (current || (recorded.isValid() && fields.first() == doneKind))
            apply(fields);
        dropped = dropped || !current || fields.first() == doneKind;
    }
    return dropped || (!bytes.isEmpty() && !bytes.endsWith('\n'));
}

void SendJournal::apply(const QList<QByteArray> &fields)
{
    const QDateTime recorded = QDateTime::fromString(QString::fromLatin1(fields.at(1)), Qt::ISODateWithMs);
    if (fields.first() == sentKind && fields.size() == 6) {
        auto &entry = m_sent[fields.mid(2, 3).join(' ')][decoded(fields.at(5))];
        entry.first += 1;
        entry.second = recorded;
    } else if (fields.first() == doneKind && fields.size() == 5) {
        m_sent.remove(fields.mid(2, 3).join(' '));
    } else if (fields.first() == refusedKind && fields.size() == 4) {
        m_refused.insert(decoded(fields.at(2)), {fields.at(3), recorded});
    }
}

bool SendJournal::rewrite(QString *error)
{
    QByteArray content;
    for (auto occurrence = m_sent.cbegin(); occurrence != m_sent.cend(); ++occurrence) {
        for (auto address = occurrence->cbegin(); address != occurrence->cend(); ++address) {
            for (int n = 0; n < address->first; ++n) {
                content += line({sentKind, timeField(address->second), occurrence.key(), encoded(address.key())});
            }
        }
    }
    for (auto file = m_refused.cbegin(); file != m_refused.cend(); ++file)
        content += line({refusedKind, timeField(file->second), encoded(file.key()), file->first});
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1 (%2)").arg(m_path, file.errorString());
        return false;
    }
    return true;
}

bool SendJournal::append(const QList<QByteArray> &fields, QString *error)
{
    apply(fields);
    if (m_fd < 0) {
        *error = QStringLiteral("%1 is not open").arg(m_path);
        return false;
    }
    if (!RegularFile::writeAll(m_fd, line(fields)) || ::fdatasync(m_fd) != 0) {
        *error = QStringLiteral("cannot write %1 (%2)").arg(m_path, errnoText());
        return false;
    }
    return true;
}

int SendJournal::handedOver(const Occurrence &occurrence, const QString &address) const
{
    return m_sent.value(occurrenceKey(occurrence)).value(address).first;
}

bool SendJournal::record(const Occurrence &occurrence, const QString &address, QString *error)
{
    return append({sentKind, timeField(m_now), occurrenceKey(occurrence), encoded(address)}, error);
}

bool SendJournal::forget(const Occurrence &occurrence, QString *error)
{
    if (!m_sent.contains(occurrenceKey(occurrence)))
        return true;
    return append({doneKind, timeField(m_now), occurrenceKey(occurrence)}, error);
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
