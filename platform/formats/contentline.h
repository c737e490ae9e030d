#ifndef RUVELANT_CONTENTLINE_H
#define RUVELANT_CONTENTLINE_H

#include <QByteArray>
#include <QString>

// Helpers for the "name;params:value" content lines that iCalendar and vCard files share.
namespace ContentLine {
// Whether data is well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(const QByteArray &data);
// data as UTF-8, each ill-formed sequence (its longest valid beginning, or one byte) read as one
// U+FFFD, as browsers and ICU read it.
QString decodeUtf8(const QByteArray &data);
// Index of the first ':' of an unfolded line that is not inside a double-quoted parameter
// value, or -1 when the line has none.
int valueSeparator(const QByteArray &line);
} // namespace ContentLine

#endif
