#include "vdircalendarstore.h"

#include "calendarindex.h"
#include "folderlisting.h"
#include "regularfile.h"
#include "vdirfilereplace.h"
#include "vdirnotesedit.h"
#include "vdiroccurrences.h"
#include "vdirparsedfile.h"

#include <KCalendarCore/Recurrence>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcCalendarStore, "ruvelant.calendarstore")

using namespace vdir;

namespace {
bool readBytes(const QString &path, QByteArray *bytes, QString *error)
{
    return RegularFile::read(path, VdirCalendarStore::maxFileSize, bytes, error);
}
} // namespace

VdirCalendarStore::VdirCalendarStore(const QString &root, QObject *parent)
    : CalendarStore(parent)
    , m_root(QDir::cleanPath(root))
    , m_indexPath(CalendarIndex::defaultPath(m_root))
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch() * 1000000LL; })
{
}

void VdirCalendarStore::setClock(const std::function<qint64()> &now)
{
    m_clock = now;
}

void VdirCalendarStore::removeLeftovers(const QString &folder)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0)
        return;
    const QPair<quint64, quint64> id {quint64(info.st_dev), quint64(info.st_ino)};
    auto known = m_leftovers.find(id);
    if (known == m_leftovers.end()) { // a folder that no query listed (reached through a link)
        const auto temporaries = [](const char *name, std::size_t length) {
            return isSaveTemporary(name, length) ? FolderListing::Keep : FolderListing::Skip;
        };
        known = m_leftovers.insert(id, FolderListings({folder}, temporaries)[0].kept());
    }
    removeLeftoverTemporaries(folder, *known);
    known->clear();
}

VdirCalendarStore::~VdirCalendarStore() = default;

QString VdirCalendarStore::titleOf(const QString &uid) const
{
    QString title;
    QByteArray bytes;
    QString error;
    const QString path = m_root + QLatin1Char('/') + uid + QStringLiteral("/displayname");
    if (RegularFile::read(path, 4096, &bytes, &error))
        // The first line; vdirsyncer writes the name without a line break. Drops a byte order mark.
        title = QString::fromUtf8(bytes.indexOf('\n') < 0 ? bytes : bytes.left(bytes.indexOf('\n'))).trimmed();
    else if (QFileInfo::exists(path))
        qCWarning(lcCalendarStore, "%s: not read, %s", qPrintable(path), qPrintable(error));
    return title.isEmpty() ? uid : title;
}

QMap<QString, QString> VdirCalendarStore::scanCalendars() const
{
    QMap<QString, QString> result;
    const QStringList folders = QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &folder : folders)
        result.insert(folder, titleOf(folder));
    return result;
}

QList<Calendar> VdirCalendarStore::calendars() const
{
    QList<Calendar> result;
    const QMap<QString, QString> found = scanCalendars();
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        result.append({it.key(), it.value(), CalCalendarTypeLocal});
    return result;
}

std::optional<Calendar> VdirCalendarStore::calendarWithUID(const QString &uid) const
{
    if (!isCollectionName(uid) || !QFileInfo(m_root + QLatin1Char('/') + uid).isDir())
        return std::nullopt;
    return Calendar {uid, titleOf(uid), CalCalendarTypeLocal};
}

