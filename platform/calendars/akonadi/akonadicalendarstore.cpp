#include "akonadicalendarstore.h"

#include "akonadiclient.h"
#include "eventseries.h"

#include <Akonadi/CollectionFetchJob>
#include <Akonadi/CollectionFetchScope>
#include <Akonadi/ItemCreateJob>
#include <Akonadi/ItemFetchJob>
#include <Akonadi/ItemFetchScope>
#include <Akonadi/ItemModifyJob>
#include <Akonadi/Monitor>
#include <KCalendarCore/Calendar>

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QSet>
#include <QTimer>

#include <algorithm>

Q_LOGGING_CATEGORY(lcAkonadiCalendars, "ruvelant.calendarstore.akonadi")

const QString AkonadiCalendarStore::uidPrefix = QStringLiteral("akonadi/");

struct AkonadiCalendarStore::Listed
{
    Akonadi::Collection collection;
    QString uid;
    QString title;
};

struct AkonadiCalendarStore::Cached
{
    int revision = 0;
    KCalendarCore::Event::Ptr event;
};

// An occurrence found again: its calendar, the series it belongs to now, and where it is there.
struct AkonadiCalendarStore::Located
{
    Listed calendar;
    std::shared_ptr<const EventSeries> series;
    EventSeries::Occurrence occurrence;
};

namespace {
// Items whose content is read with one job at most.
constexpr int itemsPerJob = 200;

QString eventMimeType()
{
    return KCalendarCore::Event::eventMimeType();
}

// Empty notes read as none, as KCalendarCore keeps no difference between them.
QString notesOf(const KCalendarCore::Event &event)
{
    const QString notes = event.description();
    return notes.isEmpty() ? QString() : notes;
}

QByteArray digest(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(32);
}

// What the occurrence looked like when read: the identity of its notes and times.
QByteArray occurrenceStamp(const QString &uid, const QString &notes, const QDateTime &start, const QDateTime &end)
{
    return digest(uid.toUtf8() + '\n' + QByteArray::number(start.toMSecsSinceEpoch()) + '\n'
                  + QByteArray::number(end.toMSecsSinceEpoch()) + '\n'
                  + (notes.isEmpty() ? QByteArray("-") : 'n' + notes.toUtf8()));
}

// The identity of the series' items as they are now (any change gives a new revision).
QByteArray seriesStamp(const EventSeries &series)
{
    QList<QByteArray> items;
    const auto members = series.members();
    for (const EventSeries::Member &member : members)
        items.append(QByteArray::number(member.itemId) + ':' + QByteArray::number(member.itemRevision));
    std::sort(items.begin(), items.end());
    return digest(items.join(' '));
}

QString participationStatus(KCalendarCore::Attendee::PartStat status)
{
    switch (status) {
    case KCalendarCore::Attendee::NeedsAction:
        return QStringLiteral("NEEDS-ACTION");
    case KCalendarCore::Attendee::Accepted:
        return QStringLiteral("ACCEPTED");
    case KCalendarCore::Attendee::Declined:
        return QStringLiteral("DECLINED");
    case KCalendarCore::Attendee::Tentative:
        return QStringLiteral("TENTATIVE");
    case KCalendarCore::Attendee::Delegated:
        return QStringLiteral("DELEGATED");
    case KCalendarCore::Attendee::Completed:
        return QStringLiteral("COMPLETED");
    case KCalendarCore::Attendee::InProcess:
        return QStringLiteral("IN-PROCESS");
    case KCalendarCore::Attendee::None:
        break;
    }
    return QString();
}

// The attendees as KCalendarCore reads them: an attendee is an e-mail address ("mailto:").
std::optional<QList<Attendee>> attendeesOf(const KCalendarCore::Event &event)
{
    const KCalendarCore::Attendee::List attendees = event.attendees();
    if (attendees.isEmpty())
        return std::nullopt;
    QList<Attendee> out;
    for (const KCalendarCore::Attendee &attendee : attendees)
        out.append({QStringLiteral("mailto:") + attendee.email(), attendee.name(),
                    participationStatus(attendee.status()), attendee.cuTypeStr()});
    return out;
}

// The occurrence's stamp as read, from an event's fingerprint ("<series>-<occurrence>").
QByteArray readStamp(const Event &event)
{
    const int dash = event.origin.fingerprint.indexOf('-');
    return dash < 0 ? QByteArray() : event.origin.fingerprint.mid(dash + 1);
}
} // namespace

