#ifndef RUVELANT_PROPERTYLIST_H
#define RUVELANT_PROPERTYLIST_H

#include <QByteArray>
#include <QString>
#include <QVariant>

// Reads and writes property lists (XML or binary) as QVariant trees: booleans, integers,
// reals, texts, data, dates, arrays (QVariantList) and dictionaries (QVariantMap).
namespace PropertyList {
// Containers nested deeper than this are not read: no real property list comes near it.
constexpr int maxDepth = 64;
// Files larger than this are not read.
constexpr qint64 maxFileSize = 16 * 1024 * 1024;

// Parses data. Returns false (and leaves *value untouched) when it is not a property list or
// nests deeper than maxDepth.
bool parse(const QByteArray &data, QVariant *value);
// Reads the regular file at path. Returns false with a message in *error when it cannot be read or parsed.
bool readFile(const QString &path, QVariant *value, QString *error = nullptr);
// The XML form of value.
QByteArray toXml(const QVariant &value);
// Atomically replaces the file at path (a symbolic link: its target) with the XML form of value.
bool writeFile(const QString &path, const QVariant &value, QString *error = nullptr);
} // namespace PropertyList

#endif
