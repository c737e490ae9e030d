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

// Why text cannot be part of a property list's XML form: it holds a character that XML 1.0 does
// not allow (a control character other than tab, line feed and carriage return, U+FFFE, U+FFFF,
// or half of a surrogate pair), named with its code and place. Empty when it can be written.
QString textProblem(const QString &text);
// text without the characters that textProblem() names.
QString writableText(const QString &text);

// Whether a and b are the same property-list value: a list of texts and the QVariantList of the
// same texts are, so are an int and a qlonglong of one number. Two invalid values are the same.
bool sameValue(const QVariant &a, const QVariant &b);

// Parses data. Returns false (and leaves *value untouched) when it is not a property list or
// nests deeper than maxDepth.
bool parse(const QByteArray &data, QVariant *value);
// Reads the regular file at path. Returns false with a message in *error when it cannot be read or parsed.
bool readFile(const QString &path, QVariant *value, QString *error = nullptr);
// The XML form of value. Empty, with the reason in *error, when a text of value (a dictionary's
// key too) cannot be written (see textProblem) or the form would be larger than maxFileSize:
// nothing is ever written that a reader refuses.
QByteArray toXml(const QVariant &value, QString *error = nullptr);
// Atomically replaces the file at path (a symbolic link: its target) with the XML form of value.
// Returns false, leaving the file as it was, when there is no such form (see toXml) or the
// file cannot be replaced.
bool writeFile(const QString &path, const QVariant &value, QString *error = nullptr);
} // namespace PropertyList

#endif