AkonadiCalendarStore::AkonadiCalendarStore(std::unique_ptr<AkonadiClient> client) : m_client(std::move(client)) { }

AkonadiCalendarStore::~AkonadiCalendarStore() = default;

void AkonadiCalendarStore::setJobBound(int milliseconds)
{
    m_client->setJobBound(milliseconds);
}

std::unique_ptr<AkonadiCalendarStore> AkonadiCalendarStore::ofRunningServer(int timeoutMs, QString *why)
{
    std::unique_ptr<AkonadiClient> client = AkonadiClient::connect(timeoutMs, why);
    if (!client)
        return nullptr;
    return std::unique_ptr<AkonadiCalendarStore>(new AkonadiCalendarStore(std::move(client)));
}

std::unique_ptr<CalendarStore> makeAkonadiCalendarStore()
{
    return AkonadiCalendarStore::ofRunningServer(AkonadiClient::answerBound);
}

QList<AkonadiCalendarStore::Listed> AkonadiCalendarStore::list(QString *error) const
{
    const std::unique_ptr<Akonadi::CollectionFetchJob> job(
        new Akonadi::CollectionFetchJob(Akonadi::Collection::root(), Akonadi::CollectionFetchJob::Recursive));
    job->fetchScope().setContentMimeTypes({eventMimeType()});
    if (!m_client->run(job.get(), error))
        return {};
    const Akonadi::Collection::List all = job->collections();
    // A remote identifier names a calendar where its resource gives it to one collection only.
    QHash<QString, int> remoteIds;
    for (const Akonadi::Collection &collection : all)
        ++remoteIds[collection.resource() + QLatin1Char('/') + collection.remoteId()];
    QList<Listed> out;
    for (const Akonadi::Collection &collection : all) {
        if (collection.isVirtual() || !collection.contentMimeTypes().contains(eventMimeType()))
            continue;
        const bool named = !collection.remoteId().isEmpty()
            && remoteIds.value(collection.resource() + QLatin1Char('/') + collection.remoteId()) == 1;
        const QString uid = uidPrefix + collection.resource()
            + (named ? QStringLiteral("/r/") + collection.remoteId()
                     : QStringLiteral("/i/") + QString::number(collection.id()));
        const QString title = collection.displayName();
        out.append({collection, uid, title.isEmpty() ? uid : title});
    }
    return out;
}

std::optional<AkonadiCalendarStore::Listed> AkonadiCalendarStore::find(const QString &uid, QString *error) const
{
    if (!uid.startsWith(uidPrefix))
        return std::nullopt;
    const QList<Listed> listed = list(error);
    const auto found
        = std::find_if(listed.cbegin(), listed.cend(), [&](const Listed &calendar) { return calendar.uid == uid; });
    return found == listed.cend() ? std::nullopt : std::optional<Listed>(*found);
}

QList<Calendar> AkonadiCalendarStore::calendars() const
{
    QList<Calendar> result;
    QString error;
    m_client->call([&] {
        const QList<Listed> listed = list(&error);
        for (const Listed &calendar : listed)
            result.append({calendar.uid, calendar.title, CalCalendarTypeLocal});
    });
    if (!error.isEmpty())
        qCWarning(lcAkonadiCalendars, "the Akonadi calendars cannot be listed: %s", qPrintable(error));
    return result;
}

