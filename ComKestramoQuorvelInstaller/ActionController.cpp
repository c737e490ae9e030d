#include "ActionController.h"

#include "Model.h"
#include "PaneArchive.h"
#include "application.h"
#include "bundle.h"
#include "filemanager.h"
#include "launchagent.h"
#include "launchjob.h"
#include "logservice.h"
#include "privatefile.h"
#include "programs.h"
#include "scriptrunner.h"
#include "syncschedule.h"
#include "textnumber.h"
#include "userfolders.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QVariant>
#include <QWidget>

#include <cerrno>

namespace {
const QString paneFileName = QStringLiteral("Ruvelant.prefPane");

const QString quitScript = QStringLiteral("tell application \"System Preferences\" \r quit \r end tell\r");
const QString revealScript
    = QStringLiteral("tell application \"System Preferences\" \r activate \r set ruvPane to every pane whose id is "
                     "\"com.kestramo.ruvelant\" \r set f to first item of ruvPane \r reveal f \r end tell \r");

void logRemovalFailure(int error, const QString &path)
{
    LogService::consoleLog(QStringLiteral("error=%1 , failed to remove : %2 file ").arg(QString::number(error), path));
}

void logInstallationFailure(int error, const QString &path)
{
    LogService::consoleLog(QStringLiteral("error=%1 while installing : %2 file ").arg(QString::number(error), path));
}
} // namespace

QString ActionController::localized(const QString &key) const
{
    return Bundle::mainBundle()->localizedStringForKey(key, QString());
}

QString ActionController::preferencePanesPath() const
{
    return userLibraryPath() + QStringLiteral("/PreferencePanes");
}

QString ActionController::panelInstallationPath() const
{
    return preferencePanesPath() + QLatin1Char('/') + paneFileName;
}

QString ActionController::panelSystemInstallationPath() const
{
    return systemLibraryPath() + QStringLiteral("/PreferencePanes/") + paneFileName;
}

QString ActionController::normalizeVersion(const QString &version)
{
    // Three components, the delimiter is "." alone; anything after the third is ignored.
    int at = 0;
    const auto component = [&version, &at] {
        int end = version.indexOf(QLatin1Char('.'), at);
        if (end < 0) {
            end = version.size();
        }
        const QString text = version.mid(at, end - at);
        at = end;
        return text;
    };
    const auto next = [&version, &at, &component] {
        if (at < version.size()) {
            ++at; // the "."
        }
        return at < version.size() ? component() : QStringLiteral("0");
    };
    const QString major = component();
    const QString minor = next();
    const QString patch = next();
    return QString::asprintf("%.5lld.%.5lld.%.5lld", static_cast<long long>(leadingLong(major)),
                             static_cast<long long>(leadingLong(minor)), static_cast<long long>(leadingLong(patch)));
}

bool ActionController::verifyIfInstallerVersion(const QString &installerVersion,
                                                const QString &isMoreRecentThaInstalledVersion)
{
    return normalizeVersion(installerVersion)
               .compare(normalizeVersion(isMoreRecentThaInstalledVersion), Qt::CaseSensitive)
        > 0;
}

