#include "mailaccountsetup.h"

#include "mailaccountstore.h"
#include "passwordstore.h"
#include "privatefile.h"

#include <QTimer>

#include <algorithm>

MailAccountSetup::MailAccountSetup(QObject *parent) : QObject(parent), m_passwords(new PasswordStore(this)) { }

void MailAccountSetup::add(MailAccount account, const QString &password)
{
    m_busy = true;
    account.origin = MailAccount::Ruvelant;
    QList<MailAccount> accounts;
    QString error;
    if (!MailAccountStore::load(&accounts, &error)) {
        finishLater(false, error);
        return;
    }
    const QString problem = account.problem();
    if (!problem.isEmpty()) {
        finishLater(false, problem);
        return;
    }
    if (const MailAccount *known = MailAccountStore::find(accounts, account.address)) {
        account.id = known->id;
    } else {
        account.id = MailAccountStore::newId(account.address, accounts);
    }
    QObject *context = new QObject(this);
    connect(m_passwords, &PasswordStore::finished, context, [this, account, context](bool ok, const QString &why) {
        delete context;
        if (!ok) {
            if (!account.passwordInFile) {
                Q_EMIT keyringRefused(why);
            }
            finish(false, why);
            return;
        }
        QList<MailAccount> accounts;
        QString error;
        if (!MailAccountStore::load(&accounts, &error)) {
            finish(false, error);
            return;
        }
        bool replaced = false;
        for (MailAccount &known : accounts) {
            if (known.id == account.id) {
                // A password moved between the keyring and the file leaves nothing behind.
                if (known.passwordInFile && !account.passwordInFile) {
                    PrivateFile::remove(PasswordStore::passwordFile(account.id), nullptr);
                }
                known = account;
                replaced = true;
            }
        }
        if (!replaced) {
            accounts.append(account);
        }
        if (!MailAccountStore::save(accounts, &error)) {
            finish(false, error);
            return;
        }
        finish(true, QString());
    });
    m_passwords->store(account.id, account.address, account.passwordInFile, password);
}

void MailAccountSetup::remove(const QString &address)
{
    m_busy = true;
    QList<MailAccount> accounts;
    QString error;
    if (!MailAccountStore::load(&accounts, &error)) {
        finishLater(false, error);
        return;
    }
    const MailAccount *found = MailAccountStore::find(accounts, address);
    if (!found) {
        finishLater(false, QStringLiteral("there is no mail account %1").arg(address));
        return;
    }
    const MailAccount account = *found;
    accounts.erase(std::remove_if(accounts.begin(), accounts.end(),
                                  [&account](const MailAccount &known) { return known.id == account.id; }),
                   accounts.end());
    if (!MailAccountStore::save(accounts, &error)) {
        finishLater(false, error);
        return;
    }
    QObject *context = new QObject(this);
    connect(m_passwords, &PasswordStore::finished, context, [this, context](bool ok, const QString &why) {
        delete context;
        finish(true, ok ? QString() : QStringLiteral("its password could not be removed: %1").arg(why));
    });
    m_passwords->remove(account.id, account.passwordInFile);
}

void MailAccountSetup::finishLater(bool ok, const QString &error)
{
    QTimer::singleShot(0, this, [this, ok, error] { finish(ok, error); });
}

void MailAccountSetup::finish(bool ok, const QString &error)
{
    m_busy = false;
    Q_EMIT finished(ok, error);
}
