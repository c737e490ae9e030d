#include "accountsetup.h"

#include "calendarsync.h"
#include "passwordstore.h"
#include "privatefile.h"
#include "programs.h"
#include "syncschedule.h"
#include "vdirsyncerconfig.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

namespace {
// Joins the non-empty texts into one message.
QString joined(const QStringList &texts)
{
    QStringList parts = texts;
    parts.removeAll(QString());
    return parts.join(QStringLiteral("; "));
}
} // namespace

AccountSetup::AccountSetup(const QString &syncProgram, QObject *parent)
    : QObject(parent)
    , m_syncProgram(syncProgram)
    , m_passwords(new PasswordStore(this))
    , m_schedule(new SyncSchedule(this))
{
}

QList<CalDavAccount> AccountSetup::accounts()
{
    QList<CalDavAccount> accounts;
    CalDavAccounts::load(&accounts, nullptr);
    return accounts;
}

void AccountSetup::add(CalDavAccount account, const QString &password)
{
    m_busy = true;
    QList<CalDavAccount> accounts;
    if (!loadAccounts(&accounts)) {
        return;
    }
    CalDavAccounts::assignNames(&account, accounts, CalDavAccounts::calendarsFolder());
    // The password first: an account whose password could not be kept is not added.
    QObject *context = new QObject(this);
    connect(m_passwords, &PasswordStore::finished, context, [this, account, context](bool ok, const QString &error) {
        delete context;
        if (!ok) {
            if (!account.passwordInFile) {
                Q_EMIT keyringRefused(error);
            }
            finish(false, error);
            return;
        }
        saveAdded(account);
    });
    m_passwords->store(account, password);
}

void AccountSetup::saveAdded(const CalDavAccount &account)
{
    QList<CalDavAccount> accounts;
    QString error;
    if (!CalDavAccounts::load(&accounts, &error)) {
        finish(false, error);
        return;
    }
    accounts.append(account);
    if (!CalDavAccounts::save(accounts, &error)) {
        m_passwords->remove(account);
        finish(false, error);
        return;
    }
    QString warning;
    if (!VdirsyncerConfig::write(accounts, &error) || !CalendarSync::makeFolders(account, &error)) {
        warning = error;
    }
    if (!syncNow()) {
        warning = joined({warning, QStringLiteral("%1 could not be started").arg(m_syncProgram)});
    }
    schedule(true, warning);
}

void AccountSetup::remove(const QString &id, bool removeFolders)
{
    m_busy = true;
    QList<CalDavAccount> accounts;
    if (!loadAccounts(&accounts)) {
        return;
    }
    const auto found
        = std::find_if(accounts.begin(), accounts.end(), [&id](const CalDavAccount &a) { return a.id == id; });
    if (found == accounts.end()) {
        finishLater(false, QStringLiteral("there is no account %1").arg(id));
        return;
    }
    const CalDavAccount account = *found;
    accounts.erase(found);
    QString error;
    if (!CalDavAccounts::save(accounts, &error)) {
        finishLater(false, error);
        return;
    }
    QStringList warnings;
    if (!VdirsyncerConfig::write(accounts, &error)) {
        warnings.append(error);
    }
    // vdirsyncer's record of the account's calendars: a new account of the same id starts afresh.
    VdirsyncerConfig::removeStatus(account);
    if (removeFolders) {
        for (const CalDavCalendar &calendar : account.calendars) {
            const QString folder = CalDavAccounts::calendarsFolder() + QLatin1Char('/') + calendar.folder;
            if (QFileInfo(folder).isDir() && !QFileInfo(folder).isSymLink() && !QDir(folder).removeRecursively()) {
                warnings.append(QStringLiteral("cannot remove all of %1").arg(folder));
            }
        }
    }
    QObject *context = new QObject(this);
    connect(m_passwords, &PasswordStore::finished, context,
            [this, context, warnings, left = accounts.size()](bool ok, const QString &error) mutable {
                delete context;
                if (!ok) {
                    warnings.append(error);
                }
                if (left == 0) {
                    schedule(false, joined(warnings));
                } else {
                    finish(true, joined(warnings));
                }
            });
    m_passwords->remove(account);
}

bool AccountSetup::syncNow()
{
    Programs::Options options;
    options.output = Programs::PassOn;
    options.errors = Programs::PassOn;
    return Programs::startDetached(m_syncProgram, {}, options);
}

void AccountSetup::schedule(bool load, const QString &warning)
{
    QObject *context = new QObject(this);
    connect(m_schedule, &SyncSchedule::finished, context, [this, context, warning](bool ok, const QString &error) {
        delete context;
        finish(true, ok ? warning : joined({warning, error}));
    });
    if (load) {
        m_schedule->load(m_syncProgram);
    } else {
        m_schedule->unload();
    }
}

bool AccountSetup::loadAccounts(QList<CalDavAccount> *accounts)
{
    QString error;
    if (!CalDavAccounts::load(accounts, &error)) {
        finishLater(false, error);
        return false;
    }
    return true;
}

void AccountSetup::finishLater(bool ok, const QString &warning)
{
    QTimer::singleShot(0, this, [this, ok, warning] { finish(ok, warning); });
}

void AccountSetup::finish(bool ok, const QString &warning)
{
    m_busy = false;
    Q_EMIT finished(ok, warning);
}
