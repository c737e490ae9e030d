#ifndef RUVELANT_TEXTUTILS_H
#define RUVELANT_TEXTUTILS_H

#include <QString>

// text without the white space at both ends: space, tab and the other Unicode space
// separators (Zs, NBSP included). Line breaks are kept.
QString trimmedText(const QString &text);

// True when c is one of the characters that trimmedText removes.
bool isTrimmedSpace(QChar c);

// A value (an address, a title) as a log line quotes it: whole up to a few hundred bytes, else
// its start with a note of its length.
QString loggedValue(const QString &value);

#endif
