#include "icalreader.h"

#include "contentline.h"

#include <KCalendarCore/ICalFormat>
#include <KCalendarCore/MemoryCalendar>
#include <KCalendarCore/Recurrence>
#include <KCalendarCore/RecurrenceRule>

#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>

namespace {
// The line with its TZID parameter set to tzid, or removed when tzid is null.
QByteArray withTzid(const QByteArray &line, const QByteArray &tzid)
{
    const int colon = ContentLine::valueSeparator(line);
    int nameEnd = 0;
    while (nameEnd < colon && line.at(nameEnd) != ';')
        ++nameEnd;
    QByteArray out = line.left(nameEnd);
    bool quoted = false;
    for (int start = nameEnd + 1, i = start; start < colon; ++i) {
        if (i < colon && line.at(i) == '"')
            quoted = !quoted;
        if (i == colon || (line.at(i) == ';' && !quoted)) {
            const QByteArray item = line.mid(start, i - start);
            if (item.left(item.indexOf('=')).trimmed().toUpper() != "TZID")
                out += ';' + item;
            else if (!tzid.isNull())
                out += ";TZID=" + tzid;
            start = i + 1;
        }
    }
    return out + line.mid(colon);
}

// A value whose local DATE-TIMEs (also the ones of a list or a period) are given as UTC instants
// of zone.
QByteArray inUtc(const QByteArray &value, const ICalZone &zone)
{
    static const QRegularExpression local(QStringLiteral("^\\d{8}T\\d{6}$"));
    QList<QByteArray> items = value.split(',');
    for (QByteArray &item : items) {
        QList<QByteArray> parts = item.split('/');
        for (QByteArray &part : parts) {
            const QString text = QString::fromLatin1(part.trimmed());
            if (!local.match(text).hasMatch())
                continue; // a duration, a date, or a time already in UTC
            const QDateTime wall(QDate::fromString(text.left(8), QStringLiteral("yyyyMMdd")),
                                 QTime::fromString(text.mid(9), QStringLiteral("HHmmss")), Qt::UTC);
            if (wall.isValid())
                part = QLocale::c().toString(zone.instant(wall), QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
        }
        item = parts.join('/');
    }
    return items.join(',');
}

// DTSTART is the first occurrence of the set and counts as the first of a COUNT (RFC 5545
// 3.3.10), also where the rules do not give it (a monthly "Friday the 13th" that starts on a
// Wednesday): it is added as a date of its own, and a COUNT gives one occurrence less. Rules of a
// file's own zone are matched in its wall-clock.
void keepStart(KCalendarCore::Event &event, const ICalZone *zone)
{
    KCalendarCore::Recurrence *recurrence = event.recurrence();
    const QDateTime start = event.dtStart();
    const auto rules = recurrence->rRules();
    const bool given = std::any_of(rules.cbegin(), rules.cend(), [&](KCalendarCore::RecurrenceRule *rule) {
        if (!zone)
            return rule->recursAt(start);
        KCalendarCore::RecurrenceRule local(*rule);
        local.setStartDt(zone->wallClock(start));
        return local.recursAt(zone->wallClock(start));
    });
    if (rules.isEmpty() || given || recurrence->rDateTimes().contains(start)
        || (event.allDay() && recurrence->rDates().contains(start.date())))
        return;
    for (KCalendarCore::RecurrenceRule *rule : rules) {
        if (rule->duration() == 1)
            recurrence->deleteRRule(rule);
        else if (rule->duration() > 1)
            rule->setDuration(rule->duration() - 1);
    }
    if (event.allDay())
        recurrence->addRDate(start.date());
    else
        recurrence->addRDateTime(start);
}
} // namespace

ICalReader::ICalReader(const ICalText &text) : m_text(text)
{
    for (const ICalText::Component &calendar : text.calendars()) {
        QHash<QByteArray, std::shared_ptr<const ICalZone>> zones;
        for (const ICalText::Component &child : calendar.children) {
            if (child.name != "VTIMEZONE")
                continue;
            std::optional<ICalZone> zone = ICalZone::fromComponent(text, child);
            if (zone && !zones.contains(zone->tzid()))
                zones.insert(zone->tzid(), std::make_shared<const ICalZone>(*zone));
        }
        m_zones.append(zones);
        m_kinds.append(QHash<QByteArray, Kind>());
    }
}

std::shared_ptr<const ICalZone> ICalReader::ownZone(int calendar, const QByteArray &tzid) const
{
    const QHash<QByteArray, std::shared_ptr<const ICalZone>> &zones = m_zones.at(calendar);
    if (const auto exact = zones.value(tzid))
        return exact;
    // The name escaped as the TZID's own text is (TZID=Kuala Lumpur\, Singapore, unquoted)
    if (const auto escaped = zones.value(ICalText::unescapeText(tzid)))
        return escaped;
    // The same name with other white space around it (TZID: 1 against TZID=1)
    const QByteArray name = tzid.trimmed();
    for (auto it = zones.cbegin(); it != zones.cend(); ++it) {
        if (it.key().trimmed() == name)
            return it.value();
    }
    return nullptr;
}

ICalReader::Kind ICalReader::kindOf(int calendar, const QByteArray &tzid) const
{
    QHash<QByteArray, Kind> &kinds = m_kinds[calendar];
    const auto known = kinds.constFind(tzid);
    if (known != kinds.cend())
        return known.value();
    Kind kind = Kind::Unknown;
    // The database's names and aliases first, as KCalendarCore reads them, whatever the file
    // defines. A name is a path below the database's folder for Qt: one that leads out of it (to
    // a FIFO that would block, say) is no zone.
    const bool databaseName = !tzid.trimmed().isEmpty() && !tzid.startsWith('/') && !tzid.contains("..");
    if (databaseName && QTimeZone(tzid).isValid())
        kind = Kind::Known;
    else if (!QTimeZone::windowsIdToDefaultIanaId(tzid).isEmpty())
        kind = Kind::Windows;
    else if (ownZone(calendar, tzid))
        kind = Kind::Own;
    kinds.insert(tzid, kind);
    return kind;
}

std::shared_ptr<const ICalZone> ICalReader::zone(const ICalText::Component &within, const QByteArray &tzid) const
{
    const int calendar = m_text.calendarOf(within);
    return tzid.isNull() || kindOf(calendar, tzid) != Kind::Own ? nullptr : ownZone(calendar, tzid);
}

std::shared_ptr<const ICalZone> ICalReader::startZone(const ICalText::Component &vevent) const
{
    for (int index : vevent.properties) {
        if (ICalText::name(m_text.line(index)) == "DTSTART")
            return zone(vevent, ICalText::parameter(m_text.line(index), "TZID"));
    }
    return nullptr;
}

QByteArray ICalReader::readableLine(int calendar, const QByteArray &line, QSet<QByteArray> *unknownZones) const
{
    const QByteArray tzid = ICalText::parameter(line, "TZID");
    if (tzid.isNull())
        return line;
    switch (kindOf(calendar, tzid)) {
    case Kind::Known:
        return line;
    case Kind::Windows:
        return withTzid(line, QTimeZone::windowsIdToDefaultIanaId(tzid));
    case Kind::Own: {
        const QByteArray bare = withTzid(line, QByteArray());
        const int colon = ContentLine::valueSeparator(bare);
        return bare.left(colon + 1) + inUtc(bare.mid(colon + 1), *ownZone(calendar, tzid));
    }
    case Kind::Unknown:
        break;
    }
    // Floating, as other readers take it: the local time of whoever reads it.
    unknownZones->insert(tzid);
    return withTzid(line, QByteArray());
}

QByteArray ICalReader::ruleInZone(int calendar, const QByteArray &rule, const QByteArray &startLine) const
{
    static const QRegularExpression localUntil(QStringLiteral("(?:^|;)UNTIL=(\\d{8})T(\\d{6})(?=;|$)"),
                                               QRegularExpression::CaseInsensitiveOption);
    const QByteArray value = ICalText::value(rule);
    const QRegularExpressionMatch match = localUntil.match(QString::fromLatin1(value));
    const QByteArray tzid = ICalText::parameter(startLine, "TZID");
    if (!match.hasMatch() || tzid.isNull())
        return rule;
    const QDateTime wall(QDate::fromString(match.captured(1), QStringLiteral("yyyyMMdd")),
                         QTime::fromString(match.captured(2), QStringLiteral("HHmmss")), Qt::UTC);
    QDateTime instant;
    switch (kindOf(calendar, tzid)) {
    case Kind::Known:
        instant = QDateTime(wall.date(), wall.time(), QTimeZone(tzid));
        break;
    case Kind::Windows:
        instant = QDateTime(wall.date(), wall.time(), QTimeZone(QTimeZone::windowsIdToDefaultIanaId(tzid)));
        break;
    case Kind::Own:
        instant = ownZone(calendar, tzid)->instant(wall);
        break;
    case Kind::Unknown:
        break;
    }
    if (!wall.isValid() || !instant.isValid())
        return rule;
    const QString utc = QLocale::c().toString(instant.toUTC(), QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString changed = QString::fromLatin1(value);
    changed.replace(match.capturedStart(1), match.capturedEnd(2) - match.capturedStart(1), utc);
    return rule.left(rule.size() - value.size()) + changed.toLatin1();
}

QByteArray ICalReader::eventText(const ICalText::Component &vevent, QSet<QByteArray> *unknownZones) const
{
    const int calendar = m_text.calendarOf(vevent);
    QByteArray out = "BEGIN:VCALENDAR\n";
    bool versioned = false;
    for (int index : m_text.calendars().at(calendar).properties) {
        versioned = versioned || ICalText::name(m_text.line(index)) == "VERSION";
        out += m_text.line(index) + '\n';
    }
    if (!versioned)
        out += "VERSION:2.0\n";
    QByteArray startLine; // the last DTSTART, as KCalendarCore takes it
    for (int index : vevent.properties) {
        if (ICalText::name(m_text.line(index)) == "DTSTART")
            startLine = m_text.line(index);
    }
    // Every zone is resolved in the lines themselves, so no VTIMEZONE is needed.
    for (int i = vevent.begin; i <= vevent.end; ++i) {
        QByteArray line = m_text.line(i);
        if (line.isEmpty())
            continue;
        const QByteArray name = ICalText::name(line);
        if ((name == "RRULE" || name == "EXRULE") && vevent.properties.contains(i))
            line = ruleInZone(calendar, line, startLine);
        out += readableLine(calendar, line, unknownZones) + '\n';
    }
    out += "END:VCALENDAR\n";
    return m_text.isValidUtf8() ? out : ICalText::decode(out).toUtf8();
}

KCalendarCore::Event::Ptr ICalReader::event(const ICalText::Component &vevent, QSet<QByteArray> *unknownZones) const
{
    auto calendar = KCalendarCore::MemoryCalendar::Ptr::create(QTimeZone::systemTimeZone());
    KCalendarCore::ICalFormat format;
    if (!format.fromRawString(calendar, eventText(vevent, unknownZones)))
        return {};
    const KCalendarCore::Event::List events = calendar->rawEvents();
    if (events.size() != 1 || !events.first()->dtStart().isValid())
        return {};
    const KCalendarCore::Event::Ptr event = events.first();
    // DTSTART is always the first occurrence, also of a rule whose UNTIL lies before it; such a
    // rule adds nothing to it (KCalendarCore would give no occurrence at all).
    if (event->recurs()) {
        KCalendarCore::Recurrence *recurrence = event->recurrence();
        const QDateTime start = event->dtStart();
        const auto rules = recurrence->rRules();
        for (KCalendarCore::RecurrenceRule *rule : rules) {
            const QDateTime until = rule->endDt();
            if (rule->duration() == 0 && until.isValid()
                && (event->allDay() ? until.date() < start.date() : until < start))
                recurrence->deleteRRule(rule);
        }
        keepStart(*event, startZone(vevent).get());
    }
    return event;
}
