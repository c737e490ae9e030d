#ifndef RUVELANT_PANECATALOG_H
#define RUVELANT_PANECATALOG_H

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One preference pane bundle as its Info.plist describes it.
struct PaneRecord
{
    QString identifier; // CFBundleIdentifier
    QString name; // CFBundleName, else the folder's name
    QString path; // the bundle folder
    QString executablePath; // Contents/MacOS/<CFBundleExecutable>
    QString principalClass; // NSPrincipalClass
    QString iconPath; // Contents/Resources/<CFBundleIconFile>; empty when it has none
};

// The panes that the host offers.
namespace PaneCatalog {
// The pane bundles given on the command line, then those in ~/Library/PreferencePanes, then those
// in the system's Library/PreferencePanes; one per identifier, the first found wins. Bundles that
// cannot be read are left out with a warning.
QList<PaneRecord> scan(const QStringList &extraBundles);
// The pane at bundlePath; nullopt with *error when it is no pane bundle.
std::optional<PaneRecord> read(const QString &bundlePath, QString *error);
} // namespace PaneCatalog

#endif
