#include "rtfdocument.h"

#include <QFile>
#include <QHash>
#include <QList>
#include <QSet>

#include <cctype>

namespace {
// Windows-1252 characters 0x80 to 0x9F; the other bytes are Latin-1.
constexpr char16_t windows1252[32]
    = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
       0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
       0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

QChar fromWindows1252(uchar byte)
{
    return byte >= 0x80 && byte < 0xA0 ? QChar(windows1252[byte - 0x80]) : QChar(char16_t(byte));
}

// What a group inherits from the group around it.
struct State
{
    bool skip = false; // inside a destination that is not shown
    bool bold = false;
    bool italic = false;
    bool underline = false;
    int unicodeSkip = 1; // stand-in characters that follow a \uN
    enum Part { Text, FieldInstruction, FieldResult } part = Text;
};

struct Run
{
    QString text;
    bool bold, italic, underline;
    QString link;
};

const QSet<QByteArray> &skippedDestinations()
{
    static const QSet<QByteArray> names {"fonttbl",  "colortbl",  "stylesheet",        "info",     "pict",
                                         "header",   "footer",    "headerl",           "headerr",  "footerl",
                                         "footerr",  "listtable", "listoverridetable", "rsidtbl",  "generator",
                                         "xmlnstbl", "object",    "themedata",         "datastore"};
    return names;
}

class Reader
{
public:
    explicit Reader(const QByteArray &data) : m_data(data) { }

    bool read(QString *error)
    {
        if (!m_data.startsWith("{\\rtf")) {
            *error = QStringLiteral("not an RTF document");
            return false;
        }
        QList<State> stack;
        State state;
        bool ignorableDestination = false;
        const int size = m_data.size();
        for (int i = 0; i < size;) {
            const char c = m_data.at(i);
            if (c == '{') {
                if (stack.size() >= maxDepth) {
                    *error = QStringLiteral("groups nested more than %1 deep").arg(maxDepth);
                    return false;
                }
                stack.append(state);
                ++i;
            } else if (c == '}') {
                if (stack.isEmpty()) {
                    break; // the end of the document
                }
                const State::Part closed = state.part;
                state = stack.takeLast();
                if (closed == State::FieldInstruction && state.part != State::FieldInstruction) {
                    m_fieldLink = hyperlinkTarget(m_fieldInstruction);
                    m_fieldInstruction.clear();
                }
                ++i;
            } else if (c == '\r' || c == '\n') {
                ++i;
            } else if (c != '\\') {
                character(QChar(char16_t(uchar(c))), state);
                ++i;
            } else if (i + 1 < size && !std::isalpha(uchar(m_data.at(i + 1)))) {
                const char symbol = m_data.at(i + 1);
                i += 2;
                if (symbol == '\'') {
                    const uchar byte = i + 1 < size ? uchar(m_data.mid(i, 2).toUInt(nullptr, 16)) : 0;
                    i += 2;
                    character(fromWindows1252(byte), state);
                } else if (symbol == '*') {
                    ignorableDestination = true; // the next control word names a destination
                } else if (symbol == '~') {
                    character(QChar(0x00A0), state);
                } else if (symbol == '_') {
                    character(QChar(0x2011), state);
                } else if (symbol == '\\' || symbol == '{' || symbol == '}') {
                    character(QLatin1Char(symbol), state);
                } else if (symbol == '\n' || symbol == '\r') {
                    paragraph(state);
                }
            } else {
                int end = ++i;
                while (end < size && std::isalpha(uchar(m_data.at(end)))) {
                    ++end;
                }
                const QByteArray word = m_data.mid(i, end - i);
                int numberEnd = end;
                if (numberEnd < size && (m_data.at(numberEnd) == '-' || std::isdigit(uchar(m_data.at(numberEnd))))) {
                    ++numberEnd;
                    while (numberEnd < size && numberEnd - end < 12 && std::isdigit(uchar(m_data.at(numberEnd)))) {
                        ++numberEnd;
                    }
                }
                const bool hasNumber = numberEnd > end;
                const int number = hasNumber ? m_data.mid(end, numberEnd - end).toInt() : 0;
                i = numberEnd < size && m_data.at(numberEnd) == ' ' ? numberEnd + 1 : numberEnd;
                if (ignorableDestination && word != "fldinst") {
                    state.skip = true; // a destination this reader does not know
                }
                ignorableDestination = false;
                controlWord(word, hasNumber, number, state);
            }
        }
        if (!m_runs.isEmpty()) {
            paragraph(State());
        }
        return true;
    }

