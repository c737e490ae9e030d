#include "edsoccurrences.h"

#include <algorithm>

struct EdsOccurrences::Instance
{
    QDateTime start;
    QDateTime end;
    bool allDay = false;
};

namespace {
// How far before and after a range the rules are expanded, so that an override that moves the
// occurrences from it on can bring one into the range.
constexpr qint64 widening = 2 * 86400;
// The window an override is expanded in: its own start, wherever it lies.
constexpr qint64 everywhere = qint64(200) * 366 * 86400;

ICalTime *utcTime(const QDateTime &time)
{
    return i_cal_time_new_from_timet_with_zone(time_t(time.toSecsSinceEpoch()), FALSE,
                                               i_cal_timezone_get_utc_timezone());
}

// An occurrence overlaps the range when it starts before the range ends and ends after the range
// starts; one without length counts when it starts inside the range.
bool overlaps(const QDateTime &start, const QDateTime &end, const QDateTime &rangeStart, const QDateTime &rangeEnd)
{
    if (start >= rangeEnd)
        return false;
    return end > rangeStart || (end <= start && start >= rangeStart);
}

bool sameOccurrence(const QDateTime &a, const QDateTime &b, bool allDay)
{
    return allDay ? a.date() == b.date() : a == b;
}

bool isCancelled(ICalComponent *component)
{
    return i_cal_component_get_status(component) == I_CAL_STATUS_CANCELLED;
}

// The text of a parameter of the component's first property of kind, null when absent.
QString parameterOf(ICalComponent *component, ICalPropertyKind kind, const char *parameter)
{
    GRef<ICalProperty> property = GRef<ICalProperty>::take(i_cal_component_get_first_property(component, kind));
    if (!property)
        return QString();
    gchar *value = i_cal_property_get_parameter_as_string(property.get(), parameter);
    const QString text = value ? QString::fromUtf8(value) : QString();
    g_free(value);
    return text;
}

bool movesLaterOnes(ICalComponent *component)
{
    return parameterOf(component, I_CAL_RECURRENCEID_PROPERTY, "RANGE")
               .compare(QLatin1String("THISANDFUTURE"), Qt::CaseInsensitive)
        == 0;
}

struct Collected
{
    QList<EdsOccurrences::Instance> *instances;
    std::function<QDateTime(ICalTime *)> timeOf;
    int limit;
    bool cut = false;
};
} // namespace

EdsOccurrences::EdsOccurrences(ECalRecurResolveTimezoneCb lookup, gpointer lookupData, ICalTimezone *localZone,
                               GCancellable *cancellable)
    : m_lookup(lookup), m_lookupData(lookupData), m_localZone(localZone), m_cancellable(cancellable)
{
}

QDateTime EdsOccurrences::timeOf(ICalTime *time) const
{
    if (i_cal_time_is_date(time))
        return QDateTime(QDate(i_cal_time_get_year(time), i_cal_time_get_month(time), i_cal_time_get_day(time)),
                         QTime(0, 0), Qt::LocalTime);
    ICalTimezone *zone = i_cal_time_is_utc(time) ? i_cal_timezone_get_utc_timezone() : i_cal_time_get_timezone(time);
    return QDateTime::fromSecsSinceEpoch(qint64(i_cal_time_as_timet_with_zone(time, zone ? zone : m_localZone)),
                                         Qt::LocalTime);
}

// The original start of an override, in the zone of its TZID (floating: the local zone).
QDateTime EdsOccurrences::recurrenceIdOf(ICalComponent *component, bool *allDay) const
{
    GRef<ICalProperty> property
        = GRef<ICalProperty>::take(i_cal_component_get_first_property(component, I_CAL_RECURRENCEID_PROPERTY));
    if (!property)
        return QDateTime();
    GRef<ICalTime> time = GRef<ICalTime>::take(i_cal_property_get_recurrenceid(property.get()));
    if (!time || i_cal_time_is_null_time(time.get()))
        return QDateTime();
    *allDay = i_cal_time_is_date(time.get());
    const QString tzid = parameterOf(component, I_CAL_RECURRENCEID_PROPERTY, "TZID");
    if (!tzid.isEmpty() && !i_cal_time_is_utc(time.get())) {
        ICalTimezone *zone = m_lookup(tzid.toUtf8().constData(), m_lookupData, m_cancellable, nullptr);
        i_cal_time_set_timezone(time.get(), zone);
    }
    return timeOf(time.get());
}

