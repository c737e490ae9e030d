#include "icaltext.h"

#include "contentline.h"

#include <QSet>

#include <algorithm>

namespace {
// A line of nothing but white space (only the first line of a file can be one).
bool isBlank(const QByteArray &line)
{
    return std::all_of(line.cbegin(), line.cend(), [](char c) { return c == ' ' || c == '\t'; });
}

int nameEnd(const QByteArray &line)
{
    for (int i = 0; i < line.size(); ++i) {
        if (line.at(i) == ';' || line.at(i) == ':')
            return i;
    }
    return line.size();
}
} // namespace

std::optional<ICalText> ICalText::parse(const QByteArray &input, QString *error)
{
    auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return std::nullopt;
    };
    ICalText text;
    QByteArray bytes = input;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        text.m_bom = bytes.left(3);
        bytes.remove(0, 3);
    }
    if (bytes.contains('\0'))
        return fail(QStringLiteral("contains NUL bytes"));
    text.m_validUtf8 = ::ContentLine::isValidUtf8(bytes);

    for (int pos = 0; pos < bytes.size();) {
        int end = pos;
        while (end < bytes.size() && bytes.at(end) != '\r' && bytes.at(end) != '\n')
            ++end;
        int eolLength = 0;
        if (end < bytes.size())
            eolLength = (bytes.at(end) == '\r' && end + 1 < bytes.size() && bytes.at(end + 1) == '\n') ? 2 : 1;
        text.m_physical.append({bytes.mid(pos, end - pos), bytes.mid(end, eolLength)});
        pos = end + eolLength;
    }

    bool leadingContinuation = false;
    for (int i = 0; i < text.m_physical.size(); ++i) {
        const QByteArray &physical = text.m_physical.at(i).text;
        if (!physical.isEmpty() && (physical.at(0) == ' ' || physical.at(0) == '\t') && !text.m_lines.isEmpty()) {
            text.m_lines.last().text += physical.mid(1);
            text.m_lines.last().last = i;
        } else {
            // A continuation of no line is a line of its own: names are read without white space around them.
            if (text.m_lines.isEmpty())
                leadingContinuation = !isBlank(physical) && physical != physical.trimmed();
            text.m_lines.append({i, i, physical});
        }
    }

    static const QList<QByteArray> bareNames {"VEVENT", "VTODO", "VJOURNAL", "VFREEBUSY", "VTIMEZONE"};
    QList<Component> stack;
    bool skipping = false; // in a VCALENDAR that is not well-formed, up to the next one
    int outside = 0; // the first line outside the components, counted from 1
    QString firstError;
    // The VCALENDAR in hand ends at content line `end` (its END, or the last line before the next).
    const auto endCalendar = [&](int end, const QString &problem) {
        Component calendar = stack.takeLast();
        calendar.end = end;
        text.m_calendars.append(calendar);
        if (!problem.isEmpty()) {
            text.m_problems.append(problem);
            text.m_damaged = true;
        }
    };
    // The VCALENDAR in hand is not well-formed: it is not read.
    const auto passOver = [&](const QString &problem) {
        firstError = firstError.isEmpty() ? problem : firstError;
        text.m_problems.append(QStringLiteral("has a VCALENDAR (line %1) that is not read, it %2")
                                   .arg(text.m_lines.at(stack.first().begin).first + 1)
                                   .arg(problem));
        text.m_damaged = true;
        stack.clear();
    };
    for (int i = 0; i < text.m_lines.size(); ++i) {
        const QByteArray &line = text.m_lines.at(i).text;
        if (isBlank(line))
            continue;
        const int lineNumber = text.m_lines.at(i).first + 1;
        const bool content = ::ContentLine::valueSeparator(line) >= 0;
        const QByteArray lineName = content ? name(line) : QByteArray();
        const QByteArray componentName
            = lineName == "BEGIN" || lineName == "END" ? value(line).trimmed().toUpper() : QByteArray();
        const bool beginsCalendar = lineName == "BEGIN" && componentName == "VCALENDAR";
        if (skipping && !beginsCalendar)
            continue;
        skipping = false;
        if (stack.isEmpty()) {
            if (beginsCalendar && text.m_bare)
                return fail(QStringLiteral("has a VCALENDAR after bare components (line %1)").arg(lineNumber));
            if (!beginsCalendar) {
                // A bare component (a VEVENT without the VCALENDAR around it) is read as if wrapped.
                if (lineName != "BEGIN" || !bareNames.contains(componentName) || !text.m_calendars.isEmpty()) {
                    outside = outside > 0 ? outside : lineNumber;
                    continue;
                }
                if (!text.m_bare) {
                    text.m_bare = true;
                    text.m_calendar = Component {"VCALENDAR", -1, int(text.m_lines.size()), {}, {}};
                }
            }
        } else if (!content && stack.size() == 1 && !text.m_bare) {
            // Text between the components of a VCALENDAR (a mail's, in a dump) is passed over too.
            outside = outside > 0 ? outside : lineNumber;
            continue;
        } else if (beginsCalendar && stack.size() == 1 && stack.first().name == "VCALENDAR") {
            // VCALENDARs do not nest: the one in hand ended without its END.
            endCalendar(i - 1,
                        QStringLiteral("has a VCALENDAR without END:VCALENDAR (line %1)")
                            .arg(text.m_lines.at(stack.first().begin).first + 1));
        }
        QString problem; // what makes the VCALENDAR in hand not well-formed
        if (!content) {
            problem = QStringLiteral("line %1 is not a content line").arg(lineNumber);
        } else if (lineName == "BEGIN") {
            if (stack.size() >= maxDepth)
                problem = QStringLiteral("nests components more than %1 levels deep (line %2)")
                              .arg(maxDepth)
                              .arg(lineNumber);
            else
                stack.append(Component {componentName, i, 0, {}, {}});
        } else if (lineName == "END") {
            if (stack.last().name == componentName) {
                Component component = stack.takeLast();
                component.end = i;
                if (stack.isEmpty() && text.m_bare)
                    text.m_calendar.children.append(component);
                else if (stack.isEmpty())
                    text.m_calendars.append(component);
                else
                    stack.last().children.append(component);
            } else if (stack.size() == 1 && !text.m_bare) { // END:VCALENDARD, say
                endCalendar(i,
                            QStringLiteral("ends a VCALENDAR with END:%1 (line %2)")
                                .arg(QString::fromLatin1(componentName))
                                .arg(lineNumber));
            } else {
                problem = QStringLiteral("has an unmatched END:%1 (line %2)")
                              .arg(QString::fromLatin1(componentName))
                              .arg(lineNumber);
            }
        } else {
            stack.last().properties.append(i);
        }
        if (problem.isEmpty())
            continue;
        if (text.m_bare)
            return fail(problem);
        passOver(problem);
        skipping = true;
    }
    if (stack.size() == 1 && !text.m_bare) {
        endCalendar(text.m_lines.size() - 1,
                    QStringLiteral("has a VCALENDAR without END:VCALENDAR (line %1)")
                        .arg(text.m_lines.at(stack.first().begin).first + 1));
    } else if (!stack.isEmpty()) {
        const QString problem
            = QStringLiteral("ends before END:%1 (truncated)").arg(QString::fromLatin1(stack.last().name));
        if (text.m_bare)
            return fail(problem);
        passOver(problem);
    }
    if (text.m_bare) {
        text.m_calendars = {text.m_calendar};
    } else if (text.m_calendars.isEmpty()) {
        return fail(firstError.isEmpty() ? QStringLiteral("holds no VCALENDAR") : firstError);
    } else if (text.m_calendars.size() == 1) {
        text.m_calendar = text.m_calendars.first();
    } else {
        text.m_calendar = Component {"VCALENDAR", -1, int(text.m_lines.size()), {}, {}};
        for (const Component &calendar : std::as_const(text.m_calendars))
            text.m_calendar.children += calendar.children;
        text.m_problems.append(
            QStringLiteral("holds %1 VCALENDARs, the events of each are read").arg(text.m_calendars.size()));
    }
    if (outside > 0) {
        text.m_problems.append(
            QStringLiteral("has text outside its iCalendar components (line %1), which is not read").arg(outside));
        text.m_damaged = true;
    }
    if (leadingContinuation && outside != text.m_lines.first().first + 1)
        text.m_problems.prepend(QStringLiteral("starts with a continuation line, read as a line of its own"));
    return text;
}

