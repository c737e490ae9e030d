#include "workspace.h"

#include "programs.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcWorkspace, "ruvelant.workspace")

namespace {
// Platforms without desktop services (offscreen, or no GUI application at all) still open
// documents the way the desktop does: through xdg-open, which follows the user's choices.
bool platformHasDesktopServices()
{
    const QString platform = QGuiApplication::platformName();
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) && platform != QLatin1String("offscreen")
        && platform != QLatin1String("minimal");
}
} // namespace

bool Workspace::openUrl(const QUrl &url, QString *error)
{
    const auto fail = [error](const QString &why) {
        qCWarning(lcWorkspace, "%s", qPrintable(why));
        if (error) {
            *error = why;
        }
        return false;
    };
    if (!url.isValid()) {
        return fail(QStringLiteral("cannot open %1: not a valid address").arg(url.toString()));
    }
    if (platformHasDesktopServices() && QDesktopServices::openUrl(url)) {
        return true;
    }
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        return fail(QStringLiteral("cannot open %1: xdg-open is not installed").arg(url.toDisplayString()));
    }
    const QString target
        = url.isLocalFile() && !url.hasFragment() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded);
    Programs::Options options;
    options.output = Programs::PassOn;
    options.errors = Programs::PassOn;
    if (!Programs::startDetached(opener, {target}, options)) {
        return fail(QStringLiteral("cannot open %1: xdg-open could not be started").arg(target));
    }
    return true;
}

bool Workspace::openFile(const QString &path, QString *error)
{
    if (!QFileInfo::exists(path)) {
        const QString why = QStringLiteral("cannot open %1: no such file").arg(path);
        qCWarning(lcWorkspace, "%s", qPrintable(why));
        if (error) {
            *error = why;
        }
        return false;
    }
    return openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()), error);
}
