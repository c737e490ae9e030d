#include "failurenotice.h"

#include "ComKestramoLogger.h"
#include "bundle.h"
#include "desktopnotifications.h"
#include "programs.h"
#include "runoutcome.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcFailureNotice, "ruvelant.failurenotice")

QStringList FailureNotice::notifierArguments(const RunOutcome &outcome, const Bundle &bundle)
{
    QStringList arguments;
    const QList<QPair<HandOverFailure, int>> causes = outcome.failureCauses();
    for (const auto &cause : causes) {
        QString text = cause.first.plainWords(bundle) + QLatin1Char('.');
        if (cause.first.isTemporary()) {
            text += QLatin1Char(' ') + bundle.localizedStringForKey(QStringLiteral("NotifyRetry"));
        }
        arguments << QStringLiteral("--title")
                  << bundle.localizedStringForKey(QStringLiteral("NotifyFailedSummary"), cause.second)
                  << QStringLiteral("--text") << text;
    }
    if (!arguments.isEmpty()) {
        arguments << QStringLiteral("--action") << bundle.localizedStringForKey(QStringLiteral("NotifyShowSent"));
    }
    return arguments;
}

void FailureNotice::afterRun(const QString &notifierPath)
{
    if (!DesktopNotifications::sessionBusExists()) {
        return; // no desktop session to tell (a server, or cron's plain environment)
    }
    const RunOutcome outcome = RunOutcome::ofProcess(
        SentReminders::readLogText(ComKestramoLogger::logsPath(), ComKestramoLogger::applicationName()), ::getpid(),
        QDateTime(), QDate::currentDate());
    const QStringList arguments = notifierArguments(outcome, *Bundle::mainBundle());
    if (arguments.isEmpty()) {
        return;
    }
    const QString notifier = notifierPath.isEmpty()
        ? QCoreApplication::applicationDirPath() + QStringLiteral("/RuvelantNotifier")
        : notifierPath;
    // The notifier waits for the user's answer after this run has ended; a systemd service would
    // stop it with the run, so there it gets a scope of its own.
    QString program = notifier;
    QStringList words = arguments;
    const QString systemdRun = QStandardPaths::findExecutable(QStringLiteral("systemd-run"));
    if (!qEnvironmentVariableIsEmpty("INVOCATION_ID") && !systemdRun.isEmpty()) {
        program = systemdRun;
        words = QStringList {QStringLiteral("--user"),    QStringLiteral("--scope"), QStringLiteral("--quiet"),
                             QStringLiteral("--collect"), QStringLiteral("--"),      notifier}
            + arguments;
    }
    QString error;
    if (!Programs::startDetached(program, words, Programs::Options(), &error)) {
        qCWarning(lcFailureNotice, "cannot start %s: %s", qPrintable(program), qPrintable(error));
    }
}