// How many times libical's rule iterator steps from the component's start to `to`, roughly: it
// walks every time its rules give from DTSTART on, and cannot be stopped on the way.
qint64 EdsOccurrences::steps(ICalComponent *component, const QDateTime &to) const
{
    GRef<ICalTime> start = GRef<ICalTime>::take(i_cal_component_get_dtstart(component));
    if (!start || i_cal_time_is_null_time(start.get()))
        return 0;
    const qint64 span = std::max<qint64>(0, timeOf(start.get()).secsTo(to));
    const auto listed = [](GArray *values) {
        qint64 count = 0;
        for (guint i = 0; values && i < values->len; ++i) {
            if (g_array_index(values, gshort, i) == I_CAL_RECURRENCE_ARRAY_MAX)
                break;
            ++count;
        }
        if (values)
            g_array_unref(values);
        return std::max<qint64>(1, count);
    };
    qint64 total = 0;
    for (ICalProperty *property = i_cal_component_get_first_property(component, I_CAL_RRULE_PROPERTY); property;
         property = i_cal_component_get_next_property(component, I_CAL_RRULE_PROPERTY)) {
        GRef<ICalRecurrence> rule = GRef<ICalRecurrence>::take(i_cal_property_get_rrule(property));
        g_object_unref(property);
        if (!rule)
            continue;
        qint64 unit = 0;
        switch (i_cal_recurrence_get_freq(rule.get())) {
        case I_CAL_SECONDLY_RECURRENCE:
            unit = 1;
            break;
        case I_CAL_MINUTELY_RECURRENCE:
            unit = 60;
            break;
        case I_CAL_HOURLY_RECURRENCE:
            unit = 3600;
            break;
        case I_CAL_DAILY_RECURRENCE:
            unit = 86400;
            break;
        case I_CAL_WEEKLY_RECURRENCE:
            unit = 7 * 86400;
            break;
        default: // monthly, yearly
            unit = 28 * 86400;
            break;
        }
        const qint64 interval = std::max<qint64>(1, i_cal_recurrence_get_interval(rule.get()));
        qint64 times = (span / (unit * interval) + 1) * listed(i_cal_recurrence_get_by_second_array(rule.get()))
            * listed(i_cal_recurrence_get_by_minute_array(rule.get()))
            * listed(i_cal_recurrence_get_by_hour_array(rule.get()));
        if (const int count = i_cal_recurrence_get_count(rule.get()); count > 0)
            times = std::min<qint64>(times, count);
        total += times;
    }
    return total;
}

bool EdsOccurrences::expand(ICalComponent *component, const QDateTime &from, const QDateTime &to,
                            QList<Instance> *instances, QString *problem) const
{
    const qint64 needed = steps(component, to);
    if (needed > maxSteps) {
        *problem = QStringLiteral("its rule repeats too often to be worked out (about %1 times from its start on); it "
                                  "is left out")
                       .arg(needed);
        return false;
    }
    Collected collected {instances, [this](ICalTime *time) { return timeOf(time); }, maxOccurrences};
    const auto collect
        = [](ICalComponent *, ICalTime *start, ICalTime *end, gpointer data, GCancellable *, GError **) -> gboolean {
        auto *into = static_cast<Collected *>(data);
        if (into->instances->size() >= into->limit) {
            into->cut = true;
            return FALSE;
        }
        Instance instance;
        instance.allDay = i_cal_time_is_date(start);
        instance.start = into->timeOf(start);
        instance.end = into->timeOf(end);
        if (instance.allDay && instance.end <= instance.start)
            instance.end = QDateTime(instance.start.date().addDays(1), QTime(0, 0), Qt::LocalTime);
        instance.end = std::max(instance.end, instance.start);
        into->instances->append(instance);
        return TRUE;
    };
    GRef<ICalTime> start = GRef<ICalTime>::take(utcTime(from));
    GRef<ICalTime> end = GRef<ICalTime>::take(utcTime(to));
    GErrorHolder error;
    const bool done
        = e_cal_recur_generate_instances_sync(component, start.get(), end.get(), collect, &collected, m_lookup,
                                              m_lookupData, m_localZone, m_cancellable, error.out());
    if (collected.cut) {
        *problem = QStringLiteral("more than %1 occurrences in the range, the rest are left out").arg(maxOccurrences);
        return false;
    }
    if (!done) {
        *problem = error ? error.message() : QStringLiteral("its occurrences could not be worked out");
        return false;
    }
    return true;
}

namespace {
// An override as the expansion uses it.
struct Override
{
    ICalComponent *component = nullptr;
    QDateTime recurrenceId;
    bool allDay = false;
    bool laterOnes = false; // RANGE=THISANDFUTURE: it gives the later occurrences their properties too
    QDateTime start, end; // its own occurrence
};
} // namespace

// The parts of one event: its master (nullptr when EDS holds overrides alone) and its overrides.
struct EdsOccurrences::Parts
{
    ICalComponent *master = nullptr;
    QList<Override> overrides;
    qint64 shift = 0; // the furthest an override of the later occurrences moves them
};

