#ifndef RUVELANT_TEXTNUMBER_H
#define RUVELANT_TEXTNUMBER_H

#include <QString>

// The integer at the start of text, as the platform's text-to-integer conversion reads it:
// optional white space, an optional sign, decimal digits; 0 when text starts with anything
// else. Clamped to the range of a 32-bit integer.
int leadingInteger(const QString &text);
// The same reading into a 64-bit integer, clamped to its range.
qint64 leadingLong(const QString &text);

#endif
