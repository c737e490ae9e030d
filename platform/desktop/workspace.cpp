#include "workspace.h"

#include "programs.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcWorkspace, "ruvelant.workspace")

namespace {
struct FailureHandler
{
    QPointer<QObject> context;
    std::function<void(const Workspace::OpenFailure &)> handler;
};

FailureHandler &failureHandler()
{
    static FailureHandler instance;
    return instance;
}

// Platforms without desktop services (offscreen, or no GUI application at all) still open
// documents the way the desktop does: through xdg-open, which follows the user's choices.
bool platformHasDesktopServices()
{
    const QString platform = QGuiApplication::platformName();
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) && platform != QLatin1String("offscreen")
        && platform != QLatin1String("minimal");
}

QString reasonText(const Workspace::OpenFailure &failure)
{
    switch (failure.reason) {
    case Workspace::OpenFailure::NoSuchFile:
        return QStringLiteral("no such file");
    case Workspace::OpenFailure::NoOpener:
        return QStringLiteral("xdg-open is not installed");
    case Workspace::OpenFailure::NotStarted:
        return QStringLiteral("xdg-open could not be started: %1").arg(failure.detail);
    case Workspace::OpenFailure::NoProgram:
    case Workspace::OpenFailure::OpenerFailed:
        break;
    }
    return QStringLiteral("xdg-open failed with status %1%2")
        .arg(failure.status)
        .arg(failure.detail.isEmpty() ? QString() : QStringLiteral(": ") + failure.detail);
}

// Tells the handler (or the log) of failure; the text of the failure for callers that ask.
QString report(const Workspace::OpenFailure &failure)
{
    const QString why = QStringLiteral("cannot open %1: %2").arg(failure.target, reasonText(failure));
    const FailureHandler &told = failureHandler();
    if (told.context && told.handler) {
        told.handler(failure);
    } else {
        qCWarning(lcWorkspace, "%s", qPrintable(why));
    }
    return why;
}

bool fail(const Workspace::OpenFailure &failure, QString *error)
{
    const QString why = report(failure);
    if (error) {
        *error = why;
    }
    return false;
}

// The outcome of xdg-open, as a failure to tell; none when it opened the target.
bool failureOf(const Programs::Outcome &run, Workspace::OpenFailure *failure)
{
    if (run.succeeded()) {
        return false;
    }
    // xdg-open: 1 a wrong command line, 2 no such file, 3 a tool it needs is missing, 4 the
    // action failed (no program is set up for the type); its own words on standard error.
    QString said = QString::fromLocal8Bit(run.errors).trimmed();
    // Its name before its words, as xdg-open or its shell writes it ("/usr/bin/xdg-open: 811: ").
    said.remove(
        QRegularExpression(QStringLiteral("^(\\S*/)?xdg-open:( \\d+:)? "), QRegularExpression::MultilineOption));
    // Its last line concludes (before it, each program it tried and did not find).
    failure->detail = said.section(QLatin1Char('\n'), -1).trimmed();
    failure->status = run.status;
    if (run.how == Programs::Outcome::NotStarted) {
        failure->reason = Workspace::OpenFailure::NotStarted;
        failure->detail = run.error;
    } else if (run.how == Programs::Outcome::Exited && run.status == 2) {
        failure->reason = Workspace::OpenFailure::NoSuchFile;
    } else if (run.how == Programs::Outcome::Exited && (run.status == 3 || run.status == 4)) {
        failure->reason = Workspace::OpenFailure::NoProgram;
    } else {
        failure->reason = Workspace::OpenFailure::OpenerFailed;
    }
    return true;
}
} // namespace

void Workspace::setFailureHandler(QObject *context, std::function<void(const OpenFailure &)> handler)
{
    failureHandler() = FailureHandler {context, std::move(handler)};
}

bool Workspace::openUrl(const QUrl &url, QString *error)
{
    OpenFailure failure;
    failure.target = url.isLocalFile() ? url.toLocalFile() : url.toDisplayString();
    if (!url.isValid()) {
        failure.reason = OpenFailure::OpenerFailed;
        failure.detail = QStringLiteral("not a valid address");
        return fail(failure, error);
    }
    // xdg-open first: unlike the desktop services, which start it and forget it, it is heard
    // when it finds no program to open the target with.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        if (platformHasDesktopServices() && QDesktopServices::openUrl(url)) {
            return true;
        }
        failure.reason = OpenFailure::NoOpener;
        return fail(failure, error);
    }
    const QString target
        = url.isLocalFile() && !url.hasFragment() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded);
    Programs::Options options;
    options.output = Programs::Discard;
    options.errors = Programs::Keep;
    options.keepLimit = 64 * 1024;
    // Heard of only while someone listens: a window. Otherwise it is started and left to run.
    QObject *application = QCoreApplication::instance();
    if (!failureHandler().context || !application) {
        options.errors = Programs::PassOn;
        QString why;
        if (!Programs::startDetached(opener, {target}, options, &why)) {
            failure.reason = OpenFailure::NotStarted;
            failure.detail = why;
            return fail(failure, error);
        }
        return true;
    }
    // xdg-open may run a viewer of a terminal's kind until it ends: it belongs to the application,
    // so that closing the window that asked does not stop it; a window that has gone hears nothing.
    Programs::start(opener, {target}, options, application, [failure](const Programs::Outcome &run) mutable {
        if (failureOf(run, &failure)) {
            report(failure);
        }
    });
    return true;
}

bool Workspace::openFile(const QString &path, QString *error)
{
    if (!QFileInfo::exists(path)) {
        OpenFailure failure;
        failure.target = path;
        failure.reason = OpenFailure::NoSuchFile;
        return fail(failure, error);
    }
    return openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()), error);
}
