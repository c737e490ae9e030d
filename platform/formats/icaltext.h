#ifndef RUVELANT_ICALTEXT_H
#define RUVELANT_ICALTEXT_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

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

    // The structure of bytes; nullopt with a message in error when it holds no readable iCalendar
    // object (no VCALENDAR that is well-formed, NUL bytes, unbalanced blocks in bare components,
    // ...). Bare iCalendar components without the VCALENDAR around them are read as if wrapped.
    // Read as other calendar programs read damaged files, each with a problem noted: content
    // outside the VCALENDARs is passed over, every VCALENDAR of the file is read, one that is not
    // well-formed inside is passed over, one whose END is garbled or missing ends where the next
    // begins or the file ends, and a first line that is a continuation is a line of its own.
    static std::optional<ICalText> parse(const QByteArray &bytes, QString *error);

    // The VCALENDAR; for bare components, or several VCALENDARs, one that has all their
    // components as children (in file order), no properties and lies outside the lines (begin -1,
    // end lineCount()).
    const Component &calendar() const { return m_calendar; }
    // Each VCALENDAR that is read (for bare components, calendar() alone), and the one that holds
    // a child of calendar().
    const QList<Component> &calendars() const { return m_calendars; }
    int calendarOf(const Component &child) const;
    // True when the file holds bare components without the VCALENDAR around them.
    bool isBare() const { return m_bare; }
    // What the reading passed over or read leniently, one text per problem ("has ... (line N)").
    const QStringList &problems() const { return m_problems; }
    // True when some content lies outside the components that are read, or a VCALENDAR is not
    // ended as written: an edit that would put the components into a new VCALENDAR could take it in.
    bool isDamaged() const { return m_damaged; }
    int lineCount() const { return m_lines.size(); }
    const QByteArray &line(int index) const { return m_lines.at(index).text; }
    // True when the file is valid UTF-8; elsewhere decode() replaces each ill-formed sequence.
    bool isValidUtf8() const { return m_validUtf8; }

    // The upper-case name, the raw parameters ("TZID=x;CN=y", without the leading ';') and the
    // raw value of a content line.
    static QByteArray name(const QByteArray &line);
    static QByteArray parameters(const QByteArray &line);
    static QByteArray value(const QByteArray &line);
    // The value of parameter `param` (upper case) with surrounding quotes removed; null when absent.
    static QByteArray parameter(const QByteArray &line, const QByteArray &param);
    // Escapes a TEXT value: backslash, semicolon, comma and line breaks.
    static QString escapeText(const QString &text);
    // The text of an escaped TEXT value (\, \; \\ and \n read as the characters they stand for); other backslashes
    // stay.
    static QByteArray unescapeText(const QByteArray &value);

    // Text of the file's bytes: UTF-8, each ill-formed sequence read as one U+FFFD.
    static QString decode(const QByteArray &bytes);
    // UTF-8 bytes of text. Where text begins with what kept decodes to, kept stands for that part
    // as written, so that an edit keeps the bytes of a value that are not valid UTF-8.
    static QByteArray encode(const QString &text, const QByteArray &kept = QByteArray());

    // The physical bytes of content line index (with their folding and line ends).
    QByteArray physical(int index) const;
    // The line end used by content line index.
    QByteArray lineEnd(int index) const;
    // A content line folded at 75 octets (never inside a UTF-8 sequence), with lineEnd after each part.
    QByteArray fold(const QByteArray &line, const QByteArray &lineEnd) const;

    // The whole file with edits applied (edits at distinct positions, in any order).
    QByteArray bytes(const QList<Edit> &edits = {}) const;

private:
    class StructureReader; // parse()'s reading of the component structure, a line at a time
    // Cuts bytes into its physical lines, each with its own line end.
    void splitLines(const QByteArray &bytes);
    // Joins continuation lines to the content lines they continue; true when the first line of
    // the file is a continuation of nothing.
    bool unfold();
    // Puts the VCALENDARs read into m_calendar; false with *error when there is none.
    bool settleCalendars(const QString &firstError, QString *error);

    struct Physical
    {
        QByteArray text;
        QByteArray eol;
    };

    QByteArray m_bom;
    QList<Physical> m_physical;
    QList<ContentLine> m_lines;
    Component m_calendar;
    QList<Component> m_calendars;
    QStringList m_problems;
    bool m_validUtf8 = true;
    bool m_bare = false;
    bool m_damaged = false;
};

#endif
