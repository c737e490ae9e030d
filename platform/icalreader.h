#ifndef RUVELANT_ICALREADER_H
#define RUVELANT_ICALREADER_H

#include "icaltext.h"
#include "icalzone.h"

#include <KCalendarCore/Event>

#include <QHash>
#include <QSet>

#include <memory>

// Reads the events of one calendar file with KCalendarCore the way other calendar programs read
// them, where KCalendarCore alone would drop an event or misplace its times:
// - a calendar without a VERSION line is read as version 2.0;
// - a zone that the file defines itself under a name the zone database does not know (a custom
//   VTIMEZONE) is built from the file's own transitions (see ICalZone), rather than matched to
//   some database zone by its recent standard-time transitions;
// - a Windows zone name is read as its database zone;
// - a TZID that names no zone at all is read as local time, and reported;
// - a rule whose UNTIL lies before DTSTART gives DTSTART alone.
// Only the text handed to KCalendarCore is changed, never the file.
class ICalReader
{
public:
    explicit ICalReader(const ICalText &text);

    // The event of a VEVENT component of the text; null when KCalendarCore cannot read it. Times
    // in a zone of the file's own are read as instants in UTC; expand them with startZone().
    // Each TZID of the component that names no zone is added to unknownZones.
    KCalendarCore::Event::Ptr event(const ICalText::Component &vevent, QSet<QByteArray> *unknownZones) const;

    // The file's own zone of that name; null for a zone of the database, or none.
    std::shared_ptr<const ICalZone> zone(const QByteArray &tzid) const;
    // The file's own zone that the DTSTART of a component names; null when it names none.
    std::shared_ptr<const ICalZone> startZone(const ICalText::Component &vevent) const;

private:
    enum class Kind { Known, Windows, Own, Unknown };
    Kind kindOf(const QByteArray &tzid) const;
    // The text KCalendarCore reads for one component: the calendar's properties (with a VERSION),
    // the component with every TZID resolved as its kind says, unfolded, in UTF-8.
    QByteArray eventText(const ICalText::Component &vevent, QSet<QByteArray> *unknownZones) const;
    QByteArray readableLine(const QByteArray &line, QSet<QByteArray> *unknownZones) const;

    ICalText m_text;
    QHash<QByteArray, std::shared_ptr<const ICalZone>> m_zones;
    mutable QHash<QByteArray, Kind> m_kinds;
};

#endif
