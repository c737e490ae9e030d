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
//   some database zone by its recent standard-time transitions; its TZID is matched as the text
//   it is (escapes read, "Kuala Lumpur\, Singapore" is "Kuala Lumpur, Singapore"), white space
//   around it aside;
// - a Windows zone name is read as its database zone;
// - a TZID that names no zone at all is read as local time, and reported;
// - a rule whose UNTIL lies before DTSTART gives DTSTART alone;
// - an UNTIL in local time (no 'Z') is read in DTSTART's zone, wherever the file is read;
// - DTSTART is the first occurrence also when the rules do not give it, and a COUNT counts it;
// - text that is not valid UTF-8 is read with one U+FFFD for each ill-formed sequence.
// Each VCALENDAR of a file that holds several is read with its own properties and zones. Only the
// text handed to KCalendarCore is changed, never the file.
class ICalReader
{
public:
    explicit ICalReader(const ICalText &text);

    // The event of a VEVENT component of the text; null when KCalendarCore cannot read it. Times
    // in a zone of the file's own are read as instants in UTC; expand them with startZone().
    // Each TZID of the component that names no zone is added to unknownZones.
    KCalendarCore::Event::Ptr event(const ICalText::Component &vevent, QSet<QByteArray> *unknownZones) const;

    // The file's own zone of that name, as the VCALENDAR of a component defines it; null for a
    // zone of the database, or none.
    std::shared_ptr<const ICalZone> zone(const ICalText::Component &within, const QByteArray &tzid) const;
    // The file's own zone that the DTSTART of a component names; null when it names none.
    std::shared_ptr<const ICalZone> startZone(const ICalText::Component &vevent) const;

private:
    enum class Kind { Known, Windows, Own, Unknown };
    Kind kindOf(int calendar, const QByteArray &tzid) const;
    std::shared_ptr<const ICalZone> ownZone(int calendar, const QByteArray &tzid) const;
    // The text KCalendarCore reads for one component: its calendar's properties (with a VERSION),
    // the component with every TZID resolved as its kind says and a local UNTIL in DTSTART's
    // zone, unfolded, in UTF-8.
    QByteArray eventText(const ICalText::Component &vevent, QSet<QByteArray> *unknownZones) const;
    QByteArray readableLine(int calendar, const QByteArray &line, QSet<QByteArray> *unknownZones) const;
    // A rule line with a local UNTIL given as the instant it is in the zone of DTSTART.
    QByteArray ruleInZone(int calendar, const QByteArray &rule, const QByteArray &startLine) const;

    ICalText m_text;
    QList<QHash<QByteArray, std::shared_ptr<const ICalZone>>> m_zones; // per VCALENDAR, by TZID
    mutable QList<QHash<QByteArray, Kind>> m_kinds;
};

#endif