bool EdsOccurrences::split(const QList<ICalComponent *> &components, Parts *parts, QString *problem) const
{
    bool complete = true;
    for (ICalComponent *component : components) {
        if (!e_cal_util_component_is_instance(component)) {
            if (!parts->master)
                parts->master = component;
            continue;
        }
        Override override;
        override.component = component;
        override.recurrenceId = recurrenceIdOf(component, &override.allDay);
        override.laterOnes = movesLaterOnes(component);
        QList<Instance> own;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (!override.recurrenceId.isValid()) {
            *problem = QStringLiteral("an override without a readable RECURRENCE-ID is left out");
            complete = false;
            continue;
        }
        if (!expand(component, now.addSecs(-everywhere), now.addSecs(everywhere), &own, problem) || own.isEmpty()) {
            complete = false;
            continue;
        }
        override.start = own.first().start;
        override.end = own.first().end;
        if (override.laterOnes)
            parts->shift = std::max(parts->shift, std::abs(override.recurrenceId.secsTo(override.start)));
        parts->overrides.append(override);
    }
    return complete;
}

// Every occurrence that the master's rules give in [from, to], less those that an override
// replaces, and every override's own, wherever it lies.
bool EdsOccurrences::occurrences(const Parts &parts, const QDateTime &from, const QDateTime &to,
                                 QList<EdsOccurrence> *out, QString *problem) const
{
    QList<Instance> instances;
    bool complete = true;
    const bool repeats = parts.master && e_cal_util_component_has_recurrences(parts.master);
    if (parts.master)
        complete = expand(parts.master, from, to, &instances, problem);
    for (const Instance &instance : std::as_const(instances)) {
        const bool replaced = std::any_of(parts.overrides.cbegin(), parts.overrides.cend(), [&](const Override &o) {
            return repeats && sameOccurrence(o.recurrenceId, instance.start, instance.allDay);
        });
        if (replaced)
            continue;
        EdsOccurrence occurrence;
        occurrence.source = GRef<ICalComponent>::share(parts.master);
        occurrence.start = instance.start;
        occurrence.end = instance.end;
        occurrence.recurrenceId = repeats ? instance.start : QDateTime();
        occurrence.allDay = instance.allDay;
        // From an override of the occurrences from it on, the latest before this one gives the
        // properties, and moves and sizes it as it moved and sized its own.
        const Override *latest = nullptr;
        for (const Override &override : parts.overrides) {
            if (repeats && override.laterOnes && override.recurrenceId < instance.start
                && (!latest || override.recurrenceId > latest->recurrenceId))
                latest = &override;
        }
        if (latest) {
            occurrence.source = GRef<ICalComponent>::share(latest->component);
            if (instance.allDay) {
                const QDate first
                    = instance.start.date().addDays(latest->recurrenceId.date().daysTo(latest->start.date()));
                occurrence.start = QDateTime(first, QTime(0, 0), Qt::LocalTime);
                occurrence.end = QDateTime(first.addDays(latest->start.date().daysTo(latest->end.date())), QTime(0, 0),
                                           Qt::LocalTime);
            } else {
                occurrence.start = instance.start.addSecs(latest->recurrenceId.secsTo(latest->start));
                occurrence.end = occurrence.start.addSecs(latest->start.secsTo(latest->end));
            }
        }
        out->append(occurrence);
    }
    for (const Override &override : parts.overrides) {
        EdsOccurrence occurrence;
        occurrence.source = GRef<ICalComponent>::share(override.component);
        occurrence.start = override.start;
        occurrence.end = override.end;
        occurrence.recurrenceId = override.recurrenceId;
        occurrence.allDay = override.allDay;
        out->append(occurrence);
    }
    return complete;
}

bool EdsOccurrences::inRange(const QList<ICalComponent *> &components, const QDateTime &rangeStart,
                             const QDateTime &rangeEnd, QList<EdsOccurrence> *out, QString *problem) const
{
    Parts parts;
    bool complete = split(components, &parts, problem);
    QList<EdsOccurrence> found;
    const qint64 margin = widening + parts.shift;
    complete = occurrences(parts, rangeStart.addSecs(-margin), rangeEnd.addSecs(margin), &found, problem) && complete;
    for (const EdsOccurrence &occurrence : std::as_const(found)) {
        if (!isCancelled(occurrence.source.get()) && overlaps(occurrence.start, occurrence.end, rangeStart, rangeEnd))
            out->append(occurrence);
    }
    std::stable_sort(out->begin(), out->end(),
                     [](const EdsOccurrence &a, const EdsOccurrence &b) { return a.start < b.start; });
    return complete;
}

