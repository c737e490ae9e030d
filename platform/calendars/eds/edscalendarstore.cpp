#include "edscalendarstore.h"

#include "edsoccurrences.h"
#include "edssession.h"

#include <QCollator>
#include <QCryptographicHash>
#include <QHash>
#include <QLoggingCategory>
#include <QMap>
#include <QMetaMethod>
#include <QMutex>
#include <QTimeZone>
#include <QTimer>

#include <algorithm>

namespace {
// Its debug lines (enabled with QT_LOGGING_RULES) repeat what the signals tell.
Q_LOGGING_CATEGORY(lcEdsCalendars, "ruvelant.calendarstore.eds", QtWarningMsg)

// What a job found out about one calendar, besides its answer.
struct Opened
{
    GRef<ECalClient> client;
    QString title;
    bool local = false; // a calendar of this computer (EDS's file backend)
    bool gone = false; // no such calendar (any more)
    bool offline = false; // its server cannot be reached
    QString error; // it could not be opened
};

QString sourceUidOf(const QString &calendarUid)
{
    return calendarUid.mid(EdsCalendarStore::uidPrefix.size());
}

// The local zone, in which floating times and dates are read, as libical knows it; UTC when it
// does not know the system's zone.
ICalTimezone *localZone()
{
    ICalTimezone *zone = i_cal_timezone_get_builtin_timezone(QTimeZone::systemTimeZoneId().constData());
    return zone ? zone : i_cal_timezone_get_utc_timezone();
}

// The calendar of an enabled calendar source.
Calendar calendarOf(ESourceRegistry *registry, ESource *source)
{
    Calendar calendar;
    calendar.uid = EdsCalendarStore::uidPrefix + QString::fromUtf8(e_source_get_uid(source));
    gchar *title = e_source_dup_display_name(source);
    calendar.title = QString::fromUtf8(title);
    g_free(title);
    if (calendar.title.isEmpty())
        calendar.title = calendar.uid;
    calendar.type = CalendarStore::CalCalendarTypeLocal;
    calendar.kind = EdsCalendarStore::kindName;
    if (const gchar *parentUid = e_source_get_parent(source)) {
        GRef<ESource> parent = GRef<ESource>::take(e_source_registry_ref_source(registry, parentUid));
        if (parent) {
            gchar *name = e_source_dup_display_name(parent.get());
            calendar.account = QString::fromUtf8(name);
            g_free(name);
        }
    }
    return calendar;
}

// The enabled calendar source of a calendar's identifier, if there is one.
GRef<ESource> enabledSource(ESourceRegistry *registry, const QString &sourceUid)
{
    GRef<ESource> source = GRef<ESource>::take(e_source_registry_ref_source(registry, sourceUid.toUtf8().constData()));
    if (!source || !e_source_has_extension(source.get(), E_SOURCE_EXTENSION_CALENDAR)
        || !e_source_registry_check_enabled(registry, source.get()))
        return GRef<ESource>();
    return source;
}

// Opens the calendar on the session's thread, or takes the client opened before.
Opened open(ESourceRegistry *registry, GCancellable *cancellable, const QString &sourceUid,
            const GRef<ECalClient> &known)
{
    Opened opened;
    const GRef<ESource> source = enabledSource(registry, sourceUid);
    if (!source) {
        opened.gone = true;
        return opened;
    }
    gchar *title = e_source_dup_display_name(source.get());
    opened.title = QString::fromUtf8(title);
    g_free(title);
    auto *backend = static_cast<ESourceBackend *>(e_source_get_extension(source.get(), E_SOURCE_EXTENSION_CALENDAR));
    const char *backendName = e_source_backend_get_backend_name(backend);
    opened.local = g_strcmp0(backendName, "local") == 0;
    // Only a calendar on a server gets connected: for the others there is nothing to wait for.
    const bool remote = !opened.local && g_strcmp0(backendName, "contacts") != 0;
    opened.client = known;
    if (!opened.client) {
        GErrorHolder error;
        const guint32 wait = remote ? guint32(EdsSession::connectWait.count()) : guint32(-1);
        EClient *client
            = e_cal_client_connect_sync(source.get(), E_CAL_CLIENT_SOURCE_TYPE_EVENTS, wait, cancellable, error.out());
        if (!client) {
            opened.error = error.message();
            return opened;
        }
        opened.client = GRef<ECalClient>::take(E_CAL_CLIENT(client));
        e_cal_client_set_default_timezone(opened.client.get(), localZone());
    }
    // A calendar on a server counts as offline also while the network is up but its server cannot
    // be reached: EDS then answers from what it kept of the calendar, which may be old.
    opened.offline = !e_client_is_online(E_CLIENT(opened.client.get()))
        || (remote && e_source_get_connection_status(source.get()) != E_SOURCE_CONNECTION_STATUS_CONNECTED);
    return opened;
}

QByteArray fingerprintOf(ICalComponent *component)
{
    gchar *text = i_cal_component_as_ical_string(component);
    const QByteArray bytes(text);
    g_free(text);
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QString textOf(const gchar *text)
{
    return text ? QString::fromUtf8(text) : QString();
}

QString parameterOf(ICalProperty *property, const char *name)
{
    gchar *value = i_cal_property_get_parameter_as_string(property, name);
    const QString text = textOf(value);
    g_free(value);
    return text;
}

// A URL with its scheme in lower case ("MAILTO:x" is "mailto:x", as Outlook writes it), the rest as
// it is; as the vdir store reads attendees.
QString withLowerCaseScheme(QString url)
{
    const int colon = url.indexOf(QLatin1Char(':'));
    if (colon > 0) {
        const QString scheme = url.left(colon);
        const bool isScheme = std::all_of(scheme.cbegin(), scheme.cend(), [](QChar c) {
            return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
                || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('+') || c == QLatin1Char('-')
                || c == QLatin1Char('.');
        });
        if (isScheme)
            url.replace(0, colon, scheme.toLower());
    }
    return url;
}

// The occurrence as the system's code reads events.
Event eventOf(const EdsOccurrence &occurrence, const QString &calendarUid)
{
    ICalComponent *component = occurrence.source.get();
    Event event;
    event.title = textOf(i_cal_component_get_summary(component));
    event.startDate = occurrence.start;
    event.endDate = occurrence.end;
    if (GRef<ICalProperty> description
        = GRef<ICalProperty>::take(i_cal_component_get_first_property(component, I_CAL_DESCRIPTION_PROPERTY))) {
        event.notes = textOf(i_cal_property_get_description(description.get()));
        if (event.notes.isNull())
            event.notes = QLatin1String("");
    }
    QList<Attendee> attendees;
    for (ICalProperty *property = i_cal_component_get_first_property(component, I_CAL_ATTENDEE_PROPERTY); property;
         property = i_cal_component_get_next_property(component, I_CAL_ATTENDEE_PROPERTY)) {
        attendees.append({withLowerCaseScheme(textOf(i_cal_property_get_attendee(property))),
                          parameterOf(property, "CN"), parameterOf(property, "PARTSTAT"),
                          parameterOf(property, "CUTYPE")});
        g_object_unref(property);
    }
    if (!attendees.isEmpty())
        event.attendees = attendees;
    event.calendarUid = calendarUid;
    event.origin.uid = textOf(i_cal_component_get_uid(component));
    event.origin.recurrenceId = occurrence.recurrenceId;
    event.origin.fingerprint = fingerprintOf(component);
    return event;
}

// Every component EDS holds for an event UID: its master and overrides.
bool componentsOf(ECalClient *client, const QByteArray &uid, GCancellable *cancellable,
                  QList<GRef<ICalComponent>> *components, GErrorHolder *error)
{
    GSList *found = nullptr;
    if (!e_cal_client_get_objects_for_uid_sync(client, uid.constData(), &found, cancellable, error->out()))
        return false;
    for (GSList *item = found; item; item = item->next)
        components->append(GRef<ICalComponent>::share(e_cal_component_get_icalcomponent(E_CAL_COMPONENT(item->data))));
    g_slist_free_full(found, g_object_unref);
    return true;
}

QList<ICalComponent *> pointers(const QList<GRef<ICalComponent>> &components)
{
    QList<ICalComponent *> result;
    for (const GRef<ICalComponent> &component : components)
        result.append(component.get());
    return result;
}

QByteArray isoTime(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
}

// What one calendar's query found.
struct Found
{
    Opened opened;
    QList<Event> events;
    QStringList problems;
};

// One calendar's occurrences in [from, to]: EDS's query gives the events that have one there; of
// a repeating event, every override is read too, since one that moved an occurrence away from the
// range removes it. EDS's file backend (the calendars of this computer) answers a query for a
// range from an index of the events' times that misses an override made since it loaded the
// calendar, and an RDATE before DTSTART: it is asked for every repeating event as well, which
// gives each one's master and overrides at once.
Found query(ESourceRegistry *registry, GCancellable *cancellable, const QString &calendarUid,
            const GRef<ECalClient> &known, const QDateTime &from, const QDateTime &to)
{
    Found found;
    found.opened = open(registry, cancellable, sourceUidOf(calendarUid), known);
    if (!found.opened.client || found.opened.offline)
        return found;
    ECalClient *client = found.opened.client.get();
    ICalTimezone *zone = localZone();
    const QByteArray range = "(occur-in-time-range? (make-time \"" + isoTime(from) + "\") (make-time \"" + isoTime(to)
        + "\") \"" + QByteArray(i_cal_timezone_get_location(zone) ? i_cal_timezone_get_location(zone) : "UTC") + "\")";
    const QByteArray sexp = found.opened.local ? "(or " + range + " (has-recurrences?))" : range;
    GSList *listed = nullptr;
    GErrorHolder error;
    if (!e_cal_client_get_object_list_as_comps_sync(client, sexp.constData(), &listed, cancellable, error.out())) {
        found.opened.error = error.message();
        return found;
    }
    QMap<QByteArray, QList<GRef<ICalComponent>>> byUid;
    for (GSList *item = listed; item; item = item->next) {
        ICalComponent *component = e_cal_component_get_icalcomponent(E_CAL_COMPONENT(item->data));
        byUid[QByteArray(i_cal_component_get_uid(component))].append(GRef<ICalComponent>::share(component));
    }
    g_slist_free_full(listed, g_object_unref);
    const EdsOccurrences expansion(e_cal_client_tzlookup_cb, client, zone, cancellable);
    for (auto it = byUid.begin(); it != byUid.end(); ++it) {
        const bool repeats = std::any_of(it->cbegin(), it->cend(), [](const GRef<ICalComponent> &component) {
            return e_cal_util_component_has_recurrences(component.get())
                || e_cal_util_component_is_instance(component.get());
        });
        if (repeats && !found.opened.local) {
            QList<GRef<ICalComponent>> all;
            GErrorHolder missing;
            if (componentsOf(client, it.key(), cancellable, &all, &missing))
                *it = all;
            else
                found.problems.append(QStringLiteral("%1: event %2: its overrides are not read, %3")
                                          .arg(found.opened.title, QString::fromUtf8(it.key()), missing.message()));
        }
        QList<EdsOccurrence> occurrences;
        QString problem;
        if (!expansion.inRange(pointers(*it), from, to, &occurrences, &problem))
            found.problems.append(
                QStringLiteral("%1: event %2: %3").arg(found.opened.title, QString::fromUtf8(it.key()), problem));
        for (const EdsOccurrence &occurrence : std::as_const(occurrences))
            found.events.append(eventOf(occurrence, calendarUid));
        if (g_cancellable_is_cancelled(cancellable))
            break;
    }
    std::stable_sort(found.events.begin(), found.events.end(), [](const Event &a, const Event &b) {
        return a.startDate != b.startDate ? a.startDate < b.startDate : a.origin.uid < b.origin.uid;
    });
    return found;
}

// What a save, or a look at the occurrence as it is now, found.
struct Saved
{
    Opened opened;
    int code = CalendarStore::NoError;
    QString message;
    std::optional<Event> current;
};

// The occurrence of the event as EDS holds it now, if it still has it.
std::optional<EdsOccurrence> occurrenceNow(ECalClient *client, GCancellable *cancellable, const Event &event,
                                           QList<GRef<ICalComponent>> *components, Saved *saved)
{
    GErrorHolder error;
    if (!componentsOf(client, event.origin.uid.toUtf8(), cancellable, components, &error)) {
        const bool gone = g_error_matches(error.error, E_CAL_CLIENT_ERROR, E_CAL_CLIENT_ERROR_OBJECT_NOT_FOUND);
        saved->code = gone ? CalendarStore::EventNotFound : CalendarStore::WriteFailed;
        saved->message = gone ? QStringLiteral("the event is no longer in its calendar") : error.message();
        return std::nullopt;
    }
    const EdsOccurrences expansion(e_cal_client_tzlookup_cb, client, localZone(), cancellable);
    std::optional<EdsOccurrence> occurrence
        = expansion.at(pointers(*components), event.origin.recurrenceId, event.startDate);
    if (!occurrence) {
        saved->code = CalendarStore::EventNotFound;
        saved->message = QStringLiteral("the occurrence is no longer in its calendar");
    }
    return occurrence;
}

int saveErrorCode(const GError *error)
{
    if (g_error_matches(error, E_CAL_CLIENT_ERROR, E_CAL_CLIENT_ERROR_OBJECT_NOT_FOUND))
        return CalendarStore::EventNotFound;
    if (g_error_matches(error, E_CLIENT_ERROR, E_CLIENT_ERROR_PERMISSION_DENIED))
        return CalendarStore::ReadOnly;
    if (g_error_matches(error, E_CLIENT_ERROR, E_CLIENT_ERROR_OUT_OF_SYNC))
        return CalendarStore::ChangedOnDisk;
    return CalendarStore::WriteFailed;
}

Saved save(ESourceRegistry *registry, GCancellable *cancellable, const GRef<ECalClient> &known, const Event &event)
{
    Saved saved;
    saved.opened = open(registry, cancellable, sourceUidOf(event.calendarUid), known);
    if (saved.opened.gone || !saved.opened.client) {
        saved.code = saved.opened.gone ? CalendarStore::EventNotFound : CalendarStore::WriteFailed;
        saved.message = saved.opened.gone ? QStringLiteral("its calendar is gone") : saved.opened.error;
        return saved;
    }
    ECalClient *client = saved.opened.client.get();
    if (e_client_is_readonly(E_CLIENT(client))) {
        saved.code = CalendarStore::ReadOnly;
        saved.message = QStringLiteral("the calendar \"%1\" is read-only").arg(saved.opened.title);
        return saved;
    }
    QList<GRef<ICalComponent>> components;
    const std::optional<EdsOccurrence> occurrence = occurrenceNow(client, cancellable, event, &components, &saved);
    if (!occurrence)
        return saved;
    if (fingerprintOf(occurrence->source.get()) != event.origin.fingerprint) {
        saved.code = CalendarStore::ChangedOnDisk;
        saved.message = QStringLiteral("the event changed since it was read");
        return saved;
    }
    const bool one = event.origin.recurrenceId.isValid();
    const EdsOccurrences expansion(e_cal_client_tzlookup_cb, client, localZone(), cancellable);
    const GRef<ICalComponent> changed = one
        ? expansion.overrideOf(*occurrence)
        : GRef<ICalComponent>::take(i_cal_component_clone(occurrence->source.get()));
    i_cal_component_set_description(changed.get(), event.notes.toUtf8().constData());
    GErrorHolder error;
    // A change of notes is no news for the attendees: no invitation update goes out.
    const auto flags
        = ECalOperationFlags(E_CAL_OPERATION_FLAG_CONFLICT_FAIL | E_CAL_OPERATION_FLAG_DISABLE_ITIP_MESSAGE);
    if (!e_cal_client_modify_object_sync(client, changed.get(), one ? E_CAL_OBJ_MOD_THIS : E_CAL_OBJ_MOD_ALL, flags,
                                         cancellable, error.out())) {
        saved.code = saveErrorCode(error.error);
        saved.message = error.message();
    }
    return saved;
}
} // namespace

const QString EdsCalendarStore::uidPrefix = QStringLiteral("eds/");
const QString EdsCalendarStore::kindName = QStringLiteral("eds");

struct EdsCalendarStore::Private
{
    std::shared_ptr<EdsSession> session = EdsSession::shared();
    QHash<QString, GRef<ECalClient>> clients; // opened, by calendar
    mutable bool told = false; // noticeFound() said that EDS cannot be reached
    int watch = 0;
    QTimer *rescanTimer = nullptr;
    QMap<QString, QString> known; // calendars when last looked at: uid -> title and account
    // Where the session's thread posts the sources' changes; cleared when the store goes.
    struct Relay
    {
        QMutex mutex;
        EdsCalendarStore *store = nullptr;
    };
    std::shared_ptr<Relay> relay = std::make_shared<Relay>();

