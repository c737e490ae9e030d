#include "stringstable.h"

namespace {
class Parser
{
public:
    explicit Parser(const QString &text) : m_text(text) { }

    QHash<QString, QString> run(QString *error)
    {
        QHash<QString, QString> table;
        for (;;) {
            skipSpaceAndComments();
            if (m_failed || atEnd()) {
                break;
            }
            QString key;
            QString value;
            if (!readToken(&key)) {
                break;
            }
            skipSpaceAndComments();
            if (!m_failed && peek() == QLatin1Char(';')) {
                // "key"; alone maps the key to itself.
                ++m_pos;
                table.insert(key, key);
                continue;
            }
            if (!expect(QLatin1Char('='))) {
                break;
            }
            skipSpaceAndComments();
            if (!readToken(&value)) {
                break;
            }
            skipSpaceAndComments();
            if (!expect(QLatin1Char(';'))) {
                break;
            }
            table.insert(key, value);
        }
        if (m_failed && error) {
            *error = QStringLiteral("line %1: %2").arg(m_failLine).arg(m_failReason);
        }
        return table;
    }

private:
    bool atEnd() const { return m_pos >= m_text.size(); }
    QChar peek() const { return atEnd() ? QChar() : m_text.at(m_pos); }

    int lineAt(int pos) const { return m_text.left(pos).count(QLatin1Char('\n')) + 1; }

    void fail(const QString &reason)
    {
        if (!m_failed) {
            m_failed = true;
            m_failLine = lineAt(m_pos);
            m_failReason = reason;
        }
    }

    bool expect(QChar c)
    {
        if (m_failed) {
            return false;
        }
        if (peek() != c) {
            fail(atEnd() ? QStringLiteral("unexpected end, expected '%1'").arg(c)
                         : QStringLiteral("expected '%1', found '%2'").arg(c, peek()));
            return false;
        }
        ++m_pos;
        return true;
    }

    void skipSpaceAndComments()
    {
        while (!atEnd()) {
            const QChar c = peek();
            if (c.isSpace()) {
                ++m_pos;
            } else if (m_text.midRef(m_pos, 2) == QLatin1String("//")) {
                const int end = m_text.indexOf(QLatin1Char('\n'), m_pos);
                m_pos = end < 0 ? m_text.size() : end + 1;
            } else if (m_text.midRef(m_pos, 2) == QLatin1String("/*")) {
                const int end = m_text.indexOf(QLatin1String("*/"), m_pos + 2);
                if (end < 0) {
                    fail(QStringLiteral("comment without end"));
                    return;
                }
                m_pos = end + 2;
            } else {
                return;
            }
        }
    }

    // A quoted string, or an unquoted word of letters, digits and _ . - : /
    bool readToken(QString *out)
    {
        if (m_failed) {
            return false;
        }
        if (peek() == QLatin1Char('"')) {
            return readQuoted(out);
        }
        const int start = m_pos;
        while (!atEnd()) {
            const QChar c = peek();
            if (c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('.') || c == QLatin1Char('-')
                || c == QLatin1Char(':') || c == QLatin1Char('/') || c == QLatin1Char('$')) {
                ++m_pos;
            } else {
                break;
            }
        }
        if (m_pos == start) {
            fail(atEnd() ? QStringLiteral("unexpected end, expected a quoted text")
                         : QStringLiteral("expected a quoted text, found '%1'").arg(peek()));
            return false;
        }
        *out = m_text.mid(start, m_pos - start);
        return true;
    }

    bool readQuoted(QString *out)
    {
        const int open = m_pos;
        ++m_pos;
        QString result;
        while (!atEnd()) {
            const QChar c = m_text.at(m_pos++);
            if (c == QLatin1Char('"')) {
                *out = result;
                return true;
            }
            if (c != QLatin1Char('\\')) {
                result.append(c);
                continue;
            }
            if (atEnd()) {
                break;
            }
            const QChar e = m_text.at(m_pos++);
            switch (e.unicode()) {
            case 'n':
                result.append(QLatin1Char('\n'));
                break;
            case 't':
                result.append(QLatin1Char('\t'));
                break;
            case 'r':
                result.append(QLatin1Char('\r'));
                break;
            case 'a':
                result.append(QChar(7));
                break;
            case 'b':
                result.append(QChar(8));
                break;
            case 'f':
                result.append(QChar(12));
                break;
            case 'v':
                result.append(QChar(11));
                break;
            case 'U':
            case 'u': {
                bool ok = false;
                const uint code = m_text.midRef(m_pos, 4).toUInt(&ok, 16);
                if (!ok || m_text.midRef(m_pos, 4).size() != 4) {
                    m_pos -= 2;
                    fail(QStringLiteral("bad \\U escape"));
                    return false;
                }
                m_pos += 4;
                result.append(QChar(static_cast<ushort>(code)));
                break;
            }
            default:
                if (e >= QLatin1Char('0') && e <= QLatin1Char('7')) {
                    // Up to three octal digits.
                    uint code = e.unicode() - '0';
                    for (int i = 0; i < 2 && !atEnd() && peek() >= QLatin1Char('0') && peek() <= QLatin1Char('7');
                         ++i) {
                        code = code * 8 + (m_text.at(m_pos++).unicode() - '0');
                    }
                    result.append(QChar(static_cast<ushort>(code)));
                } else {
                    // \" \\ \' and any other character stand for themselves.
                    result.append(e);
                }
            }
        }
        m_pos = open;
        fail(QStringLiteral("quoted text without its closing quote"));
        return false;
    }

    const QString m_text;
    int m_pos = 0;
    bool m_failed = false;
    int m_failLine = 0;
    QString m_failReason;
};

QString decode(const QByteArray &data)
{
    if (data.startsWith("\xFF\xFE") || data.startsWith("\xFE\xFF")) {
        const bool little = data.startsWith("\xFF\xFE");
        QString text;
        text.reserve(data.size() / 2);
        for (int i = 2; i + 1 < data.size(); i += 2) {
            const auto lo = static_cast<uchar>(data.at(little ? i : i + 1));
            const auto hi = static_cast<uchar>(data.at(little ? i + 1 : i));
            text.append(QChar(static_cast<ushort>(hi << 8 | lo)));
        }
        return text;
    }
    QByteArray utf8 = data;
    if (utf8.startsWith("\xEF\xBB\xBF")) {
        utf8.remove(0, 3);
    }
    return QString::fromUtf8(utf8);
}
} // namespace

QHash<QString, QString> StringsTable::parse(const QByteArray &data, QString *error)
{
    return Parser(decode(data)).run(error);
}