int ICalText::calendarOf(const Component &child) const
{
    // The last VCALENDAR that begins before the child (they are in file order and do not overlap).
    const auto after = std::upper_bound(m_calendars.cbegin(), m_calendars.cend(), child.begin,
                                        [](int begin, const Component &calendar) { return begin < calendar.begin; });
    return after == m_calendars.cbegin() ? 0 : int(after - m_calendars.cbegin()) - 1;
}

QByteArray ICalText::name(const QByteArray &line)
{
    return line.left(nameEnd(line)).trimmed().toUpper();
}

QByteArray ICalText::parameters(const QByteArray &line)
{
    const int start = nameEnd(line);
    const int colon = ::ContentLine::valueSeparator(line);
    if (start >= line.size() || line.at(start) != ';' || colon < start)
        return QByteArray();
    return line.mid(start + 1, colon - start - 1);
}

QByteArray ICalText::value(const QByteArray &line)
{
    const int colon = ::ContentLine::valueSeparator(line);
    return colon < 0 ? QByteArray() : line.mid(colon + 1);
}

QByteArray ICalText::parameter(const QByteArray &line, const QByteArray &param)
{
    const QByteArray params = parameters(line);
    bool quoted = false;
    int start = 0;
    for (int i = 0; i <= params.size(); ++i) {
        if (i < params.size() && params.at(i) == '"')
            quoted = !quoted;
        if (i == params.size() || (params.at(i) == ';' && !quoted)) {
            const QByteArray item = params.mid(start, i - start);
            const int eq = item.indexOf('=');
            if (eq > 0 && item.left(eq).trimmed().toUpper() == param) {
                QByteArray result = item.mid(eq + 1);
                if (result.size() >= 2 && result.startsWith('"') && result.endsWith('"'))
                    result = result.mid(1, result.size() - 2);
                return result.isNull() ? QByteArray("") : result;
            }
            start = i + 1;
        }
    }
    return QByteArray();
}