    GRef<ECalClient> clientOf(const QString &calendarUid) const { return clients.value(calendarUid); }
    // Keeps the client a job opened (or found gone) for the next calls; one let go ends on the
    // session's thread.
    void keep(const QString &calendarUid, const Opened &opened)
    {
        GRef<ECalClient> old = clients.take(calendarUid);
        if (opened.client)
            clients.insert(calendarUid, opened.client);
        if (old && old.get() != opened.client.get())
            session->release(G_OBJECT(old.release()));
    }
};

EdsCalendarStore::EdsCalendarStore(QObject *parent) : CalendarStore(parent), d(std::make_unique<Private>()) { }

EdsCalendarStore::~EdsCalendarStore()
{
    {
        const QMutexLocker lock(&d->relay->mutex);
        d->relay->store = nullptr;
    }
    if (d->watch)
        d->session->unwatchSources(d->watch);
    // EDS's objects end on the session's thread, where they were made.
    for (GRef<ECalClient> &client : d->clients)
        d->session->release(G_OBJECT(client.release()));
    d->clients.clear();
}

void EdsCalendarStore::unavailable(const QString &reason) const
{
    if (d->told)
        return;
    d->told = true;
    const QString message = QStringLiteral("Calendars of Evolution Data Server are left out: %1").arg(reason);
    qCDebug(lcEdsCalendars, "%s", qPrintable(message));
    Q_EMIT const_cast<EdsCalendarStore *>(this)->noticeFound(message);
}

QList<Calendar> EdsCalendarStore::calendars() const
{
    QString error;
    const std::optional<QList<Calendar>> found = d->session->call<QList<Calendar>>(
        [](ESourceRegistry *registry, GCancellable *) {
            QList<Calendar> result;
            GList *sources = e_source_registry_list_enabled(registry, E_SOURCE_EXTENSION_CALENDAR);
            for (GList *item = sources; item; item = item->next)
                result.append(calendarOf(registry, E_SOURCE(item->data)));
            g_list_free_full(sources, g_object_unref);
            return result;
        },
        &error);
    if (!found) {
        unavailable(error);
        return {};
    }
    d->told = false;
    QList<Calendar> result = *found;
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(result.begin(), result.end(), [&collator](const Calendar &a, const Calendar &b) {
        if (const int byAccount = collator.compare(a.account, b.account))
            return byAccount < 0;
        return collator.compare(a.title, b.title) < 0;
    });
    return result;
}

std::optional<Calendar> EdsCalendarStore::calendarWithUID(const QString &uid) const
{
    if (!uid.startsWith(uidPrefix) || uid.size() == uidPrefix.size())
        return std::nullopt;
    const QString sourceUid = sourceUidOf(uid);
    QString error;
    const std::optional<std::optional<Calendar>> found = d->session->call<std::optional<Calendar>>(
        [sourceUid](ESourceRegistry *registry, GCancellable *) -> std::optional<Calendar> {
            const GRef<ESource> source = enabledSource(registry, sourceUid);
            if (!source)
                return std::nullopt;
            return calendarOf(registry, source.get());
        },
        &error);
    if (!found) {
        unavailable(error);
        return std::nullopt;
    }
    return *found;
}

bool EdsCalendarStore::isUnreachable(const QString &uid) const
{
    return uid.startsWith(uidPrefix) && !d->session->unavailableReason().isEmpty() && !d->session->isMissing();
}

QList<Event> EdsCalendarStore::eventsWithPredicate(const EventPredicate &predicate)
{
    if (!predicate.startDate.isValid() || !predicate.endDate.isValid() || predicate.endDate < predicate.startDate)
        return {};
    QList<Event> events;
    QStringList searched;
    for (const Calendar &calendar : predicate.calendars) {
        if (!calendar.uid.startsWith(uidPrefix) || searched.contains(calendar.uid))
            continue;
        searched.append(calendar.uid);
        const QString uid = calendar.uid;
        const GRef<ECalClient> known = d->clientOf(uid);
        const QDateTime from = predicate.startDate, to = predicate.endDate;
        QString error;
        const std::optional<Found> found = d->session->call<Found>(
            [uid, known, from, to](ESourceRegistry *registry, GCancellable *cancellable) {
                return query(registry, cancellable, uid, known, from, to);
            },
            &error, EdsSession::answerBound + EdsSession::connectWait);
        if (!found) {
            unavailable(error);
            Q_EMIT calendarUnavailable(uid, error);
            continue;
        }
        d->keep(uid, found->opened);
        for (const QString &problem : found->problems) {
            qCWarning(lcEdsCalendars, "%s", qPrintable(problem));
            Q_EMIT problemFound(problem);
        }
        if (found->opened.offline) {
            Q_EMIT calendarUnavailable(uid, QStringLiteral("its server cannot be reached (offline)"));
        } else if (!found->opened.error.isEmpty()) {
            Q_EMIT calendarUnavailable(uid, found->opened.error);
        }
        events += found->events;
    }
    return events;
}

bool EdsCalendarStore::saveEvent(const Event &event, Span span, Error *error)
{
    const auto fail = [&](int code, const QString &message) {
        qCWarning(lcEdsCalendars, "%s (%s): not saved, %s", qPrintable(event.origin.uid), qPrintable(event.calendarUid),
                  qPrintable(message));
        if (error)
            *error = Error {code, message};
        return false;
    };
    if (!event.calendarUid.startsWith(uidPrefix) || event.origin.uid.isEmpty())
        return fail(EventNotFound, QStringLiteral("the event is not one of Evolution Data Server's"));
    if (span != CalSpanThisEvent && event.origin.recurrenceId.isValid())
        return fail(NotSupported, QStringLiteral("only one occurrence of a repeating event can be saved"));
    const GRef<ECalClient> known = d->clientOf(event.calendarUid);
    QString unanswered;
    const std::optional<Saved> saved = d->session->call<Saved>(
        [known, event](ESourceRegistry *registry, GCancellable *cancellable) {
            return save(registry, cancellable, known, event);
        },
        &unanswered, EdsSession::saveBound);
    if (!saved) {
        unavailable(unanswered);
        return fail(WriteFailed, unanswered);
    }
    d->keep(event.calendarUid, saved->opened);
    if (saved->code != NoError)
        return fail(saved->code, saved->message);
    return true;
}

bool EdsCalendarStore::isReadOnly(const Event &event) const
{
    if (!event.calendarUid.startsWith(uidPrefix))
        return false;
    const GRef<ECalClient> known = d->clientOf(event.calendarUid);
    const QString sourceUid = sourceUidOf(event.calendarUid);
    const std::optional<Opened> opened = d->session->call<Opened>(
        [known, sourceUid](ESourceRegistry *registry, GCancellable *cancellable) {
            return open(registry, cancellable, sourceUid, known);
        },
        nullptr, EdsSession::answerBound + EdsSession::connectWait);
    if (!opened || !opened->client)
        return false;
    d->keep(event.calendarUid, *opened);
    return e_client_is_readonly(E_CLIENT(opened->client.get()));
}

std::optional<Event> EdsCalendarStore::currentEvent(const Event &event)
{
    if (!event.calendarUid.startsWith(uidPrefix) || event.origin.uid.isEmpty())
        return std::nullopt;
    const GRef<ECalClient> known = d->clientOf(event.calendarUid);
    const std::optional<Saved> looked = d->session->call<Saved>(
        [known, event](ESourceRegistry *registry, GCancellable *cancellable) {
            Saved saved;
            saved.opened = open(registry, cancellable, sourceUidOf(event.calendarUid), known);
            if (!saved.opened.client)
                return saved;
            QList<GRef<ICalComponent>> components;
            const std::optional<EdsOccurrence> occurrence
                = occurrenceNow(saved.opened.client.get(), cancellable, event, &components, &saved);
            // A single event that starts at another time now is another occurrence.
            if (occurrence && (occurrence->recurrenceId.isValid() || occurrence->start == event.startDate))
                saved.current = eventOf(*occurrence, event.calendarUid);
            return saved;
        },
        nullptr);
    if (!looked)
        return std::nullopt;
    d->keep(event.calendarUid, looked->opened);
    return looked->current;
}

void EdsCalendarStore::connectNotify(const QMetaMethod &signal)
{
    if (signal != QMetaMethod::fromSignal(&CalendarStore::calendarsChangedExternally) || d->watch)
        return;
    {
        const QMutexLocker lock(&d->relay->mutex);
        d->relay->store = this;
    }
    d->rescanTimer = new QTimer(this);
    d->rescanTimer->setSingleShot(true);
    d->rescanTimer->setInterval(100); // a burst of changes is looked at once
    connect(d->rescanTimer, &QTimer::timeout, this, &EdsCalendarStore::rescan);
    const std::shared_ptr<Private::Relay> relay = d->relay;
    d->watch = d->session->watchSources([relay] {
        const QMutexLocker lock(&relay->mutex);
        if (EdsCalendarStore *store = relay->store)
            QMetaObject::invokeMethod(
                store->d->rescanTimer, [timer = store->d->rescanTimer] { timer->start(); }, Qt::QueuedConnection);
    });
    for (const Calendar &calendar : calendars())
        d->known.insert(calendar.uid, calendar.title + QLatin1Char('\n') + calendar.account);
}

void EdsCalendarStore::rescan()
{
    QMap<QString, QString> now;
    for (const Calendar &calendar : calendars())
        now.insert(calendar.uid, calendar.title + QLatin1Char('\n') + calendar.account);
    if (now.isEmpty() && !d->session->unavailableReason().isEmpty())
        return; // EDS does not answer: its calendars did not go
    QStringList inserted, deleted, updated;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const auto before = d->known.constFind(it.key());
        if (before == d->known.cend())
            inserted.append(it.key());
        else if (before.value() != it.value())
            updated.append(it.key());
    }
    for (auto it = d->known.cbegin(); it != d->known.cend(); ++it) {
        if (!now.contains(it.key()))
            deleted.append(it.key());
    }
    d->known = now;
    // One notification per calendar, as the vdir store gives them.
    const QPair<QString, QStringList> changes[]
        = {{CalDeletedRecordsKey, deleted}, {CalInsertedRecordsKey, inserted}, {CalUpdatedRecordsKey, updated}};
    for (const auto &change : changes) {
        for (const QString &uid : change.second)
            Q_EMIT calendarsChangedExternally(QVariantMap {{change.first, QStringList {uid}}});
    }
}