std::optional<Calendar> AkonadiCalendarStore::calendarWithUID(const QString &uid) const
{
    std::optional<Calendar> result;
    if (!uid.startsWith(uidPrefix))
        return result;
    QString error;
    m_client->call([&] {
        if (const auto calendar = find(uid, &error))
            result = Calendar {calendar->uid, calendar->title, CalCalendarTypeLocal};
    });
    if (!error.isEmpty())
        qCWarning(lcAkonadiCalendars, "the Akonadi calendars cannot be listed: %s", qPrintable(error));
    return result;
}

bool AkonadiCalendarStore::refresh(const Listed &calendar, QStringList *warnings, QString *error) const
{
    // The items' revisions tell which ones changed since the last read: only those are read again.
    // An item removed between the two steps fails the second: it is tried once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::unique_ptr<Akonadi::ItemFetchJob> listing(new Akonadi::ItemFetchJob(calendar.collection));
        listing->fetchScope().setFetchModificationTime(false);
        listing->fetchScope().setFetchRemoteIdentification(false);
        if (!m_client->run(listing.get(), error))
            return false;
        const Akonadi::Item::List items = listing->items();
        const QHash<qint64, Cached> known = m_cache.value(calendar.collection.id());
        QHash<qint64, Cached> now;
        Akonadi::Item::List wanted;
        for (const Akonadi::Item &item : items) {
            const auto same = known.constFind(item.id());
            if (same != known.cend() && same->revision == item.revision())
                now.insert(item.id(), *same);
            else if (item.mimeType() == eventMimeType())
                wanted.append(item);
            else
                now.insert(item.id(), {item.revision(), {}});
        }
        bool complete = true;
        for (int i = 0; i < wanted.size() && complete; i += itemsPerJob) {
            const std::unique_ptr<Akonadi::ItemFetchJob> job(new Akonadi::ItemFetchJob(wanted.mid(i, itemsPerJob)));
            job->fetchScope().fetchFullPayload();
            complete = m_client->run(job.get(), error);
            const Akonadi::Item::List read = complete ? job->items() : Akonadi::Item::List();
            for (const Akonadi::Item &item : read) {
                KCalendarCore::Event::Ptr event;
                if (item.hasPayload<KCalendarCore::Incidence::Ptr>())
                    event = item.payload<KCalendarCore::Incidence::Ptr>().dynamicCast<KCalendarCore::Event>();
                if (!event) {
                    warnings->append(QStringLiteral("%1: skipping item %2, it cannot be read as an event")
                                         .arg(calendar.uid)
                                         .arg(item.id()));
                } else {
                    const QStringList limited = EventSeries::limitCount(*event);
                    for (const QString &warning : limited)
                        warnings->append(QStringLiteral("%1: %2: %3").arg(calendar.uid, event->uid(), warning));
                }
                now.insert(item.id(), {item.revision(), event});
            }
        }
        if (complete) {
            m_cache.insert(calendar.collection.id(), now);
            error->clear();
            return true;
        }
    }
    return false;
}

QHash<QString, QList<qint64>> AkonadiCalendarStore::itemsByUid(qint64 collection) const
{
    QHash<QString, QList<qint64>> out;
    const QHash<qint64, Cached> &items = m_cache[collection];
    for (auto it = items.cbegin(); it != items.cend(); ++it) {
        if (it->event)
            out[it->event->uid()].append(it.key());
    }
    for (QList<qint64> &ids : out)
        std::sort(ids.begin(), ids.end());
    return out;
}

EventSeries AkonadiCalendarStore::series(qint64 collection, const QList<qint64> &items) const
{
    QList<EventSeries::Member> members;
    const QHash<qint64, Cached> &cached = m_cache[collection];
    for (qint64 id : items) {
        const Cached &item = cached[id];
        members.append({id, item.revision, item.event});
    }
    return EventSeries(members);
}

Event AkonadiCalendarStore::makeEvent(const EventSeries &series, const QString &calendarUid,
                                      const EventSeries::Occurrence &occurrence) const
{
    const KCalendarCore::Event &source = *occurrence.source->event;
    Event event;
    event.title = source.summary();
    event.startDate = occurrence.start;
    event.endDate = occurrence.end;
    event.notes = notesOf(source);
    event.attendees = attendeesOf(source);
    event.calendarUid = calendarUid;
    event.origin.uid = source.uid();
    event.origin.recurrenceId = occurrence.recurrenceId;
    event.origin.fingerprint
        = seriesStamp(series) + '-' + occurrenceStamp(source.uid(), event.notes, occurrence.start, occurrence.end);
    return event;
}

