#ifndef RUVELANT_PROPERTYLIST_H
#define RUVELANT_PROPERTYLIST_H

#include <QByteArray>
#include <QString>
#include <QVariant>

// Reads and writes property lists (XML or binary) as QVariant trees: booleans, integers,
// reals, texts, data, dates, arrays (QVariantList) and dictionaries (QVariantMap).
namespace PropertyList {
// Parses data. Returns false (and leaves *value untouched) when it is not a property list.
bool parse(const QByteArray &data, QVariant *value);
// Reads the file at path. Returns false with a message in *error when it cannot be read or parsed.
bool readFile(const QString &path, QVariant *value, QString *error = nullptr);
// The XML form of value.
QByteArray toXml(const QVariant &value);
// Atomically replaces the file at path with the XML form of value.
bool writeFile(const QString &path, const QVariant &value, QString *error = nullptr);
} // namespace PropertyList

#endif
