#ifndef RUVELANT_VDIRPARSEDFILE_H
#define RUVELANT_VDIRPARSEDFILE_H

#include "calendarstore.h"
#include "icalreader.h"
#include "icaltext.h"

#include <KCalendarCore/Event>

#include <QByteArray>
#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

Q_DECLARE_LOGGING_CATEGORY(lcCalendarStore)

// The event files of the vdir store, read: their VEVENTs as KCalendarCore and the file's text
// give them.
namespace vdir {
// One VEVENT of a file, parsed.
struct ParsedEvent
{
    int child = 0; // index among the VCALENDAR's components
    KCalendarCore::Event::Ptr event;
    QString uid;
    bool hasDescription = false;
    bool cancelled = false; // STATUS:CANCELLED
    std::optional<QList<Attendee>> attendees;
    std::shared_ptr<const ICalZone> zone; // the file's own zone of DTSTART, if any
    QByteArray version; // see Event::Origin::version
};

struct ParsedFile
{
    QString path;
    QByteArray fingerprint;
    ICalText text;
    ICalReader reader;
    QList<ParsedEvent> events;
};

// The identity of a file's content (see Event::Origin::fingerprint).
QByteArray fingerprintOf(const QByteArray &bytes);

// A collection identifier that names a folder right below the root.
bool isCollectionName(const QString &uid);

// The VEVENTs of a file. A VEVENT that KCalendarCore cannot read is left out with a warning, and
// so is each time zone that the file names but nobody defines, and what the file's reading
// passed over; nullopt when the file as a whole is not an iCalendar object.
ParsedFile parseText(const QString &path, const QByteArray &bytes, const ICalText &text, QStringList *warnings);
// parseText() of the file's bytes; nullopt with *error when they are no iCalendar text.
std::optional<ParsedFile> parseFile(const QString &path, const QByteArray &bytes, QString *error,
                                    QStringList *warnings);
} // namespace vdir

#endif