void AkonadiCalendarStore::report(const QStringList &warnings)
{
    for (const QString &warning : warnings) {
        qCWarning(lcAkonadiCalendars, "%s", qPrintable(warning));
        Q_EMIT problemFound(warning);
    }
}

QList<Event> AkonadiCalendarStore::eventsWithPredicate(const EventPredicate &predicate)
{
    if (!predicate.startDate.isValid() || !predicate.endDate.isValid() || predicate.endDate < predicate.startDate
        || predicate.calendars.isEmpty())
        return {};
    QList<Event> result;
    QStringList warnings;
    m_client->call([&] {
        QString error;
        const QList<Listed> listed = list(&error);
        if (!error.isEmpty()) {
            warnings.append(QStringLiteral("the Akonadi calendars cannot be listed: %1").arg(error));
            return;
        }
        QSet<QString> done;
        for (const Calendar &wanted : predicate.calendars) {
            const auto calendar = std::find_if(listed.cbegin(), listed.cend(),
                                               [&](const Listed &each) { return each.uid == wanted.uid; });
            if (calendar == listed.cend() || done.contains(wanted.uid))
                continue;
            done.insert(wanted.uid);
            if (!refresh(*calendar, &warnings, &error)) {
                warnings.append(QStringLiteral("%1: cannot read the calendar (%2)").arg(calendar->uid, error));
                continue;
            }
            QList<Event> events;
            const QHash<QString, QList<qint64>> byUid = itemsByUid(calendar->collection.id());
            for (auto it = byUid.cbegin(); it != byUid.cend(); ++it) {
                const EventSeries found = series(calendar->collection.id(), it.value());
                const QString where = calendar->uid + QStringLiteral(": ") + it.key();
                const auto occurrences = found.occurrencesIn(predicate.startDate, predicate.endDate, where, &warnings);
                for (const EventSeries::Occurrence &occurrence : occurrences)
                    events.append(makeEvent(found, calendar->uid, occurrence));
            }
            std::sort(events.begin(), events.end(), [](const Event &a, const Event &b) {
                return std::tie(a.startDate, a.origin.uid, a.origin.recurrenceId)
                    < std::tie(b.startDate, b.origin.uid, b.origin.recurrenceId);
            });
            result += events;
        }
    });
    report(warnings);
    return result;
}

std::optional<AkonadiCalendarStore::Located> AkonadiCalendarStore::locate(const Event &event, QStringList *warnings,
                                                                          Error *error) const
{
    QString message;
    const auto calendar = find(event.calendarUid, &message);
    if (!calendar) {
        *error = message.isEmpty()
            ? Error {EventNotFound, QStringLiteral("the calendar is gone")}
            : Error {WriteFailed, QStringLiteral("the Akonadi calendars cannot be listed: %1").arg(message)};
        return std::nullopt;
    }
    if (!refresh(*calendar, warnings, &message)) {
        *error = Error {WriteFailed, QStringLiteral("the calendar cannot be read: %1").arg(message)};
        return std::nullopt;
    }
    const QList<qint64> items = itemsByUid(calendar->collection.id()).value(event.origin.uid);
    auto found = std::make_shared<const EventSeries>(series(calendar->collection.id(), items));
    bool ambiguous = false;
    const auto occurrence = found->occurrence(event.origin.recurrenceId, &ambiguous);
    if (!occurrence) {
        *error = ambiguous ? Error {NotSupported, QStringLiteral("the calendar holds this event more than once")}
                           : Error {EventNotFound, QStringLiteral("the calendar holds no such event")};
        return std::nullopt;
    }
    return Located {*calendar, found, *occurrence};
}