void ActionController::applicationDidFinishLaunching(QObject *notification)
{
    Q_UNUSED(notification)
    m_model->setApplicationInitCompleted(false);
    m_model->setApplicationInstallationOrUnistallationCompleted(false);
    const QString installerVersion
        = Bundle::mainBundle()->objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString();

    if (QFileInfo::exists(panelInstallationPath())) {
        m_model->setApplicationAlreadyInstalled(true);
        m_model->setApplicationAlreadyInstalledInUserHome(true);
    } else if (QFileInfo::exists(panelSystemInstallationPath())) {
        m_model->setApplicationAlreadyInstalled(true);
        m_model->setApplicationAlreadyInstalledInUserHome(false);
    } else {
        m_model->setApplicationAlreadyInstalled(false);
        m_model->setApplicationAlreadyInstalledInUserHome(true);
    }

    if (m_model->applicationAlreadyInstalled()) {
        const bool inUserHome = m_model->applicationAlreadyInstalledInUserHome();
        const Bundle installed(inUserHome ? panelInstallationPath() : panelSystemInstallationPath());
        const QVariant version = installed.objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion"));
        // A pane whose version cannot be read counts as the oldest, so that an update is offered,
        // and shows its version as unknown.
        const bool readable = version.userType() == QMetaType::QString;
        const QString installedVersion = readable ? version.toString() : QStringLiteral("0");
        const QString shownVersion = readable ? installedVersion : QStringLiteral("?");
        if (verifyIfInstallerVersion(installerVersion, installedVersion)) {
            m_model->setApplicationUpdateNecessary(true);
            m_model->setVersionMessage(QStringLiteral("v.%1 --> v.%2").arg(shownVersion, installerVersion));
            QString format = localized(inUserHome ? QStringLiteral("ApplicationInstalled_UpdateAvailable")
                                                  : QStringLiteral("ApplicationInstalled_UninstallWrongLocation_"
                                                                   "UpdateAvailable"));
            // The installed version is %1 and the carried one %2; a text without them shows none.
            if (format.contains(QLatin1Char('%'))) {
                format = format.arg(shownVersion, installerVersion);
            }
            m_model->setMessage(format);
        } else {
            m_model->setApplicationUpdateNecessary(false);
            m_model->setVersionMessage(QStringLiteral("v.%1 ").arg(shownVersion));
            m_model->setMessage(localized(inUserHome ? QStringLiteral("ApplicationInstalled_UpToDate")
                                                     : QStringLiteral("ApplicationInstalled_UninstallWrongLocation_"
                                                                      "UpToDate")));
        }
    } else {
        m_model->setApplicationUpdateNecessary(true);
        m_model->setVersionMessage(QStringLiteral("v.%1 ").arg(installerVersion));
        m_model->setMessage(localized(QStringLiteral("ApplicationNotInstalled_UpdateAvailable")));
    }
    m_model->setApplicationInitCompleted(true);
}

void ActionController::install(QObject *sender)
{
    m_model->setApplicationInstallationOrUnistallationInProgress(true);
    try {
        stopSystemPreferencesIfNecessary();
        installPanel(); // removes the installed pane once the carried one is unpacked and checked
        startSystemPreferences();
        bringToFront(sender);
    } catch (...) {
        endProcedure();
        throw;
    }
    endProcedure();
}

void ActionController::uinstall(QObject *sender)
{
    m_model->setApplicationInstallationOrUnistallationInProgress(true);
    try {
        disableAlerter();
        stopSystemPreferencesIfNecessary();
        uninstallPanelIfNecessary();
        bringToFront(sender);
        m_model->setMessage(localized(QStringLiteral("UninstallationCompleted")));
    } catch (...) {
        m_model->setMessage(localized(QStringLiteral("UninstallationFailed")));
        endProcedure();
        throw;
    }
    endProcedure();
}

void ActionController::endProcedure()
{
    m_model->setApplicationInstallationOrUnistallationInProgress(false);
    m_model->setApplicationInstallationOrUnistallationCompleted(true);
}

void ActionController::bringToFront(QObject *sender)
{
    Application::activateIgnoringOtherApps(true);
    QWidget *window = Application::mainWindow();
    if (!window) {
        const auto *widget = qobject_cast<QWidget *>(sender);
        window = widget ? widget->window() : nullptr;
    }
    Application::makeKeyAndOrderFront(window);
}

void ActionController::executeAppleScriptWithSource(const QString &source)
{
    ScriptRunner script(source);
    QVariantMap errorInfo;
    if (!script.executeAndReturnError(&errorInfo)) {
        throw ScriptExecutionFailed(
            QStringLiteral("ExecutionError ErrorDictionary=%1").arg(ScriptRunner::describe(errorInfo)));
    }
}

void ActionController::stopSystemPreferencesIfNecessary()
{
    executeAppleScriptWithSource(quitScript);
}

void ActionController::startSystemPreferences()
{
    if (Application::isWindowless()) {
        // Over ssh or in a script there is no desktop to show System Preferences on; the pane is
        // in place all the same, and shows at the next start of System Preferences.
        LogService::consoleLog(QStringLiteral("no display: System Preferences is not opened on the pane"));
        return;
    }
    executeAppleScriptWithSource(revealScript);
}

void ActionController::uninstallPanelIfNecessary()
{
    if (!m_model->applicationAlreadyInstalled()) {
        return;
    }
    const QString path
        = m_model->applicationAlreadyInstalledInUserHome() ? panelInstallationPath() : panelSystemInstallationPath();
    int error = 0;
    if (FileManager::removeItemAtPath(path, &error)) {
        m_model->setApplicationUpdateNecessary(true);
        m_model->setApplicationAlreadyInstalled(false);
    } else {
        logRemovalFailure(error, path);
    }
}

