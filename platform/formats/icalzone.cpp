#include "icalzone.h"

#include <KCalendarCore/ICalFormat>
#include <KCalendarCore/Recurrence>
#include <KCalendarCore/RecurrenceRule>

#include <QRegularExpression>

#include <algorithm>
#include <limits>

using KCalendarCore::RecurrenceRule;

namespace {
// "+HHMM" or "+HHMMSS" (or with '-') as seconds east of UTC; less than a day either way.
bool readOffset(const QByteArray &value, int *seconds)
{
    static const QRegularExpression form(QStringLiteral("^([+-])([01]\\d|2[0-3])([0-5]\\d)([0-5]\\d)?$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(value.trimmed()));
    if (!match.hasMatch())
        return false;
    const int size = match.captured(2).toInt() * 3600 + match.captured(3).toInt() * 60 + match.captured(4).toInt();
    *seconds = match.captured(1) == QLatin1String("-") ? -size : size;
    return true;
}

// A DATE-TIME ("yyyyMMddTHHmmss", with 'Z' when in UTC) or DATE value as UTC date-time fields;
// a DATE takes the time of day given. Invalid when it is neither.
QDateTime readTime(const QByteArray &value, const QTime &timeOfDate, bool *utc)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{8})(?:T(\\d{6})(Z?))?$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(value.trimmed()));
    if (!match.hasMatch())
        return QDateTime();
    const QDate date = QDate::fromString(match.captured(1), QStringLiteral("yyyyMMdd"));
    const QTime time
        = match.captured(2).isEmpty() ? timeOfDate : QTime::fromString(match.captured(2), QStringLiteral("HHmmss"));
    *utc = !match.captured(3).isEmpty();
    return date.isValid() && time.isValid() ? QDateTime(date, time, Qt::UTC) : QDateTime();
}
} // namespace

std::optional<ICalZone::Part> ICalZone::readPart(const ICalText &text, const ICalText::Component &component)
{
    Part part;
    bool hasFrom = false, hasTo = false, utcStart = false;
    QDateTime start; // wall-clock before the onset
    QList<QByteArray> rdates, rrules;
    for (int index : component.properties) {
        const QByteArray &line = text.line(index);
        const QByteArray name = ICalText::name(line), value = ICalText::value(line).trimmed();
        if (name == "TZOFFSETFROM")
            hasFrom = readOffset(value, &part.offsetFrom);
        else if (name == "TZOFFSETTO")
            hasTo = readOffset(value, &part.offsetTo);
        else if (name == "DTSTART")
            start = readTime(value, QTime(0, 0), &utcStart);
        else if (name == "RDATE")
            rdates.append(value);
        else if (name == "RRULE")
            rrules.append(value);
    }
    if (!hasFrom || !hasTo || !start.isValid())
        return std::nullopt;
    // Local times of the part are read with the offset in force before its onset.
    const auto onset
        = [&part](const QDateTime &time, bool utc) { return time.toSecsSinceEpoch() - (utc ? 0 : part.offsetFrom); };
    part.onsets.append(onset(start, utcStart));
    for (const QByteArray &value : std::as_const(rdates)) {
        for (const QByteArray &item : value.split(',')) {
            bool utc = false;
            const QDateTime time = readTime(item.split('/').first(), start.time(), &utc);
            if (time.isValid())
                part.onsets.append(onset(time, utc));
        }
    }
    std::sort(part.onsets.begin(), part.onsets.end());
    if (utcStart)
        start = start.addSecs(part.offsetFrom);
    for (const QByteArray &value : std::as_const(rrules)) {
        auto rule = std::make_shared<RecurrenceRule>();
        KCalendarCore::ICalFormat format;
        // Zones change their offsets yearly; other rules are left out, as KCalendarCore looks for
        // the onset before a time of some of them (impossible SECONDLY ones) without end.
        if (!format.fromString(rule.get(), QString::fromLatin1(value))
            || rule->recurrenceType() != RecurrenceRule::rYearly)
            continue;
        const QDateTime until = rule->duration() == 0 ? rule->endDt() : QDateTime();
        rule->setStartDt(start);
        if (until.isValid()) { // UNTIL is given in UTC; a floating one is taken as wall-clock
            rule->setEndDt(until.timeSpec() == Qt::UTC ? until.addSecs(part.offsetFrom)
                                                       : QDateTime(until.date(), until.time(), Qt::UTC));
        }
        part.rules.append(rule);
    }
    return part;
}

