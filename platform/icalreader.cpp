#include "icalreader.h"

#include "contentline.h"

#include <KCalendarCore/ICalFormat>
#include <KCalendarCore/MemoryCalendar>
#include <KCalendarCore/Recurrence>
#include <KCalendarCore/RecurrenceRule>

#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>

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
} // namespace

ICalReader::ICalReader(const ICalText &text) : m_text(text)
{
    for (const ICalText::Component &child : text.calendar().children) {
        if (child.name != "VTIMEZONE")
            continue;
        std::optional<ICalZone> zone = ICalZone::fromComponent(text, child);
        if (zone && !m_zones.contains(zone->tzid()))
            m_zones.insert(zone->tzid(), std::make_shared<const ICalZone>(*zone));
    }
}

ICalReader::Kind ICalReader::kindOf(const QByteArray &tzid) const
{
    const auto known = m_kinds.constFind(tzid);
    if (known != m_kinds.cend())
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
    else if (m_zones.contains(tzid))
        kind = Kind::Own;
    m_kinds.insert(tzid, kind);
    return kind;
}

std::shared_ptr<const ICalZone> ICalReader::zone(const QByteArray &tzid) const
{
    return tzid.isNull() || kindOf(tzid) != Kind::Own ? nullptr : m_zones.value(tzid);
}

std::shared_ptr<const ICalZone> ICalReader::startZone(const ICalText::Component &vevent) const
{
    for (int index : vevent.properties) {
        if (ICalText::name(m_text.line(index)) == "DTSTART")
            return zone(ICalText::parameter(m_text.line(index), "TZID"));
    }
    return nullptr;
}

QByteArray ICalReader::readableLine(const QByteArray &line, QSet<QByteArray> *unknownZones) const
{
    const QByteArray tzid = ICalText::parameter(line, "TZID");
    if (tzid.isNull())
        return line;
    switch (kindOf(tzid)) {
    case Kind::Known:
        return line;
    case Kind::Windows:
        return withTzid(line, QTimeZone::windowsIdToDefaultIanaId(tzid));
    case Kind::Own: {
        const QByteArray bare = withTzid(line, QByteArray());
        const int colon = ContentLine::valueSeparator(bare);
        return bare.left(colon + 1) + inUtc(bare.mid(colon + 1), *m_zones.value(tzid));
    }
    case Kind::Unknown:
        break;
    }
    // Floating, as other readers take it: the local time of whoever reads it.
    unknownZones->insert(tzid);
    return withTzid(line, QByteArray());
}

QByteArray ICalReader::eventText(const ICalText::Component &vevent, QSet<QByteArray> *unknownZones) const
{
    QByteArray out = "BEGIN:VCALENDAR\n";
    bool versioned = false;
    for (int index : m_text.calendar().properties) {
        versioned = versioned || ICalText::name(m_text.line(index)) == "VERSION";
        out += m_text.line(index) + '\n';
    }
    if (!versioned)
        out += "VERSION:2.0\n";
    // Every zone is resolved in the lines themselves, so no VTIMEZONE is needed.
    for (int i = vevent.begin; i <= vevent.end; ++i) {
        if (!m_text.line(i).isEmpty())
            out += readableLine(m_text.line(i), unknownZones) + '\n';
    }
    out += "END:VCALENDAR\n";
    return m_text.isLatin1() ? QString::fromLatin1(out).toUtf8() : out;
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
    }
    return event;
}
