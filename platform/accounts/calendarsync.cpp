#include "calendarsync.h"

#include "caldavdiscovery.h"
#include "caldavlimits.h"
#include "filelock.h"
#include "passwordstore.h"
#include "programs.h"
#include "regularfile.h"
#include "syncstatus.h"
#include "vdirsyncerconfig.h"
#include "xdgpaths.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <functional>
#include <optional>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcCalendarSync, "ruvelant.calendarsync", QtInfoMsg)

namespace {
const CalDavLimits limits;

// The longest an earlier sync of an account can take (its discovery and three steps), which a
// later one waits for at most.
constexpr std::chrono::milliseconds longestSync(const CalDavLimits &bounds)
{
    return bounds.discoveryTime + 3 * bounds.syncStepTime;
}

// Runs one vdirsyncer command on the pairs of the account's calendars; false with the failure
// when it failed.
bool vdirsyncer(const QString &program, const QString &command, const CalDavAccount &account, CalDavFailure *failure,
                QString *detail)
{
    // A question (to create a calendar that is missing) gets no answer (no input) and ends the step.
    Programs::Options options;
    options.errors = Programs::Keep;
    options.timeoutMs = int(limits.syncStepTime.count());
    options.memoryLimit = limits.syncProgramMemory;
    const Programs::Outcome run = Programs::execute(
        program,
        QStringList {QStringLiteral("-c"), VdirsyncerConfig::path(), command} + VdirsyncerConfig::pairNames(account),
        options);
    if (run.how == Programs::Outcome::NotStarted) {
        *failure = CalDavFailure::SyncProgramMissing;
        *detail = QStringLiteral("%1 could not be started: %2").arg(program, run.error);
        return false;
    }
    if (run.how == Programs::Outcome::TimedOut) {
        *failure = CalDavFailure::Unreachable;
        *detail = QStringLiteral("vdirsyncer %1 did not end within %2 minutes and was stopped")
                      .arg(command)
                      .arg(std::chrono::duration_cast<std::chrono::minutes>(limits.syncStepTime).count());
        return false;
    }
    const QString diagnostics = QString::fromLocal8Bit(run.errors);
    qCDebug(lcCalendarSync).noquote() << "vdirsyncer" << command << account.id << diagnostics;
    if (run.succeeded()) {
        return true;
    }
    *failure = CalendarSync::failureOf(diagnostics, detail);
    return false;
}

// The account's password, read the way vdirsyncer reads it; empty when it cannot be read.
QString fetchPassword(const CalDavAccount &account)
{
    QStringList command = PasswordStore::fetchCommand(account);
    Programs::Options options;
    options.output = Programs::Keep;
    options.timeoutMs = 120000;
    const QString program = command.takeFirst();
    const Programs::Outcome fetch = Programs::execute(program, command, options);
    if (!fetch.succeeded()) {
        return QString();
    }
    QString password = QString::fromUtf8(fetch.output);
    while (password.endsWith(QLatin1Char('\n'))) {
        password.chop(1);
    }
    return password;
}

// Follows the calendars made or deleted on the server since the account was added: its calendars
// become those the server has now (and the configuration written next says so). Returns the failure that ends
// the account's sync: the server sent on to another origin (which a sync never follows: the
// password goes to the account's own origin only), could not be reached, answered beyond the
// bounds, refused the password or is no CalDAV server. The sync goes on (with the calendars as
// they are) when the account has no calendar left there, and when the password cannot be read
// (vdirsyncer then says why).
CalDavFailure followServerCalendars(const CalDavAccount &account, QString *detail)
{
    const QString password = fetchPassword(account);
    if (password.isEmpty()) {
        return CalDavFailure::None;
    }
    CalDavDiscovery discovery(nullptr, limits);
    CalDavDiscovery::Result found;
    QEventLoop loop;
    QObject::connect(&discovery, &CalDavDiscovery::finished, &loop, [&](const CalDavDiscovery::Result &result) {
        found = result;
        loop.quit();
    });
    discovery.start(account.url, account.userName, password);
    loop.exec();
    if (found.failure == CalDavFailure::ServerMoved) {
        *detail = QStringLiteral("%1; not followed: add the account again to confirm the new server").arg(found.detail);
        return found.failure;
    }
    if (found.failure == CalDavFailure::NoCalendars) {
        return CalDavFailure::None;
    }
    if (found.failure != CalDavFailure::None) {
        *detail = found.detail;
        return found.failure;
    }
    const FileLock files(CalendarSync::lockPath());
    QList<CalDavAccount> accounts;
    if (!CalDavAccounts::load(&accounts, nullptr)) {
        return CalDavFailure::None;
    }
    for (int i = 0; i < accounts.size(); ++i) {
        if (accounts.at(i).id != account.id) {
            continue;
        }
        CalDavAccount updated = accounts.takeAt(i);
        if (CalDavAccounts::updateCalendars(&updated, found.calendars, accounts, CalDavAccounts::calendarsFolder())) {
            accounts.insert(i, updated);
            QString error;
            if (!CalDavAccounts::save(accounts, &error)) {
                qCWarning(lcCalendarSync).noquote() << error;
            }
        }
        break;
    }
    return CalDavFailure::None;
}

// The account with that id as the accounts' file holds it now; none when it is gone (or the file
// cannot be read).
std::optional<CalDavAccount> currentAccount(const QString &id)
{
    QList<CalDavAccount> accounts;
    if (CalDavAccounts::load(&accounts, nullptr)) {
        for (const CalDavAccount &account : qAsConst(accounts)) {
            if (account.id == id) {
                return account;
            }
        }
    }
    return std::nullopt;
}

// Records in the status file what syncing account is doing, or what came of it; the outcomes of
// accounts that are gone are left out.
void record(const QString &id, const std::function<void(SyncOutcome &)> &change)
{
    const FileLock files(CalendarSync::lockPath());
    QList<CalDavAccount> accounts;
    const bool known = CalDavAccounts::load(&accounts, nullptr);
    const QHash<QString, SyncOutcome> recorded = SyncStatus::load();
    QHash<QString, SyncOutcome> outcomes = known ? QHash<QString, SyncOutcome>() : recorded;
    for (const CalDavAccount &account : accounts) {
        if (recorded.contains(account.id)) {
            outcomes.insert(account.id, recorded.value(account.id));
        }
    }
    change(outcomes[id]);
    QString error;
    if (!SyncStatus::save(outcomes, &error)) {
        qCWarning(lcCalendarSync).noquote() << error;
    }
}
} // namespace

