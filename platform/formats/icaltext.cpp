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

void ICalText::splitLines(const QByteArray &bytes)
{
    for (int pos = 0; pos < bytes.size();) {
        int end = pos;
        while (end < bytes.size() && bytes.at(end) != '\r' && bytes.at(end) != '\n')
            ++end;
        int eolLength = 0;
        if (end < bytes.size())
            eolLength = (bytes.at(end) == '\r' && end + 1 < bytes.size() && bytes.at(end + 1) == '\n') ? 2 : 1;
        m_physical.append({bytes.mid(pos, end - pos), bytes.mid(end, eolLength)});
        pos = end + eolLength;
    }
}

bool ICalText::unfold()
{
    bool leadingContinuation = false;
    for (int i = 0; i < m_physical.size(); ++i) {
        const QByteArray &physical = m_physical.at(i).text;
        if (!physical.isEmpty() && (physical.at(0) == ' ' || physical.at(0) == '\t') && !m_lines.isEmpty()) {
            m_lines.last().text += physical.mid(1);
            m_lines.last().last = i;
        } else {
            // A continuation of no line is a line of its own: names are read without white space around them.
            if (m_lines.isEmpty())
                leadingContinuation = !isBlank(physical) && physical != physical.trimmed();
            m_lines.append({i, i, physical});
        }
    }
    return leadingContinuation;
}

// Reads the component structure of a text's content lines, one line at a time. A VCALENDAR that
// is not well-formed is passed over (with a problem noted) up to the next one; in a file of bare
// components (a VEVENT without the VCALENDAR around it, read as if wrapped) the first such fault
// fails the whole file.
class ICalText::StructureReader
{
public:
    explicit StructureReader(ICalText &text) : m_text(text) { }

    // Reads content line i; false with *error when the file cannot be read.
    bool read(int i, QString *error)
    {
        const QByteArray &line = m_text.m_lines.at(i).text;
        if (isBlank(line))
            return true;
        const int lineNumber = m_text.m_lines.at(i).first + 1;
        const bool content = ::ContentLine::valueSeparator(line) >= 0;
        const QByteArray lineName = content ? name(line) : QByteArray();
        const QByteArray componentName
            = lineName == "BEGIN" || lineName == "END" ? value(line).trimmed().toUpper() : QByteArray();
        const bool beginsCalendar = lineName == "BEGIN" && componentName == "VCALENDAR";
        if (m_skipping && !beginsCalendar)
            return true;
        m_skipping = false;
        if (!placeLine(i, lineNumber, content, lineName, componentName, beginsCalendar, error))
            return error->isEmpty();
        QString problem; // what makes the VCALENDAR in hand not well-formed
        if (!content)
            problem = QStringLiteral("line %1 is not a content line").arg(lineNumber);
        else if (lineName == "BEGIN")
            problem = begin(i, lineNumber, componentName);
        else if (lineName == "END")
            problem = end(i, lineNumber, componentName);
        else
            m_stack.last().properties.append(i);
        return problem.isEmpty() || notWellFormed(problem, error);
    }

    // After the last line: a VCALENDAR or component left open. False with *error when the file
    // cannot be read.
    bool finish(QString *error)
    {
        if (m_stack.size() == 1 && !m_text.m_bare) {
            endCalendar(m_text.m_lines.size() - 1,
                        QStringLiteral("has a VCALENDAR without END:VCALENDAR (line %1)")
                            .arg(m_text.m_lines.at(m_stack.first().begin).first + 1));
        } else if (!m_stack.isEmpty()) {
            const QString problem
                = QStringLiteral("ends before END:%1 (truncated)").arg(QString::fromLatin1(m_stack.last().name));
            return notWellFormed(problem, error);
        }
        return true;
    }

    QString firstError() const { return m_firstError; }
    // The first line outside the components, counted from 1; 0 when there is none.
    int outside() const { return m_outside; }

private:
    // Where the line stands among the components: false when it is passed over (*error empty) or
    // the file cannot be read (*error set).
    bool placeLine(int i, int lineNumber, bool content, const QByteArray &lineName, const QByteArray &componentName,
                   bool beginsCalendar, QString *error)
    {
        static const QList<QByteArray> bareNames {"VEVENT", "VTODO", "VJOURNAL", "VFREEBUSY", "VTIMEZONE"};
        error->clear();
        if (m_stack.isEmpty()) {
            if (beginsCalendar && m_text.m_bare) {
                *error = QStringLiteral("has a VCALENDAR after bare components (line %1)").arg(lineNumber);
                return false;
            }
            if (!beginsCalendar) {
                // A bare component (a VEVENT without the VCALENDAR around it) is read as if wrapped.
                if (lineName != "BEGIN" || !bareNames.contains(componentName) || !m_text.m_calendars.isEmpty()) {
                    noteOutside(lineNumber);
                    return false;
                }
                if (!m_text.m_bare) {
                    m_text.m_bare = true;
                    m_text.m_calendar = Component {"VCALENDAR", -1, int(m_text.m_lines.size()), {}, {}};
                }
            }
        } else if (!content && m_stack.size() == 1 && !m_text.m_bare) {
            // Text between the components of a VCALENDAR (a mail's, in a dump) is passed over too.
            noteOutside(lineNumber);
            return false;
        } else if (beginsCalendar && m_stack.size() == 1 && m_stack.first().name == "VCALENDAR") {
            // VCALENDARs do not nest: the one in hand ended without its END.
            endCalendar(i - 1,
                        QStringLiteral("has a VCALENDAR without END:VCALENDAR (line %1)")
                            .arg(m_text.m_lines.at(m_stack.first().begin).first + 1));
        }
        return true;
    }