std::optional<ICalZone> ICalZone::fromComponent(const ICalText &text, const ICalText::Component &vtimezone)
{
    ICalZone zone;
    for (int index : vtimezone.properties) {
        if (ICalText::name(text.line(index)) == "TZID")
            zone.m_tzid = ICalText::unescapeText(ICalText::value(text.line(index))); // as written, for TZID= to match
    }
    for (const ICalText::Component &child : vtimezone.children) {
        if (child.name != "STANDARD" && child.name != "DAYLIGHT")
            continue;
        if (std::optional<Part> part = readPart(text, child))
            zone.m_parts.append(*part);
    }
    if (zone.m_tzid.trimmed().isEmpty() || zone.m_parts.isEmpty())
        return std::nullopt;
    return zone;
}

int ICalZone::offsetAt(const QDateTime &instant) const
{
    const qint64 at = instant.toSecsSinceEpoch();
    qint64 latest = std::numeric_limits<qint64>::min(), earliest = std::numeric_limits<qint64>::max();
    int offset = 0, before = 0;
    for (const Part &part : m_parts) {
        if (part.onsets.first() < earliest) {
            earliest = part.onsets.first();
            before = part.offsetFrom;
        }
        qint64 last = std::numeric_limits<qint64>::min();
        const auto next = std::upper_bound(part.onsets.cbegin(), part.onsets.cend(), at);
        if (next != part.onsets.cbegin())
            last = *(next - 1);
        for (const auto &rule : part.rules) {
            // The rule runs in the wall-clock before the onset: its onset at `at` or earlier is
            // the last one before that wall-clock time plus a second.
            const QDateTime previous
                = rule->getPreviousDate(QDateTime::fromSecsSinceEpoch(at + part.offsetFrom + 1, Qt::UTC));
            if (previous.isValid())
                last = std::max(last, previous.toSecsSinceEpoch() - part.offsetFrom);
        }
        if (last > latest) {
            latest = last;
            offset = part.offsetTo;
        }
    }
    return latest == std::numeric_limits<qint64>::min() ? before : offset;
}

QDateTime ICalZone::wallClock(const QDateTime &instant) const
{
    const QDateTime utc = instant.toUTC();
    return utc.addSecs(offsetAt(utc));
}

QDateTime ICalZone::instant(const QDateTime &wallClock) const
{
    // A wall-clock time lies within a day of its instant, and transitions are further apart than
    // that: the offsets in force a day either side are the only ones it can have.
    const qint64 wall = QDateTime(wallClock.date(), wallClock.time(), Qt::UTC).toSecsSinceEpoch();
    const auto offsetAtSecs = [this](qint64 at) { return offsetAt(QDateTime::fromSecsSinceEpoch(at, Qt::UTC)); };
    const int early = offsetAtSecs(wall - 86400), late = offsetAtSecs(wall + 86400);
    int chosen = std::numeric_limits<int>::min();
    for (int offset : {early, late}) {
        if (offsetAtSecs(wall - offset) == offset)
            chosen = std::max(chosen, offset); // of two readings, the earlier instant
    }
    if (chosen == std::numeric_limits<int>::min()) // skipped by a transition
        chosen = offsetAtSecs(wall - std::max(early, late));
    return QDateTime::fromSecsSinceEpoch(wall - chosen, Qt::UTC);
}

QList<QDateTime> ICalZone::timesInInterval(const KCalendarCore::Recurrence &recurrence, const QDateTime &from,
                                           const QDateTime &to) const
{
    KCalendarCore::Recurrence local(recurrence);
    local.setStartDateTime(wallClock(recurrence.startDateTime()), false);
    for (RecurrenceRule *rule : local.rRules() + local.exRules()) {
        if (rule->duration() == 0 && rule->endDt().isValid())
            rule->setEndDt(wallClock(rule->endDt()));
    }
    const auto wallClocks = [this](QList<QDateTime> times) {
        for (QDateTime &time : times)
            time = wallClock(time);
        return times;
    };
    local.setExDateTimes(wallClocks(local.exDateTimes()));
    local.setRDateTimes(wallClocks(local.rDateTimes()));
    QList<QDateTime> result;
    const QList<QDateTime> times = local.timesInInterval(wallClock(from).addDays(-1), wallClock(to).addDays(1));
    for (const QDateTime &time : times) {
        const QDateTime at = instant(time);
        if (at >= from && at <= to)
            result.append(at);
    }
    return result;
}
