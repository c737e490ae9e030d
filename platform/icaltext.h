#ifndef RUVELANT_ICALTEXT_H
#define RUVELANT_ICALTEXT_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The lines of one iCalendar file exactly as written: its component structure for reading,
// and minimal edits that leave every other byte (folding, line ends, unknown lines) as it was.
class ICalText
{
public:
    // One content line, unfolded; it spans the physical lines [first, last] of the file.
    struct ContentLine
    {
        int first = 0;
        int last = 0;
        QByteArray text; // unfolded, without line end
    };
    // A BEGIN:X ... END:X block; begin and end are content line indexes.
    struct Component
    {
        QByteArray name; // upper case
        int begin = 0;
        int end = 0;
        QList<int> properties; // this component's own content lines, in file order
        QList<Component> children;
    };
    // A change to the file: before content line `at`, insert `insert` (ready, folded bytes with
    // line ends); when `replace` is set, content line `at` itself is dropped.
    struct Edit
    {
        int at = 0;
        bool replace = false;
        QByteArray insert;
    };

    // Components nested deeper than this (VCALENDAR > VEVENT > VALARM is 3) are not read: the
    // iCalendar libraries read nested components by recursion.
    static constexpr int maxDepth = 16;

    // The structure of bytes; nullopt with a message in error when it is not a well-formed
    // iCalendar object (no BEGIN:VCALENDAR/END:VCALENDAR, unbalanced blocks, NUL bytes, nesting
    // deeper than maxDepth, ...). Bare iCalendar components without the VCALENDAR around them are
    // read as if wrapped.
    static std::optional<ICalText> parse(const QByteArray &bytes, QString *error);

    // The VCALENDAR; for bare components, one that has them as children, no properties and lies
    // outside the lines (begin -1, end lineCount()).
    const Component &calendar() const { return m_calendar; }
    // True when the file holds bare components without the VCALENDAR around them.
    bool isBare() const { return m_bare; }
    int lineCount() const { return m_lines.size(); }
    const QByteArray &line(int index) const { return m_lines.at(index).text; }
    // True when the file is not valid UTF-8 and its text is read as Latin-1.
    bool isLatin1() const { return m_latin1; }

    // The upper-case name, the raw parameters ("TZID=x;CN=y", without the leading ';') and the
    // raw value of a content line.
    static QByteArray name(const QByteArray &line);
    static QByteArray parameters(const QByteArray &line);
    static QByteArray value(const QByteArray &line);
    // The value of parameter `param` (upper case) with surrounding quotes removed; null when absent.
    static QByteArray parameter(const QByteArray &line, const QByteArray &param);
    // Escapes a TEXT value: backslash, semicolon, comma and line breaks.
    static QString escapeText(const QString &text);

    QString decode(const QByteArray &bytes) const;
    // Bytes of text in this file's encoding; nullopt when a Latin-1 file cannot hold the text.
    std::optional<QByteArray> encode(const QString &text) const;

    // The physical bytes of content line index (with their folding and line ends).
    QByteArray physical(int index) const;
    // The line end used by content line index.
    QByteArray lineEnd(int index) const;
    // A content line folded at 75 octets (never inside a UTF-8 sequence), with lineEnd after each part.
    QByteArray fold(const QByteArray &line, const QByteArray &lineEnd) const;

    // The whole file with edits applied (edits at distinct positions, in any order).
    QByteArray bytes(const QList<Edit> &edits = {}) const;

private:
    struct Physical
    {
        QByteArray text;
        QByteArray eol;
    };

    QByteArray m_bom;
    QList<Physical> m_physical;
    QList<ContentLine> m_lines;
    Component m_calendar;
    bool m_latin1 = false;
    bool m_bare = false;
};

#endif
