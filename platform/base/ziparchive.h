#ifndef RUVELANT_ZIPARCHIVE_H
#define RUVELANT_ZIPARCHIVE_H

#include <QList>
#include <QString>

// A zip archive as /usr/bin/unzip, the program that unpacks it, reads it: what it holds, and how
// much unpacking it writes, found without writing anything.
namespace ZipArchive {
struct Entry
{
    enum Type { File, Folder, SymbolicLink, Other };
    QString name; // as stored: a folder ends with '/'; control characters shown as ^X
    Type type = File;
    qint64 size = 0; // what the archive says it unpacks to
};

// The entries of the archive, in its order. Returns false with the reason in *error when unzip
// cannot list it.
bool list(const QString &archive, QList<Entry> *entries, QString *error);

// The bytes that unpacking the archive writes (its entries' sizes may say less), counted by
// unpacking it into a pipe: at most limit + 1 are read. -1 with the reason in *error when unzip
// cannot unpack it.
qint64 unpackedSize(const QString &archive, qint64 limit, QString *error);
} // namespace ZipArchive

#endif