std::optional<EdsOccurrence> EdsOccurrences::at(const QList<ICalComponent *> &components, const QDateTime &recurrenceId,
                                                const QDateTime &start) const
{
    Parts parts;
    QString problem;
    split(components, &parts, &problem);
    const QDateTime near = recurrenceId.isValid() ? recurrenceId : start;
    const qint64 margin = widening + parts.shift;
    QList<EdsOccurrence> found;
    occurrences(parts, near.addSecs(-margin), near.addSecs(margin), &found, &problem);
    for (const EdsOccurrence &occurrence : std::as_const(found)) {
        const bool same = recurrenceId.isValid() ? occurrence.recurrenceId.isValid()
                && sameOccurrence(occurrence.recurrenceId, recurrenceId, occurrence.allDay)
                                                 : !occurrence.recurrenceId.isValid();
        if (same)
            return isCancelled(occurrence.source.get()) ? std::nullopt : std::optional<EdsOccurrence>(occurrence);
    }
    return std::nullopt;
}

// The time as a value of a property like the given one: in the zone of its TZID (or UTC, or
// floating local time, as its own value is), a date for an all-day occurrence.
ICalTime *EdsOccurrences::valueLike(const QDateTime &time, bool allDay, ICalComponent *component,
                                    ICalPropertyKind kind) const
{
    if (allDay) {
        ICalTime *value = i_cal_time_new_null_time();
        i_cal_time_set_date(value, time.date().year(), time.date().month(), time.date().day());
        i_cal_time_set_is_date(value, TRUE);
        return value;
    }
    GRef<ICalTime> own = GRef<ICalTime>::take(kind == I_CAL_DTEND_PROPERTY ? i_cal_component_get_dtend(component)
                                                                           : i_cal_component_get_dtstart(component));
    if (own && i_cal_time_is_utc(own.get()))
        return i_cal_time_new_from_timet_with_zone(time_t(time.toSecsSinceEpoch()), FALSE,
                                                   i_cal_timezone_get_utc_timezone());
    const QString tzid = parameterOf(component, kind, "TZID");
    ICalTimezone *zone
        = tzid.isEmpty() ? nullptr : m_lookup(tzid.toUtf8().constData(), m_lookupData, m_cancellable, nullptr);
    ICalTime *value
        = i_cal_time_new_from_timet_with_zone(time_t(time.toSecsSinceEpoch()), FALSE, zone ? zone : m_localZone);
    i_cal_time_set_timezone(value, nullptr); // the TZID parameter names the zone
    return value;
}

GRef<ICalComponent> EdsOccurrences::overrideOf(const EdsOccurrence &occurrence) const
{
    ICalComponent *source = occurrence.source.get();
    bool allDay = false;
    if (e_cal_util_component_is_instance(source) && !movesLaterOnes(source))
        return GRef<ICalComponent>::take(i_cal_component_clone(source));
    if (e_cal_util_component_is_instance(source) && recurrenceIdOf(source, &allDay) == occurrence.recurrenceId)
        return GRef<ICalComponent>::take(i_cal_component_clone(source));
    GRef<ICalComponent> copy = GRef<ICalComponent>::take(i_cal_component_clone(source));
    for (ICalPropertyKind kind : {I_CAL_RRULE_PROPERTY, I_CAL_RDATE_PROPERTY, I_CAL_EXRULE_PROPERTY,
                                  I_CAL_EXDATE_PROPERTY, I_CAL_RECURRENCEID_PROPERTY}) {
        while (ICalProperty *property = i_cal_component_get_first_property(copy.get(), kind)) {
            i_cal_component_remove_property(copy.get(), property);
            g_object_unref(property);
        }
    }
    const auto place = [&](ICalPropertyKind kind, const QDateTime &time) {
        GRef<ICalProperty> property = GRef<ICalProperty>::take(i_cal_component_get_first_property(copy.get(), kind));
        if (!property)
            return;
        GRef<ICalTime> value = GRef<ICalTime>::take(valueLike(time, occurrence.allDay, copy.get(), kind));
        if (kind == I_CAL_DTSTART_PROPERTY)
            i_cal_property_set_dtstart(property.get(), value.get());
        else
            i_cal_property_set_dtend(property.get(), value.get());
    };
    place(I_CAL_DTSTART_PROPERTY, occurrence.start);
    place(I_CAL_DTEND_PROPERTY, occurrence.end);
    // Its RECURRENCE-ID: the occurrence's original start, written as the master writes its DTSTART.
    GRef<ICalTime> original
        = GRef<ICalTime>::take(valueLike(occurrence.recurrenceId, occurrence.allDay, source, I_CAL_DTSTART_PROPERTY));
    ICalProperty *recurrenceId = i_cal_property_new_recurrenceid(original.get());
    const QString tzid = parameterOf(source, I_CAL_DTSTART_PROPERTY, "TZID");
    if (!tzid.isEmpty() && !occurrence.allDay && !i_cal_time_is_utc(original.get()))
        i_cal_property_take_parameter(recurrenceId, i_cal_parameter_new_tzid(tzid.toUtf8().constData()));
    i_cal_component_take_property(copy.get(), recurrenceId);
    return copy;
}