void ActionController::installPanel()
{
    const auto failed = [this] { m_model->setMessage(localized(QStringLiteral("InstallationFailed"))); };
    const QString archive = Bundle::mainBundle()->pathForResource(paneFileName, QStringLiteral("zip"));
    if (archive.isEmpty()) {
        logInstallationFailure(
            ENOENT, Bundle::mainBundle()->resourcePath() + QLatin1Char('/') + paneFileName + QStringLiteral(".zip"));
        failed();
        return;
    }
    // Only the pane, within a bounded size: checked before anything is unpacked, and the
    // installed pane stays as it is when the archive is refused.
    const QString refusal = PaneArchive::refusal(archive, paneFileName);
    if (!refusal.isEmpty()) {
        LogService::consoleLog(QStringLiteral("%1 is not installed: %2").arg(archive, refusal));
        logInstallationFailure(EINVAL, archive);
        failed();
        return;
    }

    // The archive is unpacked into a fresh folder beside the pane's place and moved into place
    // only once unzip has succeeded and what it made is checked; only then is the installed
    // pane removed. An installed copy that could not be removed is replaced rather than asked
    // about, and a half-written pane never stands in the user's folder.
    const QString folder = preferencePanesPath();
    QDir().mkpath(folder);
    QTemporaryDir unpacked(folder + QStringLiteral("/.") + paneFileName + QStringLiteral("-XXXXXX"));
    if (!unpacked.isValid()) {
        logInstallationFailure(errno, folder);
        failed();
        return;
    }
    unpacked.setAutoRemove(false);
    // An unzip that cannot be started (its reason is on standard error) fails like one that
    // exits with an error: the message must not go on saying what was there before.
    const int status = Programs::run(QStringLiteral("/usr/bin/unzip"),
                                     {QStringLiteral("-qq"), QStringLiteral("-d"), unpacked.path(), archive});
    bool placed = status == 0;
    const QString why = placed ? PaneArchive::unpackedRefusal(unpacked.path(), paneFileName) : QString();
    if (!why.isEmpty()) {
        LogService::consoleLog(QStringLiteral("%1 is not installed: %2").arg(archive, why));
        logInstallationFailure(EINVAL, archive);
        placed = false;
    }
    if (placed) {
        uninstallPanelIfNecessary();
        int error = 0;
        const QString target = panelInstallationPath();
        if (!FileManager::replaceItemAtPath(target, unpacked.filePath(paneFileName), &error)) {
            logInstallationFailure(error, target);
            placed = false;
        }
    }
    int error = 0;
    if (!FileManager::removeItemAtPath(unpacked.path(), &error)) {
        logRemovalFailure(error, unpacked.path());
    }

    if (placed) {
        m_model->setApplicationUpdateNecessary(false);
        m_model->setApplicationAlreadyInstalled(true);
        m_model->setMessage(localized(QStringLiteral("InstallationCompleted")));
    } else {
        failed();
    }
}

void ActionController::disableAlerter()
{
    if (QFileInfo::exists(plistAgentFilePath())) {
        const LaunchAgent::Result unloaded = LaunchAgent::unload();
        if (unloaded.outcome == LaunchAgent::Result::NotStarted) {
            throw Exception(QStringLiteral("LaunchFailed"), unloaded.error);
        }
        LaunchAgent::removeFile();
    }
    // The accounts' calendars are synced by a program of the pane: its schedule goes with it (the
    // accounts and their calendars stay, as the settings do).
    if (QFileInfo::exists(SyncSchedule::plistPath())) {
        runProgram(QLatin1String(LaunchJob::LaunchctlPath),
                   LaunchJob::launchctlArguments(QStringLiteral("unload"), SyncSchedule::label()));
        QString error;
        if (!PrivateFile::remove(SyncSchedule::plistPath(), &error)) {
            LogService::consoleLog(
                QStringLiteral("error=%1 , failed to remove : %2 file ").arg(errno).arg(SyncSchedule::plistPath()));
        }
    }
    runProgram(QStringLiteral("/usr/bin/defaults"),
               {QStringLiteral("write"), QStringLiteral("com.kestramo.ruvelant"), QStringLiteral("quorvelEnabled"),
                QStringLiteral("0")});
}

int ActionController::runProgram(const QString &path, const QStringList &arguments)
{
    QString error;
    const int status = Programs::run(path, arguments, &error);
    if (status < 0) {
        throw Exception(QStringLiteral("LaunchFailed"), error);
    }
    return status;
}

QString ActionController::agentName() const
{
    return LaunchAgent::agentName();
}

QString ActionController::launchAgentsPath() const
{
    return LaunchAgent::launchAgentsPath();
}

QString ActionController::plistAgentFilePath() const
{
    return LaunchAgent::plistAgentFilePath();
}
