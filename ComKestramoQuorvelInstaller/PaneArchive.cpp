#include "PaneArchive.h"

#include "ziparchive.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

QString PaneArchive::refusal(const QString &archive, const QString &bundle)
{
    QList<ZipArchive::Entry> entries;
    QString error;
    if (!ZipArchive::list(archive, &entries, &error)) {
        return error;
    }
    if (entries.size() > maxEntries) {
        return QStringLiteral("it has %1 entries, more than the %2 a pane may have")
            .arg(entries.size())
            .arg(maxEntries);
    }
    const QString top = bundle + QLatin1Char('/');
    QStringList links;
    qint64 listed = 0;
    for (const ZipArchive::Entry &entry : std::as_const(entries)) {
        // unzip would strip "/" and "../" and unpack the rest: each entry is taken by its name as stored.
        QStringList parts = entry.name.split(QLatin1Char('/'));
        if (entry.type == ZipArchive::Entry::Folder && parts.last().isEmpty()) {
            parts.removeLast();
        }
        const bool plain = std::none_of(parts.cbegin(), parts.cend(), [](const QString &part) {
            return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..");
        });
        if (!plain || !(entry.name.startsWith(top) || entry.name == top) || entry.name.contains(QLatin1Char('\\'))) {
            return QStringLiteral("it holds \"%1\", which is not part of %2").arg(entry.name, top);
        }
        if (entry.type == ZipArchive::Entry::Other) {
            return QStringLiteral("it holds \"%1\", which is neither a file, a folder nor a link").arg(entry.name);
        }
        for (const QString &link : std::as_const(links)) {
            if (entry.name.startsWith(link + QLatin1Char('/'))) {
                return QStringLiteral("it holds \"%1\" below the symbolic link \"%2\"").arg(entry.name, link);
            }
        }
        if (entry.type == ZipArchive::Entry::SymbolicLink) {
            links.append(entry.name);
        }
        listed += entry.size;
    }
    // What the entries say, then what unpacking really writes (an entry may say less).
    const qint64 size = listed > maxUnpackedSize ? listed : ZipArchive::unpackedSize(archive, maxUnpackedSize, &error);
    if (size < 0) {
        return error;
    }
    if (size > maxUnpackedSize) {
        return QStringLiteral("it unpacks to more than the %1 bytes a pane may have").arg(maxUnpackedSize);
    }
    return QString();
}

QString PaneArchive::unpackedRefusal(const QString &folder, const QString &bundle)
{
    const QStringList items
        = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const QFileInfo pane(folder + QLatin1Char('/') + bundle);
    if (items != QStringList {bundle} || !pane.isDir() || pane.isSymLink()) {
        return QStringLiteral("it unpacked to %1 instead of the folder %2 alone")
            .arg(items.join(QStringLiteral(", ")), bundle);
    }
    const QString inside = pane.canonicalFilePath();
    QDirIterator it(pane.filePath(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo item(it.next());
        if (!item.isSymLink()) {
            continue;
        }
        const QString target = item.canonicalFilePath();
        if (target.isEmpty() || (target != inside && !target.startsWith(inside + QLatin1Char('/')))) {
            return QStringLiteral("its symbolic link %1 leads out of %2").arg(item.filePath(), bundle);
        }
    }
    return QString();
}