QString CalendarSync::programName()
{
    return QStringLiteral("RuvelantSync");
}

QString CalendarSync::scheduleLabel()
{
    return QStringLiteral("com.kestramo.") + programName();
}

QString CalendarSync::lockPath()
{
    return xdgStateHome() + QStringLiteral("/ruvelant/calendarsync.lock");
}

QString CalendarSync::lockPath(const QString &accountId)
{
    return xdgStateHome() + QStringLiteral("/ruvelant/calendarsync-%1.lock").arg(accountId);
}

bool CalendarSync::makeFolders(const CalDavAccount &account, QString *problem)
{
    for (const CalDavCalendar &calendar : account.calendars) {
        const QString folder = CalDavAccounts::calendarsFolder() + QLatin1Char('/') + calendar.folder;
        if (QFileInfo(folder).isDir()) {
            continue;
        }
        if (!QDir().mkpath(folder)) {
            *problem = QStringLiteral("cannot make the calendar folder %1").arg(folder);
            return false;
        }
        if (!calendar.displayName.isEmpty()) {
            QString ignored; // the calendar is shown by its folder's name instead
            RegularFile::replaceKeepingMode(folder + QStringLiteral("/displayname"), calendar.displayName.toUtf8(),
                                            &ignored);
        }
    }
    return true;
}

CalDavFailure CalendarSync::failureOf(const QString &diagnostics, QString *detail)
{
    QStringList lines;
    for (QString line : diagnostics.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if ((line.startsWith(QLatin1String("error:")) || line.startsWith(QLatin1String("critical:")))
            && !line.contains(QLatin1String("-vdebug"))) {
            lines.append(line.section(QLatin1Char(':'), 1).trimmed());
        }
    }
    *detail = lines.isEmpty() ? diagnostics.trimmed().section(QLatin1Char('\n'), -1) : lines.join(QLatin1Char(' '));
    const auto says = [&diagnostics](const char *pattern) {
        return diagnostics.contains(QRegularExpression(QLatin1String(pattern)));
    };
    if (says("\\b(401|403)\\b.*(Unauthorized|Forbidden)")) {
        return CalDavFailure::WrongPassword;
    }
    if (says("CERTIFICATE_VERIFY_FAILED|SSLCertVerificationError|certificate verify failed")) {
        return CalDavFailure::UntrustedCertificate;
    }
    if (says("Cannot connect to host|Name or service not known|Temporary failure in name resolution|"
             "TimeoutError|ServerDisconnectedError|Connection reset")) {
        return CalDavFailure::Unreachable;
    }
    if (says("password\\.fetch|Empty value for password|secret-tool|Failed to execute command")) {
        return CalDavFailure::PasswordUnavailable;
    }
    if (says("Unable to find or create collection|No collection .* found")) {
        return CalDavFailure::CalendarGone;
    }
    return CalDavFailure::Other;
}