bool AkonadiCalendarStore::saveEvent(const Event &event, Span span, Error *error)
{
    Error failure;
    QStringList warnings;
    bool saved = false;
    if (span != CalSpanThisEvent && event.origin.recurrenceId.isValid())
        failure = {NotSupported, QStringLiteral("only one occurrence of a repeating event can be saved")};
    else
        m_client->call([&] {
            const auto located = locate(event, &warnings, &failure);
            if (!located)
                return;
            const EventSeries::Occurrence &occurrence = located->occurrence;
            const KCalendarCore::Event &source = *occurrence.source->event;
            const Akonadi::Collection &collection = located->calendar.collection;
            const auto needed
                = occurrence.own ? Akonadi::Collection::CanChangeItem : Akonadi::Collection::CanCreateItem;
            if (!(collection.rights() & needed)) {
                failure = {ReadOnly, QStringLiteral("the calendar \"%1\" is read-only").arg(located->calendar.title)};
                return;
            }
            // The occurrence must be as it was read (or as this store's own saves left it).
            const QByteArray current = occurrenceStamp(source.uid(), notesOf(source), occurrence.start, occurrence.end);
            QByteArray known = readStamp(event);
            for (int step = 0; known != current && m_ownWrites.contains(known) && step <= m_ownWrites.size(); ++step)
                known = m_ownWrites.value(known);
            if (known != current) {
                failure = {ChangedOnDisk, QStringLiteral("the event changed since it was read")};
                return;
            }
            if (source.thisAndFuture()) {
                failure = {NotSupported,
                           QStringLiteral("the occurrence takes its properties from a change of this and all later "
                                          "occurrences, which is not changed for one occurrence alone")};
                return;
            }
            KCalendarCore::Incidence::Ptr changed;
            if (occurrence.own) {
                changed.reset(source.clone());
            } else {
                // A new override of the occurrence, made as KOrganizer makes one.
                changed = KCalendarCore::Calendar::createException(occurrence.source->event, occurrence.recurrenceId);
                auto *copy = static_cast<KCalendarCore::Event *>(changed.data());
                if (copy && !copy->allDay()) // an RDATE with a PERIOD gives the occurrence its own length
                    copy->setDtEnd(copy->dtStart().addSecs(occurrence.start.secsTo(occurrence.end)));
            }
            if (!changed) {
                failure = {WriteFailed, QStringLiteral("the occurrence cannot be copied")};
                return;
            }
            changed->setDescription(event.notes);
            Akonadi::Item item;
            item.setMimeType(eventMimeType());
            item.setPayload<KCalendarCore::Incidence::Ptr>(changed);
            std::unique_ptr<KJob> job;
            if (occurrence.own) {
                item.setId(occurrence.source->itemId);
                item.setRevision(occurrence.source->itemRevision);
                job.reset(new Akonadi::ItemModifyJob(item));
            } else {
                job.reset(new Akonadi::ItemCreateJob(item, collection));
            }
            QString message;
            if (!m_client->run(job.get(), &message)) {
                // The server refuses a change of an item changed since it was read.
                failure = {message.contains(QLatin1String("LLCONFLICT")) ? ChangedOnDisk : WriteFailed, message};
                return;
            }
            m_ownWrites.insert(current, occurrenceStamp(source.uid(), event.notes, occurrence.start, occurrence.end));
            saved = true;
        });
    report(warnings);
    if (saved)
        return true;
    qCWarning(lcAkonadiCalendars, "%s: %s: not saved, %s", qPrintable(event.calendarUid), qPrintable(event.origin.uid),
              qPrintable(failure.message));
    if (error)
        *error = failure;
    return false;
}

bool AkonadiCalendarStore::isReadOnly(const Event &event) const
{
    bool readOnly = false;
    QStringList warnings;
    m_client->call([&] {
        Error failure;
        if (const auto located = locate(event, &warnings, &failure)) {
            const auto needed
                = located->occurrence.own ? Akonadi::Collection::CanChangeItem : Akonadi::Collection::CanCreateItem;
            readOnly = !(located->calendar.collection.rights() & needed);
            return;
        }
        QString error;
        if (const auto calendar = find(event.calendarUid, &error))
            readOnly = !(calendar->collection.rights()
                         & (Akonadi::Collection::CanChangeItem | Akonadi::Collection::CanCreateItem));
    });
    return readOnly;
}