    void noteOutside(int lineNumber) { m_outside = m_outside > 0 ? m_outside : lineNumber; }

    // A BEGIN line: the problem it makes, or empty.
    QString begin(int i, int lineNumber, const QByteArray &componentName)
    {
        if (m_stack.size() >= maxDepth)
            return QStringLiteral("nests components more than %1 levels deep (line %2)").arg(maxDepth).arg(lineNumber);
        m_stack.append(Component {componentName, i, 0, {}, {}});
        return QString();
    }

    // An END line: the problem it makes, or empty.
    QString end(int i, int lineNumber, const QByteArray &componentName)
    {
        if (m_stack.last().name == componentName) {
            Component component = m_stack.takeLast();
            component.end = i;
            if (m_stack.isEmpty() && m_text.m_bare)
                m_text.m_calendar.children.append(component);
            else if (m_stack.isEmpty())
                m_text.m_calendars.append(component);
            else
                m_stack.last().children.append(component);
        } else if (m_stack.size() == 1 && !m_text.m_bare) { // END:VCALENDARD, say
            endCalendar(i,
                        QStringLiteral("ends a VCALENDAR with END:%1 (line %2)")
                            .arg(QString::fromLatin1(componentName))
                            .arg(lineNumber));
        } else {
            return QStringLiteral("has an unmatched END:%1 (line %2)")
                .arg(QString::fromLatin1(componentName))
                .arg(lineNumber);
        }
        return QString();
    }

    // The VCALENDAR in hand ends at content line `end` (its END, or the last line before the next).
    void endCalendar(int end, const QString &problem)
    {
        Component calendar = m_stack.takeLast();
        calendar.end = end;
        m_text.m_calendars.append(calendar);
        if (!problem.isEmpty()) {
            m_text.m_problems.append(problem);
            m_text.m_damaged = true;
        }
    }

    // The VCALENDAR in hand is not well-formed: it is not read, up to the next one. In a file of
    // bare components, the file cannot be read (false with *error).
    bool notWellFormed(const QString &problem, QString *error)
    {
        if (m_text.m_bare) {
            *error = problem;
            return false;
        }
        m_firstError = m_firstError.isEmpty() ? problem : m_firstError;
        m_text.m_problems.append(QStringLiteral("has a VCALENDAR (line %1) that is not read, it %2")
                                     .arg(m_text.m_lines.at(m_stack.first().begin).first + 1)
                                     .arg(problem));
        m_text.m_damaged = true;
        m_stack.clear();
        m_skipping = true;
        return true;
    }

    ICalText &m_text;
    QList<Component> m_stack;
    bool m_skipping = false; // in a VCALENDAR that is not well-formed, up to the next one
    int m_outside = 0;
    QString m_firstError;
};

bool ICalText::settleCalendars(const QString &firstError, QString *error)
{
    if (m_bare) {
        m_calendars = {m_calendar};
    } else if (m_calendars.isEmpty()) {
        *error = firstError.isEmpty() ? QStringLiteral("holds no VCALENDAR") : firstError;
        return false;
    } else if (m_calendars.size() == 1) {
        m_calendar = m_calendars.first();
    } else {
        m_calendar = Component {"VCALENDAR", -1, int(m_lines.size()), {}, {}};
        for (const Component &calendar : std::as_const(m_calendars))
            m_calendar.children += calendar.children;
        m_problems.append(QStringLiteral("holds %1 VCALENDARs, the events of each are read").arg(m_calendars.size()));
    }
    return true;
}

std::optional<ICalText> ICalText::parse(const QByteArray &input, QString *error)
{
    QString failure;
    auto fail = [error, &failure]() {
        if (error)
            *error = failure;
        return std::nullopt;
    };
    ICalText text;
    QByteArray bytes = input;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        text.m_bom = bytes.left(3);
        bytes.remove(0, 3);
    }
    if (bytes.contains('\0')) {
        failure = QStringLiteral("contains NUL bytes");
        return fail();
    }
    text.m_validUtf8 = ::ContentLine::isValidUtf8(bytes);
    text.splitLines(bytes);
    const bool leadingContinuation = text.unfold();

    StructureReader reader(text);
    for (int i = 0; i < text.m_lines.size(); ++i) {
        if (!reader.read(i, &failure))
            return fail();
    }
    if (!reader.finish(&failure) || !text.settleCalendars(reader.firstError(), &failure))
        return fail();
    const int outside = reader.outside();
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