bool VdirCalendarStore::saveEvent(const Event &event, Span span, Error *error)
{
    const QString path = event.origin.filePath;
    auto fail = [&](int code, const QString &message) {
        qCWarning(lcCalendarStore, "%s: not saved, %s", qPrintable(path), qPrintable(message));
        if (error)
            *error = Error {code, message};
        return false;
    };
    if (path.isEmpty() || !QFileInfo::exists(path))
        return fail(EventNotFound, QStringLiteral("the event's file is gone"));
    if (span != CalSpanThisEvent && event.origin.recurrenceId.isValid())
        return fail(NotSupported, QStringLiteral("only one occurrence of a repeating event can be saved"));

    // Through a symbolic link: the link stays, its target gets the new content.
    const QString target = QFileInfo(path).canonicalFilePath();
    const QString readOnly = readOnlyReason(target);
    if (!readOnly.isEmpty())
        return fail(ReadOnly, readOnly);
    QByteArray bytes;
    QString message;
    if (!readBytes(target, &bytes, &message))
        return fail(WriteFailed, message);
    const QByteArray current = fingerprintOf(bytes);
    QByteArray known = event.origin.fingerprint;
    const QHash<QByteArray, QByteArray> ownWrites = m_ownWrites.value(target);
    for (int step = 0; known != current && ownWrites.contains(known) && step <= ownWrites.size(); ++step)
        known = ownWrites.value(known);
    if (known != current)
        return fail(ChangedOnDisk, QStringLiteral("the file changed since the event was read"));

    QStringList ignored; // the query that read the event has reported them
    const std::optional<ParsedFile> file = parseFile(target, bytes, &message, &ignored);
    if (!file)
        return fail(WriteFailed, message);
    const ParsedEvent *master = nullptr;
    bool ambiguous = false;
    const ParsedEvent *found = findEvent(*file, event.origin.uid, event.origin.recurrenceId, &master, &ambiguous);
    if (ambiguous)
        return fail(NotSupported, QStringLiteral("the file holds this event more than once"));
    if (!found && !(event.origin.recurrenceId.isValid() && master && master->event->recurs()))
        return fail(EventNotFound, QStringLiteral("the file holds no such event"));
    std::pair<QDateTime, QDateTime> kept; // the occurrence's span, which the edits must keep
    int added = 0; // components
    const auto edits = notesEdit(*file, event, found, master, &kept, &added, &message);
    if (!edits)
        return fail(NotSupported, message);
    if (added && file->text.isBare() && file->text.isDamaged())
        return fail(NotSupported,
                    QStringLiteral("the file holds content beside its events that a VCALENDAR put "
                                   "around them would take in"));
    const QByteArray changed = file->text.bytes(added && file->text.isBare() ? wrapped(file->text, *edits) : *edits);

    // The new content must read back with the new notes, and the occurrence where it was, before
    // it replaces the old.
    const std::optional<ParsedFile> check = parseFile(target, changed, &message, &ignored);
    if (!check || !readsBack(*check, *file, event, added, kept))
        return fail(WriteFailed, QStringLiteral("the edited file would not read back as intended"));

    removeLeftovers(QFileInfo(target).absolutePath());
    bool writtenMeanwhile = false;
    if (!replaceFile(target, changed, current, &writtenMeanwhile, &message))
        return fail(writtenMeanwhile ? ChangedOnDisk : WriteFailed, message);
    m_ownWrites[target].insert(current, check->fingerprint);
    return true;
}

std::optional<Event> VdirCalendarStore::currentEvent(const Event &event)
{
    QByteArray bytes;
    QString error;
    QStringList ignored;
    const QString target = QFileInfo(event.origin.filePath).canonicalFilePath();
    if (target.isEmpty() || !readBytes(target, &bytes, &error))
        return std::nullopt;
    const std::optional<ParsedFile> file = parseFile(event.origin.filePath, bytes, &error, &ignored);
    if (!file)
        return std::nullopt;
    const ParsedEvent *master = nullptr;
    bool ambiguous = false;
    const QDateTime &recurrenceId = event.origin.recurrenceId;
    const ParsedEvent *found = findEvent(*file, event.origin.uid, recurrenceId, &master, &ambiguous);
    if (ambiguous)
        return std::nullopt;
    if (found) {
        const auto span = occurrenceSpan(*found->event, found->event->dtStart());
        if (found->cancelled || (!recurrenceId.isValid() && span.first != event.startDate))
            return std::nullopt;
        return makeEvent(*file, *found, event.calendarUid, span, recurrenceId);
    }
    if (!recurrenceId.isValid() || !master || !master->event->recurs()
        || !master->event->recurrence()->recursAt(recurrenceId))
        return std::nullopt;
    const Occurrence occurrence = occurrenceAt(*file, *master, recurrenceId);
    if (occurrence.source->cancelled)
        return std::nullopt;
    return makeEvent(*file, *occurrence.source, event.calendarUid, occurrence.span, recurrenceId);
}
