#include "icaltext.h"

#include "contentline.h"

#include <QSet>

#include <algorithm>

namespace {
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
    text.m_latin1 = !::ContentLine::isValidUtf8(bytes);

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

    for (int i = 0; i < text.m_physical.size(); ++i) {
        const QByteArray &physical = text.m_physical.at(i).text;
        if (!physical.isEmpty() && (physical.at(0) == ' ' || physical.at(0) == '\t')) {
            if (text.m_lines.isEmpty())
                return fail(QStringLiteral("starts with a continuation line"));
            text.m_lines.last().text += physical.mid(1);
            text.m_lines.last().last = i;
        } else {
            text.m_lines.append({i, i, physical});
        }
    }

    QList<Component> stack;
    bool done = false;
    for (int i = 0; i < text.m_lines.size(); ++i) {
        const QByteArray &line = text.m_lines.at(i).text;
        if (line.isEmpty())
            continue;
        const int lineNumber = text.m_lines.at(i).first + 1;
        if (done)
            return fail(QStringLiteral("has content after END:VCALENDAR (line %1)").arg(lineNumber));
        if (::ContentLine::valueSeparator(line) < 0)
            return fail(QStringLiteral("line %1 is not a content line").arg(lineNumber));
        const QByteArray lineName = name(line);
        if (lineName == "BEGIN") {
            const QByteArray componentName = value(line).trimmed().toUpper();
            if (stack.isEmpty() && componentName != "VCALENDAR") {
                // A bare component (a VEVENT without the VCALENDAR around it) is read as if wrapped.
                static const QList<QByteArray> bareNames {"VEVENT", "VTODO", "VJOURNAL", "VFREEBUSY", "VTIMEZONE"};
                if (!bareNames.contains(componentName))
                    return fail(QStringLiteral("does not start with BEGIN:VCALENDAR"));
                if (!text.m_bare) {
                    text.m_bare = true;
                    text.m_calendar = Component {"VCALENDAR", -1, int(text.m_lines.size()), {}, {}};
                }
            } else if (stack.isEmpty() && text.m_bare) {
                return fail(QStringLiteral("has a VCALENDAR after bare components (line %1)").arg(lineNumber));
            }
            if (stack.size() >= maxDepth)
                return fail(QStringLiteral("nests components more than %1 levels deep (line %2)")
                                .arg(maxDepth)
                                .arg(lineNumber));
            Component component;
            component.name = componentName;
            component.begin = i;
            stack.append(component);
        } else if (lineName == "END") {
            const QByteArray componentName = value(line).trimmed().toUpper();
            if (stack.isEmpty() || stack.last().name != componentName)
                return fail(QStringLiteral("has an unmatched END:%1 (line %2)")
                                .arg(QString::fromLatin1(componentName))
                                .arg(lineNumber));
            Component component = stack.takeLast();
            component.end = i;
            if (stack.isEmpty() && text.m_bare) {
                text.m_calendar.children.append(component);
            } else if (stack.isEmpty()) {
                text.m_calendar = component;
                done = true;
            } else {
                stack.last().children.append(component);
            }
        } else {
            if (stack.isEmpty())
                return fail(QStringLiteral("does not start with BEGIN:VCALENDAR"));
            stack.last().properties.append(i);
        }
    }
    if (!stack.isEmpty())
        return fail(QStringLiteral("ends before END:%1 (truncated)").arg(QString::fromLatin1(stack.last().name)));
    if (!done && !text.m_bare)
        return fail(QStringLiteral("holds no VCALENDAR"));
    return text;
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

QString ICalText::decode(const QByteArray &bytes) const
{
    return m_latin1 ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes);
}

std::optional<QByteArray> ICalText::encode(const QString &text) const
{
    if (!m_latin1)
        return text.toUtf8();
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return std::nullopt;
    }
    return text.toLatin1();
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
        if (!m_latin1) {
            while (cut < line.size() && cut > pos + 1 && (static_cast<unsigned char>(line.at(cut)) & 0xC0) == 0x80)
                --cut;
        }
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