    QString html() const
    {
        QString out;
        for (const QList<Run> &runs : m_paragraphs) {
            out += QLatin1String("<p>");
            for (const Run &run : runs) {
                QString text = run.text.toHtmlEscaped();
                text.replace(QLatin1Char('\n'), QLatin1String("<br/>"));
                if (run.bold) {
                    text = QLatin1String("<b>") + text + QLatin1String("</b>");
                }
                if (run.italic) {
                    text = QLatin1String("<i>") + text + QLatin1String("</i>");
                }
                if (run.underline) {
                    text = QLatin1String("<u>") + text + QLatin1String("</u>");
                }
                if (!run.link.isEmpty()) {
                    text = QStringLiteral("<a href=\"%1\">%2</a>").arg(run.link.toHtmlEscaped(), text);
                }
                out += text;
            }
            out += QLatin1String("</p>\n");
        }
        return out;
    }

private:
    static constexpr int maxDepth = 256;

    static QString hyperlinkTarget(const QString &instruction)
    {
        const QString text = instruction.trimmed();
        if (!text.startsWith(QLatin1String("HYPERLINK"))) {
            return QString();
        }
        const int open = text.indexOf(QLatin1Char('"'));
        const int close = text.indexOf(QLatin1Char('"'), open + 1);
        return open >= 0 && close > open ? text.mid(open + 1, close - open - 1) : QString();
    }

    void controlWord(const QByteArray &word, bool hasNumber, int number, State &state)
    {
        static const QHash<QByteArray, char16_t> symbols {
            {"emdash", 0x2014},    {"endash", 0x2013}, {"lquote", 0x2018}, {"rquote", 0x2019}, {"ldblquote", 0x201C},
            {"rdblquote", 0x201D}, {"bullet", 0x2022}, {"tab", u'\t'},     {"line", u'\n'}};
        const bool on = !hasNumber || number != 0;
        if (skippedDestinations().contains(word)) {
            state.skip = true;
        } else if (word == "fldinst") {
            state.part = State::FieldInstruction;
        } else if (word == "fldrslt") {
            state.part = State::FieldResult;
        } else if (word == "par" || word == "sect") {
            paragraph(state);
        } else if (word == "b") {
            state.bold = on;
        } else if (word == "i") {
            state.italic = on;
        } else if (word == "ul") {
            state.underline = on;
        } else if (word == "ulnone") {
            state.underline = false;
        } else if (word == "plain") {
            state.bold = state.italic = state.underline = false;
        } else if (word == "uc") {
            state.unicodeSkip = qBound(0, number, 8);
        } else if (word == "u" && hasNumber) {
            // A UTF-16 unit written as a signed 16-bit number; stand-ins for older readers follow.
            character(QChar(char16_t(number < 0 ? number + 65536 : number)), state);
            m_standInsToSkip = state.unicodeSkip;
        } else if (symbols.contains(word)) {
            character(QChar(symbols.value(word)), state);
        }
    }

    void character(QChar c, const State &state)
    {
        if (m_standInsToSkip > 0) {
            --m_standInsToSkip;
            return;
        }
        if (state.part == State::FieldInstruction) {
            m_fieldInstruction += c;
            return;
        }
        if (state.skip) {
            return;
        }
        const QString link = state.part == State::FieldResult ? m_fieldLink : QString();
        if (!m_runs.isEmpty()) {
            Run &last = m_runs.last();
            if (last.bold == state.bold && last.italic == state.italic && last.underline == state.underline
                && last.link == link) {
                last.text += c;
                return;
            }
        }
        m_runs.append(Run {QString(c), state.bold, state.italic, state.underline, link});
    }

    void paragraph(const State &state)
    {
        if (state.skip) {
            return;
        }
        m_paragraphs.append(m_runs);
        m_runs.clear();
    }

    const QByteArray &m_data;
    QList<QList<Run>> m_paragraphs;
    QList<Run> m_runs;
    QString m_fieldInstruction;
    QString m_fieldLink;
    int m_standInsToSkip = 0;
};
} // namespace

QString RtfDocument::toHtml(const QByteArray &data, QString *error)
{
    Reader reader(data);
    QString why;
    if (!reader.read(&why)) {
        if (error) {
            *error = why;
        }
        return QString();
    }
    return reader.html();
}

QString RtfDocument::htmlOfPackage(const QString &packagePath, QString *error)
{
    QFile file(packagePath + QStringLiteral("/TXT.rtf"));
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
        }
        return QString();
    }
    return toHtml(file.read(1024 * 1024), error);
}