std::optional<Event> AkonadiCalendarStore::currentEvent(const Event &event)
{
    std::optional<Event> result;
    QStringList warnings;
    m_client->call([&] {
        Error failure;
        const auto located = locate(event, &warnings, &failure);
        if (!located)
            return;
        const EventSeries::Occurrence &occurrence = located->occurrence;
        if (occurrence.source->event->status() == KCalendarCore::Incidence::StatusCanceled)
            return;
        // A single event that moved is another event for whoever read it.
        if (!event.origin.recurrenceId.isValid() && occurrence.start != event.startDate)
            return;
        result = makeEvent(*located->series, event.calendarUid, occurrence);
    });
    report(warnings);
    return result;
}

void AkonadiCalendarStore::connectNotify(const QMetaMethod &signal)
{
    if (signal != QMetaMethod::fromSignal(&CalendarStore::calendarsChangedExternally) || m_watching)
        return;
    m_watching = true;
    m_client->call([this] {
        QObject *context = m_client->context();
        QString error;
        const QList<Listed> listed = list(&error);
        for (const Listed &calendar : listed)
            m_known.insert(calendar.uid, calendar.title);
        auto *monitor = new Akonadi::Monitor(context);
        monitor->setCollectionMonitored(Akonadi::Collection::root());
        monitor->setTypeMonitored(Akonadi::Monitor::Collections);
        auto *rescanTimer = new QTimer(context);
        rescanTimer->setSingleShot(true);
        rescanTimer->setInterval(100); // a burst of changes is looked at once
        QObject::connect(rescanTimer, &QTimer::timeout, context, [this] { rescan(); });
        const auto later = [rescanTimer] { rescanTimer->start(); };
        QObject::connect(monitor, &Akonadi::Monitor::collectionAdded, rescanTimer, later);
        QObject::connect(monitor, qOverload<const Akonadi::Collection &>(&Akonadi::Monitor::collectionChanged),
                         rescanTimer, later);
        QObject::connect(monitor, &Akonadi::Monitor::collectionRemoved, rescanTimer, later);
        QObject::connect(monitor, &Akonadi::Monitor::collectionMoved, rescanTimer, later);
        QObject::connect(monitor, &Akonadi::Monitor::collectionSubscribed, rescanTimer, later);
        QObject::connect(monitor, &Akonadi::Monitor::collectionUnsubscribed, rescanTimer, later);
    });
}

void AkonadiCalendarStore::rescan()
{
    QString error;
    const QList<Listed> listed = list(&error);
    if (!error.isEmpty()) {
        qCWarning(lcAkonadiCalendars, "the Akonadi calendars cannot be listed: %s", qPrintable(error));
        return;
    }
    QMap<QString, QString> now;
    for (const Listed &calendar : listed)
        now.insert(calendar.uid, calendar.title);
    QStringList inserted, deleted, updated;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const auto before = m_known.constFind(it.key());
        if (before == m_known.cend())
            inserted.append(it.key());
        else if (before.value() != it.value())
            updated.append(it.key());
    }
    for (auto it = m_known.cbegin(); it != m_known.cend(); ++it) {
        if (!now.contains(it.key()))
            deleted.append(it.key());
    }
    m_known = now;
    // One notification per calendar, as the other stores give them.
    const QPair<QString, QStringList> changes[]
        = {{CalDeletedRecordsKey, deleted}, {CalInsertedRecordsKey, inserted}, {CalUpdatedRecordsKey, updated}};
    for (const auto &change : changes) {
        for (const QString &uid : change.second)
            Q_EMIT calendarsChangedExternally(QVariantMap {{change.first, QStringList {uid}}});
    }
}
