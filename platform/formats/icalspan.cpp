#include "icalspan.h"

#include "icaltext.h"

#include <QList>

#include <algorithm>

namespace {
constexpr qint64 day = 86400;
constexpr qint64 margin = 2 * day; // more than any UTC offset, either way
constexpr ICalSpan::Span everything {-ICalSpan::Span::open, ICalSpan::Span::open};

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
qint64 daysFromCivil(qint64 y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + qint64(doe) - 719468;
}

bool digits(const QByteArray &text, int from, int count, int *out)
{
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        if (i >= text.size() || text.at(i) < '0' || text.at(i) > '9')
            return false;
        value = value * 10 + (text.at(i) - '0');
    }
    *out = value;
    return true;
}

// A DURATION value ("P1D", "-PT1H30M", "P2W") in seconds.
bool readDuration(const QByteArray &text, qint64 *seconds)
{
    const QByteArray value = text.trimmed().toUpper();
    int i = 0;
    const bool negative = value.startsWith('-');
    if (value.startsWith('-') || value.startsWith('+'))
        ++i;
    if (i >= value.size() || value.at(i++) != 'P')
        return false;
    qint64 total = 0, number = -1;
    bool time = false;
    for (; i < value.size(); ++i) {
        const char c = value.at(i);
        if (c >= '0' && c <= '9') {
            number = (number < 0 ? 0 : number) * 10 + (c - '0');
            if (number > 1000000000)
                return false;
            continue;
        }
        if (c == 'T') {
            time = true;
            continue;
        }
        if (number < 0)
            return false;
        const qint64 unit = c == 'W' ? 7 * day
            : c == 'D'               ? day
            : c == 'H' && time       ? 3600
            : c == 'M' && time       ? 60
            : c == 'S' && time       ? 1
                                     : 0;
        if (unit == 0)
            return false;
        total += number * unit;
        number = -1;
    }
    if (number >= 0)
        return false;
    *seconds = negative ? -total : total;
    return true;
}

qint64 saturatedAdd(qint64 a, qint64 b)
{
    if (a == ICalSpan::Span::open || a == -ICalSpan::Span::open)
        return a;
    return std::clamp<qint64>(a + b, -ICalSpan::Span::open + 1, ICalSpan::Span::open - 1);
}

// The end of a rule's last occurrence start, or Span::open.
qint64 ruleEnd(const QByteArray &rule, qint64 start)
{
    qint64 unit = 0, interval = 1, count = -1, until = ICalSpan::Span::open;
    bool byParts = false;
    for (const QByteArray &part : rule.toUpper().split(';')) {
        const int eq = part.indexOf('=');
        const QByteArray key = part.left(eq).trimmed(), value = part.mid(eq + 1).trimmed();
        if (key == "FREQ") {
            unit = value == "SECONDLY" ? 1
                : value == "MINUTELY"  ? 60
                : value == "HOURLY"    ? 3600
                : value == "DAILY"     ? day
                : value == "WEEKLY"    ? 7 * day
                : value == "MONTHLY"   ? 31 * day
                : value == "YEARLY"    ? 366 * day
                                       : 0;
        } else if (key == "INTERVAL") {
            interval = std::max<qint64>(1, value.toLongLong());
        } else if (key == "COUNT") {
            count = value.toLongLong();
        } else if (key == "UNTIL") {
            bool isDate = false;
            if (!ICalSpan::readTime(value, &until, &isDate))
                return ICalSpan::Span::open;
            if (isDate)
                until += day;
        } else if (key.startsWith("BY")) {
            byParts = true;
        }
    }
    if (until != ICalSpan::Span::open)
        return std::max(until, start);
    // A COUNT of plain periods ends within that many periods; some periods hold no occurrence
    // (the 31st of a short month, the 29th of February), hence the ample factor.
    if (count >= 0 && !byParts && unit > 0 && count <= 100000)
        return saturatedAdd(start, count * interval * unit * 8);
    return ICalSpan::Span::open;
}
} // namespace

bool ICalSpan::readTime(const QByteArray &text, qint64 *seconds, bool *isDate)
{
    const QByteArray value = text.trimmed();
    int y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
    if (!digits(value, 0, 4, &y) || !digits(value, 4, 2, &m) || !digits(value, 6, 2, &d) || m < 1 || m > 12 || d < 1
        || d > 31)
        return false;
    const bool date = value.size() == 8;
    if (!date) {
        if (value.size() < 15 || (value.at(8) != 'T' && value.at(8) != 't') || !digits(value, 9, 2, &hh)
            || !digits(value, 11, 2, &mm) || !digits(value, 13, 2, &ss)
            || (value.size() > 15 && (value.size() != 16 || (value.at(15) != 'Z' && value.at(15) != 'z'))))
            return false;
    }
    *seconds = daysFromCivil(y, unsigned(m), unsigned(d)) * day + hh * 3600 + mm * 60 + ss;
    if (isDate)
        *isDate = date;
    return true;
}

