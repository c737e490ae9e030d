#include "panecatalog.h"

#include "bundle.h"
#include "userfolders.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSet>

Q_LOGGING_CATEGORY(lcPaneCatalog, "ruvelant.systempreferences")

std::optional<PaneRecord> PaneCatalog::read(const QString &bundlePath, QString *error)
{
    const QFileInfo info(bundlePath);
    if (!info.isDir()) {
        *error = QStringLiteral("%1 is not a folder").arg(bundlePath);
        return std::nullopt;
    }
    const Bundle bundle(bundlePath);
    const QVariantMap plist = bundle.infoDictionary();
    PaneRecord record;
    record.path = bundle.bundlePath();
    record.identifier = plist.value(QStringLiteral("CFBundleIdentifier")).toString();
    if (record.identifier.isEmpty()) {
        *error = QStringLiteral("%1 has no Contents/Info.plist with a CFBundleIdentifier").arg(bundlePath);
        return std::nullopt;
    }
    record.name = plist.value(QStringLiteral("CFBundleName")).toString();
    if (record.name.isEmpty()) {
        record.name = info.completeBaseName();
    }
    const QString executable = plist.value(QStringLiteral("CFBundleExecutable")).toString();
    if (!executable.isEmpty() && !executable.contains(QLatin1Char('/'))) {
        record.executablePath = record.path + QStringLiteral("/Contents/MacOS/") + executable;
    }
    record.principalClass = plist.value(QStringLiteral("NSPrincipalClass")).toString();
    const QString icon = plist.value(QStringLiteral("CFBundleIconFile")).toString();
    if (!icon.isEmpty()) {
        record.iconPath = bundle.pathForResource(icon, QString());
    }
    return record;
}

QList<PaneRecord> PaneCatalog::scan(const QStringList &extraBundles)
{
    QStringList candidates = extraBundles;
    for (const QString &library : {userLibraryPath(), systemLibraryPath()}) {
        const QDir folder(library + QStringLiteral("/PreferencePanes"));
        const QStringList panes = folder.entryList({QStringLiteral("*.prefPane")}, QDir::Dirs, QDir::Name);
        for (const QString &pane : panes) {
            candidates.append(folder.filePath(pane));
        }
    }
    QList<PaneRecord> records;
    QSet<QString> identifiers;
    for (const QString &candidate : std::as_const(candidates)) {
        QString error;
        std::optional<PaneRecord> record = read(candidate, &error);
        if (!record) {
            qCWarning(lcPaneCatalog, "%s", qPrintable(error));
            continue;
        }
        if (identifiers.contains(record->identifier)) {
            continue; // an earlier copy of the same pane wins
        }
        identifiers.insert(record->identifier);
        records.append(*record);
    }
    return records;
}
