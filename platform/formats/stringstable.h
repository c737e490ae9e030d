#ifndef RUVELANT_STRINGSTABLE_H
#define RUVELANT_STRINGSTABLE_H

#include <QByteArray>
#include <QHash>
#include <QString>

// Reader of strings tables in the classic form: "key" = "value"; with /* */ and // comments
// and backslash escapes (\n \t \r \" \\ \Uxxxx). UTF-8 (a byte-order mark is skipped) or UTF-16
// with a byte-order mark.
namespace StringsTable {
// Parses text. On a malformed entry, *error names the line and the entries before it are kept.
QHash<QString, QString> parse(const QByteArray &data, QString *error = nullptr);
} // namespace StringsTable

#endif
