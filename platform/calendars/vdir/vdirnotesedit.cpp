#include "vdirnotesedit.h"

#include "icalreader.h"
#include "vdiroccurrences.h"

#include <KCalendarCore/Event>

#include <QLocale>
#include <QSet>
#include <QTimeZone>

#include <algorithm>

namespace vdir {
namespace {
// The value of a DTSTART/DTEND/RECURRENCE-ID line for time, in the form of the given line:
// a date, a UTC time, a time in the line's zone (the file's own one, or zone), or a floating
// (local) time.
QByteArray timeValueLike(const ICalReader &reader, const ICalText::Component &component, const QByteArray &line,
                         const QDateTime &time, const QTimeZone &zone, const QDate &date)
{
    const QByteArray value = ICalText::value(line).trimmed();
    if (ICalText::parameter(line, "VALUE").toUpper() == "DATE" || value.size() == 8)
        return QLocale::c().toString(date, QStringLiteral("yyyyMMdd")).toLatin1();
    const QString format = QStringLiteral("yyyyMMdd'T'HHmmss");
    if (value.endsWith('Z') || value.endsWith('z'))
        return QLocale::c().toString(time.toUTC(), format).toLatin1() + 'Z';
    const QByteArray tzid = ICalText::parameter(line, "TZID");
    if (const auto own = reader.zone(component, tzid))
        return QLocale::c().toString(own->wallClock(time), format).toLatin1();
    if (!tzid.isNull() && zone.isValid())
        return QLocale::c().toString(time.toTimeZone(zone), format).toLatin1();
    return QLocale::c().toString(time.toLocalTime(), format).toLatin1();
}

QByteArray withValue(const QByteArray &line, const QByteArray &value)
{
    return line.left(line.size() - ICalText::value(line).size()) + value;
}

// The line with its name (as written, up to the first ';' or ':') replaced.
QByteArray renamed(const QByteArray &line, const QByteArray &name)
{
    int end = 0;
    while (end < line.size() && line.at(end) != ';' && line.at(end) != ':')
        ++end;
    return name + line.mid(end);
}

bool endsLine(const QByteArray &bytes)
{
    return bytes.endsWith('\n') || bytes.endsWith('\r');
}

// The place for a new property of component: before its first nested component, else before its END.
int propertyInsertionPoint(const ICalText::Component &component)
{
    return component.children.isEmpty() ? component.end : component.children.first().begin;
}

// The DESCRIPTION line of component that is read as its notes: the last one, when there are several.
int descriptionLine(const ICalText &text, const ICalText::Component &component)
{
    int found = -1;
    for (int index : component.properties) {
        if (ICalText::name(text.line(index)) == "DESCRIPTION")
            found = index;
    }
    return found;
}

// The edit that gives the component of parsed the description notes.
ICalText::Edit descriptionEdit(const ParsedFile &file, const ParsedEvent &parsed, const QByteArray &notes)
{
    const ICalText::Component &component = file.text.calendar().children.at(parsed.child);
    const int index = descriptionLine(file.text, component);
    if (index >= 0) {
        const QByteArray &line = file.text.line(index);
        return ICalText::Edit {index, true, file.text.fold(withValue(line, notes), file.text.lineEnd(index))};
    }
    const int at = propertyInsertionPoint(component);
    return ICalText::Edit {at, false, file.text.fold("DESCRIPTION:" + notes, file.text.lineEnd(at - 1))};
}

// The one DTSTART line of a component to be copied. Each DTSTART line would make a RECURRENCE-ID,
// and with several UIDs other programs may take the copy for an occurrence of another event: for
// such a malformed event, nullopt with *error set.
std::optional<QByteArray> singleStartLine(const ICalText &text, const ICalText::Component &component, QString *error)
{
    QByteArray startLine;
    int starts = 0, uids = 0;
    for (int index : component.properties) {
        const QByteArray name = ICalText::name(text.line(index));
        if (name == "DTSTART" && ++starts == 1)
            startLine = text.line(index);
        uids += name == "UID" ? 1 : 0;
    }
    if (starts != 1 || uids != 1) {
        *error = QStringLiteral("the repeating event has %1 DTSTART and %2 UID lines").arg(starts).arg(uids);
        return std::nullopt;
    }
    return startLine;
}

// What overrideEdit adds: an override of one occurrence with new notes, or the rest of a
// RANGE=THISANDFUTURE override's range, from the occurrence on, with its notes as they stand.
enum class Copy { Occurrence, RestOfRange };

// The edit that adds an override of the occurrence recurrenceId: a copy of the component it
// takes its properties from (the master, or a RANGE=THISANDFUTURE override), less repetition
// rules, moved to the occurrence's span. An Occurrence copy comes after the master, with the
// notes and a RECURRENCE-ID of its own; a RestOfRange copy comes after its source and keeps the
// source's RECURRENCE-ID line (its range) with the new time.
std::optional<ICalText::Edit> overrideEdit(const ParsedFile &file, const ParsedEvent &master,
                                           const QDateTime &recurrenceId, const Occurrence &occurrence,
                                           const QByteArray &notes, Copy copy, QString *error)
{
    const bool rest = copy == Copy::RestOfRange;
    const ICalText &text = file.text;
    const ParsedEvent &base = *occurrence.source;
    const ICalText::Component &component = text.calendar().children.at(base.child);
    const KCalendarCore::Event &event = *base.event;
    const QSet<int> own(component.properties.cbegin(), component.properties.cend());
    const std::optional<QByteArray> startLine = singleStartLine(text, component, error);
    if (!startLine)
        return std::nullopt;
    const QTimeZone zone = event.dtStart().timeZone();
    const auto dateOf
        = [&](const QDateTime &time) { return event.allDay() ? time.date() : time.toTimeZone(zone).date(); };
    const QDateTime startTime = occurrence.span.first;
    const QDate startDate = dateOf(startTime);
    const QByteArray start = timeValueLike(file.reader, component, *startLine, startTime, zone, startDate);
    const QByteArray recurrence = timeValueLike(file.reader, component, *startLine, recurrenceId,
                                                master.event->dtStart().timeZone(), dateOf(recurrenceId));
    const QDate rawStartDate = QDate::fromString(QString::fromLatin1(ICalText::value(*startLine).trimmed().left(8)),
                                                 QStringLiteral("yyyyMMdd"));
    const qint64 length = startTime.secsTo(occurrence.span.second);
    // Without DTEND and DURATION the copy would have no length: an occurrence that has one (an
    // RDATE with a PERIOD) gets it as a DURATION.
    const bool hasEnd = std::any_of(component.properties.cbegin(), component.properties.cend(), [&](int index) {
        const QByteArray name = ICalText::name(text.line(index));
        return name == "DTEND" || name == "DURATION";
    });

    QByteArray out;
    const int descriptionAt = propertyInsertionPoint(component);
    const int description = descriptionLine(text, component);
    for (int index = component.begin; index <= component.end; ++index) {
        const QByteArray &line = text.line(index);
        const QByteArray eol = text.lineEnd(index);
        if (index == descriptionAt && description < 0 && !rest)
            out += text.fold("DESCRIPTION:" + notes, eol);
        if (!own.contains(index)) {
            out += text.physical(index);
            continue;
        }
        const QByteArray name = ICalText::name(line);
        if (name == "RECURRENCE-ID" && rest) {
            out += text.fold(withValue(line,
                                       timeValueLike(file.reader, component, line, recurrenceId,
                                                     event.recurrenceId().timeZone(), dateOf(recurrenceId))),
                             eol);
        } else if (name == "RRULE" || name == "RDATE" || name == "EXDATE" || name == "EXRULE"
                   || name == "RECURRENCE-ID") {
            continue;
        } else if (name == "DTSTART") {
            out += text.fold(withValue(line, start), eol);
            if (!rest)
                out += text.fold(renamed(withValue(line, recurrence), "RECURRENCE-ID"), eol);
            if (!hasEnd && !event.allDay() && length > 0)
                out += text.fold("DURATION:PT" + QByteArray::number(length) + 'S', eol);
        } else if (name == "DTEND") {
            const QDate rawEndDate = QDate::fromString(QString::fromLatin1(ICalText::value(line).trimmed().left(8)),
                                                       QStringLiteral("yyyyMMdd"));
            const QDate endDate = startDate.addDays(
                rawStartDate.isValid() && rawEndDate.isValid() ? rawStartDate.daysTo(rawEndDate) : 1);
            const QDateTime endTime = startTime.addSecs(length);
            out += text.fold(
                withValue(line,
                          timeValueLike(file.reader, component, line, endTime, event.dtEnd().timeZone(), endDate)),
                eol);
        } else if (name == "DURATION" && !event.allDay() && length != event.dtStart().secsTo(event.dtEnd())) {
            out += text.fold(withValue(line, "PT" + QByteArray::number(length) + 'S'), eol);
        } else if (index == description && !rest) {
            out += text.fold(withValue(line, notes), eol);
        } else if (name != "DESCRIPTION" || rest) { // an Occurrence copy has one, with the notes
            out += text.physical(index);
        }
    }
    // After the last line of a bare file, which may lack its line end.
    const int at = text.calendar().children.at(rest ? base.child : master.child).end + 1;
    if (at == text.lineCount() && !endsLine(text.physical(at - 1)))
        out.prepend(text.lineEnd(at - 1));
    if (!endsLine(out))
        out += text.lineEnd(component.end);
    return ICalText::Edit {at, false, out};
}

// The line without its RANGE parameter; a quoted parameter value may hold ';'.
QByteArray withoutRange(const QByteArray &line)
{
    int end = 0;
    while (end < line.size() && line.at(end) != ';' && line.at(end) != ':')
        ++end;
    QByteArray out = line.left(end), parameter;
    bool quoted = false;
    for (const char c : ICalText::parameters(line) + ';') {
        quoted = c == '"' ? !quoted : quoted;
        if (c != ';' || quoted) {
            parameter += c;
            continue;
        }
        if (!parameter.isEmpty() && !parameter.toUpper().startsWith("RANGE="))
            out += ';' + parameter;
        parameter.clear();
    }
    return out + ':' + ICalText::value(line);
}

QString normalizedBreaks(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}
} // namespace

QList<ICalText::Edit> wrapped(const ICalText &text, QList<ICalText::Edit> edits)
{
    const QByteArray eol = text.lineEnd(0);
    // An unended last line is ended by an edit that comes after it.
    const bool open = !endsLine(text.physical(text.lineCount() - 1))
        && std::none_of(edits.cbegin(), edits.cend(),
                        [&](const ICalText::Edit &edit) { return edit.at == text.lineCount(); });
    edits.prepend({0, false, "BEGIN:VCALENDAR" + eol});
    edits.append({int(text.lineCount()), false, (open ? eol : QByteArray()) + "END:VCALENDAR" + eol});
    return edits;
}

std::optional<QList<ICalText::Edit>> notesEdit(const ParsedFile &file, const Event &event, const ParsedEvent *found,
                                               const ParsedEvent *master, std::pair<QDateTime, QDateTime> *kept,
                                               int *added, QString *error)
{
    // The notes in UTF-8; the bytes of the notes they extend stay as written, also where they are
    // not valid UTF-8.
    const auto notesFor = [&](const ParsedEvent &parsed) {
        const int line = descriptionLine(file.text, file.text.calendar().children.at(parsed.child));
        return ICalText::encode(ICalText::escapeText(event.notes),
                                line < 0 ? QByteArray() : ICalText::value(file.text.line(line)));
    };
    if (found) {
        *kept = occurrenceSpan(*found->event, found->event->dtStart());
        *added = 0;
        QList<ICalText::Edit> edits {descriptionEdit(file, *found, notesFor(*found))};
        const QDateTime next
            = master && found->event->thisAndFuture() ? nextInRange(file, *master, *found) : QDateTime();
        if (!next.isValid())
            return edits;
        const auto rest
            = overrideEdit(file, *master, next, occurrenceAt(file, *master, next), {}, Copy::RestOfRange, error);
        if (!rest)
            return std::nullopt;
        for (int index : file.text.calendar().children.at(found->child).properties) {
            const QByteArray &line = file.text.line(index);
            if (ICalText::name(line) == "RECURRENCE-ID" && !ICalText::parameter(line, "RANGE").isNull())
                edits.append({index, true, file.text.fold(withoutRange(line), file.text.lineEnd(index))});
        }
        edits.append(*rest);
        *added = 1;
        return edits;
    }
    const Occurrence occurrence = occurrenceAt(file, *master, event.origin.recurrenceId);
    *kept = occurrence.span;
    *added = 1;
    const auto edit = overrideEdit(file, *master, event.origin.recurrenceId, occurrence, notesFor(*occurrence.source),
                                   Copy::Occurrence, error);
    return edit ? std::optional(QList<ICalText::Edit> {*edit}) : std::nullopt;
}

bool readsBack(const ParsedFile &check, const ParsedFile &file, const Event &event, int added,
               const std::pair<QDateTime, QDateTime> &kept)
{
    const ParsedEvent *checkMaster = nullptr;
    const ParsedEvent *checked = findEvent(check, event.origin.uid, event.origin.recurrenceId, &checkMaster);
    return checked && check.events.size() == file.events.size() + added
        && normalizedBreaks(checked->event->description()) == normalizedBreaks(event.notes)
        && occurrenceSpan(*checked->event, checked->event->dtStart()) == kept;
}
} // namespace vdir