QString ICalText::escapeText(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\') || c == QLatin1Char(';') || c == QLatin1Char(',')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c == QLatin1Char('\r')) {
            out += QLatin1String("\\n");
            if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
        } else if (c == QLatin1Char('\n')) {
            out += QLatin1String("\\n");
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray ICalText::unescapeText(const QByteArray &value)
{
    QByteArray out;
    out.reserve(value.size());
    for (int i = 0; i < value.size(); ++i) {
        const char next = i + 1 < value.size() ? value.at(i + 1) : '\0';
        if (value.at(i) == '\\' && (next == ',' || next == ';' || next == '\\')) {
            out += next;
            ++i;
        } else if (value.at(i) == '\\' && (next == 'n' || next == 'N')) {
            out += '\n';
            ++i;
        } else {
            out += value.at(i);
        }
    }
    return out;
}

QString ICalText::decode(const QByteArray &bytes)
{
    return ::ContentLine::decodeUtf8(bytes);
}

QByteArray ICalText::encode(const QString &text, const QByteArray &kept)
{
    const QString keptText = decode(kept);
    if (kept.isEmpty() || !text.startsWith(keptText))
        return text.toUtf8();
    return kept + text.mid(keptText.size()).toUtf8();
}

QByteArray ICalText::physical(int index) const
{
    QByteArray out;
    const ContentLine &line = m_lines.at(index);
    for (int i = line.first; i <= line.last; ++i)
        out += m_physical.at(i).text + m_physical.at(i).eol;
    return out;
}

QByteArray ICalText::lineEnd(int index) const
{
    for (int i = m_lines.at(index).last; i >= 0; --i) {
        if (!m_physical.at(i).eol.isEmpty())
            return m_physical.at(i).eol;
    }
    return QByteArrayLiteral("\r\n");
}

QByteArray ICalText::fold(const QByteArray &line, const QByteArray &lineEnd) const
{
    QByteArray out;
    int pos = 0;
    bool first = true;
    do {
        const int room = first ? 75 : 74;
        int cut = std::min<int>(line.size(), pos + room);
        while (cut < line.size() && cut > pos + 1 && (static_cast<unsigned char>(line.at(cut)) & 0xC0) == 0x80)
            --cut;
        if (!first)
            out += ' ';
        out += line.mid(pos, cut - pos);
        out += lineEnd;
        pos = cut;
        first = false;
    } while (pos < line.size());
    return out;
}

QByteArray ICalText::bytes(const QList<Edit> &edits) const
{
    QByteArray out = m_bom;
    for (int i = 0; i <= m_lines.size(); ++i) {
        bool replaced = false;
        for (const Edit &edit : edits) {
            if (edit.at == i) {
                out += edit.insert;
                replaced = replaced || edit.replace;
            }
        }
        if (i < m_lines.size() && !replaced)
            out += physical(i);
    }
    return out;
}