namespace {
// The lines of one VEVENT that the span is made from: DTSTART, DTEND, DURATION, RRULE, RDATE and
// RECURRENCE-ID, each as (unfolded) name;parameters:value.
using Lines = QList<QByteArray>;

// Walks the content lines of bytes (unfolded; with any line end) and gives f the lines of each
// VEVENT that is a top-level component or a child of the top-level VCALENDAR. False when the file
// looks malformed (NUL bytes, a line without value, unbalanced or missing BEGIN and END, content
// after the VCALENDAR): such a file is read in full, which tells what is wrong with it.
template<typename F> bool forEachEvent(const QByteArray &bytes, F f)
{
    if (bytes.contains('\0'))
        return false;
    const char *p = bytes.constData(), *const end = p + bytes.size();
    if (bytes.startsWith("\xEF\xBB\xBF"))
        p += 3;
    const auto lineEnd = [end](const char *at) {
        while (at < end && *at != '\r' && *at != '\n')
            ++at;
        return at;
    };
    const auto pastLineEnd = [end](const char *at) { // CRLF, CR or LF
        if (at < end && *at == '\r')
            ++at;
        if (at < end && *at == '\n')
            ++at;
        return at;
    };
    int depth = 0, eventDepth = -1;
    bool begun = false, calendarDone = false;
    Lines lines;
    while (p < end) {
        // One content line: a physical line and the continuation lines after it.
        const char *stop = lineEnd(p);
        QByteArray line = QByteArray::fromRawData(p, int(stop - p));
        p = pastLineEnd(stop);
        while (p < end && (*p == ' ' || *p == '\t')) {
            stop = lineEnd(p + 1);
            line = QByteArray(line.constData(), line.size()) + QByteArray(p + 1, int(stop - p - 1));
            p = pastLineEnd(stop);
        }
        if (line.isEmpty())
            continue;
        if (!line.contains(':') || calendarDone)
            return false;
        int nameEnd = 0;
        while (nameEnd < line.size() && line.at(nameEnd) != ';' && line.at(nameEnd) != ':')
            ++nameEnd;
        const auto is = [&](const char *name) {
            return nameEnd == int(qstrlen(name)) && qstrnicmp(line.constData(), name, nameEnd) == 0;
        };
        if (is("BEGIN")) {
            if (eventDepth < 0 && depth <= 1 && ICalText::value(line).trimmed().toUpper() == "VEVENT") {
                eventDepth = depth;
                lines.clear();
            }
            ++depth;
            begun = true;
        } else if (is("END")) {
            if (--depth < 0)
                return false;
            if (depth == eventDepth) {
                f(lines);
                eventDepth = -1;
            }
            calendarDone = depth == 0 && ICalText::value(line).trimmed().toUpper() == "VCALENDAR";
        } else if (depth == 0) {
            return false;
        } else if (depth == eventDepth + 1
                   && (is("DTSTART") || is("DTEND") || is("DURATION") || is("RRULE") || is("RDATE")
                       || is("RECURRENCE-ID"))) {
            lines.append(line);
        }
    }
    return begun && depth == 0;
}
} // namespace

ICalSpan::Span ICalSpan::of(const QByteArray &bytes)
{
    qint64 first = Span::open, last = -Span::open, longest = 0, shift = 0;
    QList<qint64> ruleEnds; // last starts of repeating events
    bool unreadable = false;
    const bool wellFormed = forEachEvent(bytes, [&](const Lines &lines) {
        qint64 start = 0, end = 0, duration = 0, recurrenceId = 0;
        bool hasStart = false, hasEnd = false, hasDuration = false, dateStart = false, thisAndFuture = false;
        QList<QByteArray> rules, rdates;
        for (const QByteArray &line : lines) {
            const QByteArray name = ICalText::name(line), value = ICalText::value(line);
            bool read = true;
            if (name == "DTSTART")
                read = hasStart = readTime(value, &start, &dateStart);
            else if (name == "DTEND")
                read = hasEnd = readTime(value, &end);
            else if (name == "DURATION")
                read = hasDuration = readDuration(value, &duration);
            else if (name == "RRULE")
                rules.append(value);
            else if (name == "RDATE")
                rdates.append(value);
            else if (name == "RECURRENCE-ID")
                read = readTime(value, &recurrenceId);
            if (name == "RECURRENCE-ID")
                thisAndFuture = ICalText::parameter(line, "RANGE").toUpper() == "THISANDFUTURE";
            unreadable = unreadable || !read;
        }
        if (!hasStart || unreadable) {
            unreadable = true;
            return;
        }
        const qint64 length = std::max<qint64>(0, hasEnd ? end - start : hasDuration ? duration : dateStart ? day : 0);
        longest = std::max(longest, length);
        if (thisAndFuture)
            shift = std::max(shift, start - recurrenceId);
        first = std::min(first, start);
        last = std::max(last, start + length);
        for (const QByteArray &rule : std::as_const(rules))
            ruleEnds.append(ruleEnd(rule, start));
        for (const QByteArray &list : std::as_const(rdates)) {
            for (const QByteArray &item : list.split(',')) {
                const QList<QByteArray> parts = item.split('/');
                qint64 at = 0, until = 0, periodLength = 0;
                if (!readTime(parts.first(), &at)) {
                    unreadable = true;
                    return;
                }
                if (parts.size() > 1 && readDuration(parts.at(1), &periodLength))
                    until = at + periodLength;
                else if (parts.size() > 1 && !readTime(parts.at(1), &until))
                    unreadable = true;
                first = std::min(first, at);
                last = std::max({last, at + length, until});
            }
        }
    });
    if (unreadable || !wellFormed)
        return everything;
    // A repeating event's occurrences are as long as the longest component of the file says, and
    // moved as far as its this-and-future overrides move them.
    for (qint64 end : std::as_const(ruleEnds))
        last = std::max(last, saturatedAdd(end, longest + shift));
    if (first > last)
        return Span();
    return {saturatedAdd(first, -margin), saturatedAdd(last, margin)};
}