bool CalendarSync::run(const QStringList &ids, QStringList *problems)
{
    QDir().mkpath(QFileInfo(lockPath()).absolutePath());
    QList<CalDavAccount> accounts;
    QString error;
    if (!CalDavAccounts::load(&accounts, &error)) {
        problems->append(error);
        return false;
    }
    bool ok = true;
    for (const QString &id : ids) {
        if (std::none_of(accounts.cbegin(), accounts.cend(), [&id](const CalDavAccount &a) { return a.id == id; })) {
            problems->append(QStringLiteral("there is no account %1").arg(id));
            ok = false;
        }
    }
    const QString program = QStandardPaths::findExecutable(QStringLiteral("vdirsyncer"));
    for (const CalDavAccount &listed : qAsConst(accounts)) {
        if (!ids.isEmpty() && !ids.contains(listed.id)) {
            continue;
        }
        // One sync of an account at a time: a later one waits for the earlier one to end, then
        // syncs what changed meanwhile. Other accounts' syncs go on.
        const FileLock syncing(lockPath(listed.id), longestSync(limits));
        if (!syncing.isLocked()) {
            problems->append(QStringLiteral("%1: not synced, another sync of it did not end: %2")
                                 .arg(listed.title(), syncing.errorString()));
            ok = false;
            continue;
        }
        // The pane may have removed the account (and its folders) while others were synced.
        std::optional<CalDavAccount> account = currentAccount(listed.id);
        if (!account) {
            continue;
        }
        record(listed.id, [](SyncOutcome &outcome) {
            outcome.started = QDateTime::currentDateTimeUtc();
            outcome.pid = ::getpid();
        });
        CalDavFailure failure = CalDavFailure::None;
        QString detail;
        if (program.isEmpty()) {
            failure = CalDavFailure::SyncProgramMissing;
            detail = QStringLiteral("vdirsyncer is not installed (Debian package vdirsyncer)");
        } else {
            failure = followServerCalendars(*account, &detail);
        }
        if (failure == CalDavFailure::None) {
            const FileLock files(lockPath());
            QList<CalDavAccount> current;
            if (!CalDavAccounts::load(&current, &detail) || !VdirsyncerConfig::write(current, &detail)) {
                failure = CalDavFailure::Other;
            }
            account = currentAccount(listed.id);
            if (account) {
                VdirsyncerConfig::adoptEarlierStatus(*account);
                if (!makeFolders(*account, &detail)) {
                    failure = CalDavFailure::Other;
                }
            }
        }
        for (const char *command : {"discover", "sync", "metasync"}) {
            if (!account || failure != CalDavFailure::None || VdirsyncerConfig::pairNames(*account).isEmpty()
                || !vdirsyncer(program, QLatin1String(command), *account, &failure, &detail)) {
                break;
            }
        }
        record(listed.id, [failure, detail](SyncOutcome &outcome) {
            outcome.finished = QDateTime::currentDateTimeUtc();
            outcome.failure = failure;
            outcome.detail = detail;
            outcome.pid = 0;
        });
        if (failure != CalDavFailure::None) {
            problems->append(QStringLiteral("%1: %2").arg(listed.title(), detail));
            ok = false;
        }
    }
    return ok;
}

bool CalendarSync::startInBackground(const QString &programFolder)
{
    const QString program = programFolder + QLatin1Char('/') + programName();
    if (!QFileInfo::exists(CalDavAccounts::path()) || !QFileInfo(program).isExecutable()) {
        return false;
    }
    return Programs::startDetached(program, {}, Programs::Options());
}
