#include "vdirparsedfile.h"

#include "icalspan.h"

#include <QCryptographicHash>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <limits>
#include <utility>

namespace vdir {
namespace {
// The version of a component (see Event::Origin::version): its content lines and those of the
// components it holds (alarms), unfolded, with their names in upper case, in any order (a server
// that stores the event anew may sort them), but DTSTAMP: a program that copies the event or
// writes it out anew sets it to the moment it does so (RFC 5545 3.8.7.2), though nobody edited it.
// An edit in a calendar program changes LAST-MODIFIED or SEQUENCE, and the edited property.
QByteArray versionOf(const ICalText &text, const ICalText::Component &component)
{
    QList<QByteArray> lines;
    for (int index = component.begin + 1; index < component.end; ++index) {
        const QByteArray &line = text.line(index);
        const QByteArray name = ICalText::name(line);
        if (name == "DTSTAMP")
            continue;
        const QByteArray parameters = ICalText::parameters(line);
        lines.append(name + (parameters.isEmpty() ? QByteArray() : ';' + parameters) + ':' + ICalText::value(line));
    }
    std::sort(lines.begin(), lines.end());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray &line : std::as_const(lines)) {
        hash.addData(line);
        hash.addData("\n", 1);
    }
    return hash.result().toHex().left(32);
}

// A URL with its scheme in lower case, the canonical form ("MAILTO:x" is "mailto:x", as Outlook
// and Exchange write it); the rest as it is, and a text without a scheme unchanged.
QString withLowerCaseScheme(QString url)
{
    const int colon = url.indexOf(QLatin1Char(':'));
    const auto isSchemeCharacter = [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('+') || c == QLatin1Char('-')
            || c == QLatin1Char('.');
    };
    if (colon < 1 || !url.at(0).isLetter() || url.at(0).unicode() > 0x7F
        || !std::all_of(url.cbegin(), url.cbegin() + colon, isSchemeCharacter))
        return url;
    return url.left(colon).toLower() + url.mid(colon);
}

// Of overrides of one occurrence (one UID and RECURRENCE-ID, as revisions that a sync or an
// import left side by side), the one with the highest SEQUENCE (RFC 5545 3.8.7.4), then the
// latest DTSTAMP, then the later in the file is the occurrence; the others are not read.
void dropSupersededOverrides(ParsedFile *file)
{
    const auto revision = [file](const ParsedEvent &parsed) {
        qint64 stamp = std::numeric_limits<qint64>::min();
        for (int index : file->text.calendar().children.at(parsed.child).properties) {
            if (ICalText::name(file->text.line(index)) == "DTSTAMP")
                ICalSpan::readTime(ICalText::value(file->text.line(index)), &stamp);
        }
        return std::make_pair(parsed.event->revision(), stamp);
    };
    QList<ParsedEvent> kept;
    QHash<QString, int> overrides; // UID and RECURRENCE-ID -> index in kept
    for (const ParsedEvent &parsed : std::as_const(file->events)) {
        const QDateTime recurrenceId = parsed.event->recurrenceId();
        const QString key = parsed.uid + QLatin1Char('\n')
            + (parsed.event->allDay() ? recurrenceId.date().toString(Qt::ISODate)
                                      : QString::number(recurrenceId.toSecsSinceEpoch()));
        const auto same = parsed.event->hasRecurrenceId() ? overrides.constFind(key) : overrides.cend();
        if (same == overrides.cend()) {
            if (parsed.event->hasRecurrenceId())
                overrides.insert(key, kept.size());
            kept.append(parsed);
        } else if (revision(parsed) >= revision(kept.at(same.value()))) {
            kept[same.value()] = parsed;
        }
    }
    file->events = kept;
}
} // namespace

QByteArray fingerprintOf(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() + '-' + QByteArray::number(bytes.size());
}

bool isCollectionName(const QString &uid)
{
    return !uid.isEmpty() && !uid.startsWith(QLatin1Char('.')) && !uid.contains(QLatin1Char('/'));
}

ParsedFile parseText(const QString &path, const QByteArray &bytes, const ICalText &text, QStringList *warnings)
{
    ParsedFile file {path, fingerprintOf(bytes), text, ICalReader(text), {}};
    if (!text.problems().isEmpty())
        warnings->append(QStringLiteral("%1: the file %2").arg(path, text.problems().join(QLatin1String("; "))));
    QSet<QByteArray> unknownZones;
    const QList<ICalText::Component> &children = file.text.calendar().children;
    for (int c = 0; c < children.size(); ++c) {
        const ICalText::Component &component = children.at(c);
        if (component.name != "VEVENT")
            continue;
        ParsedEvent parsed;
        parsed.event = file.reader.event(component, &unknownZones);
        if (!parsed.event) {
            warnings->append(QStringLiteral("%1: skipping the event at line %2, it cannot be read")
                                 .arg(path)
                                 .arg(component.begin + 1));
            continue;
        }
        parsed.child = c;
        parsed.zone = file.reader.startZone(component);
        parsed.version = versionOf(file.text, component);
        parsed.cancelled = parsed.event->status() == KCalendarCore::Incidence::StatusCanceled;
        for (int index : component.properties) {
            const QByteArray &line = file.text.line(index);
            const QByteArray name = ICalText::name(line);
            if (name == "DESCRIPTION") {
                parsed.hasDescription = true;
            } else if (name == "UID") {
                parsed.uid = file.text.decode(ICalText::value(line)).trimmed();
            } else if (name == "ATTENDEE") {
                if (!parsed.attendees)
                    parsed.attendees.emplace();
                parsed.attendees->append({withLowerCaseScheme(file.text.decode(ICalText::value(line)).trimmed()),
                                          file.text.decode(ICalText::parameter(line, "CN")),
                                          file.text.decode(ICalText::parameter(line, "PARTSTAT")),
                                          file.text.decode(ICalText::parameter(line, "CUTYPE"))});
            }
        }
        file.events.append(parsed);
    }
    dropSupersededOverrides(&file);
    QList<QByteArray> zones = unknownZones.values();
    std::sort(zones.begin(), zones.end());
    for (const QByteArray &zone : std::as_const(zones)) {
        warnings->append(QStringLiteral("%1: the time zone \"%2\" is not known, its times are read as local time")
                             .arg(path, file.text.decode(zone)));
    }
    return file;
}

std::optional<ParsedFile> parseFile(const QString &path, const QByteArray &bytes, QString *error, QStringList *warnings)
{
    const std::optional<ICalText> text = ICalText::parse(bytes, error);
    if (!text)
        return std::nullopt;
    return parseText(path, bytes, *text, warnings);
}
} // namespace vdir
