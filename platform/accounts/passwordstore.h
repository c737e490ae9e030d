#ifndef RUVELANT_PASSWORDSTORE_H
#define RUVELANT_PASSWORDSTORE_H

#include "caldavaccounts.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>

// Where the passwords of the accounts (calendar and mail accounts alike) are kept: the desktop's
// Secret Service (a keyring), through the secret-tool program, which also hands them to the sync;
// where no Secret Service runs, a file that only the user may read,
// $XDG_CONFIG_HOME/ruvelant/passwords/<account id>. Account ids are file names: no '/'.
class PasswordStore : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The attributes that find an account's password in the Secret Service.
    static QStringList attributes(const QString &accountId);
    static QString passwordFile(const QString &accountId);
    // The command whose output is the password, for vdirsyncer's password.fetch.
    static QStringList fetchCommand(const CalDavAccount &account);
    // Why password cannot be handed over through a command's output (empty, a line break); empty when it can.
    static QString refusal(const QString &password);

    // Why the keyring did not take a password, from the error that store() reported.
    enum KeyringFailure {
        KeyringNotUnlocked, // its question (unlock it, or make a new keyring) was cancelled or failed
        KeyringNotRunning, // no keyring runs, or it could not be started
        KeyringNoAnswer, // it did not answer in time
        KeyringOther,
    };
    static KeyringFailure keyringFailure(const QString &error);

    // The password of the account accountId, read where inFile says, waiting at most timeoutMs
    // for the keyring (which may ask to be unlocked). False with *error set when there is none or
    // it cannot be read.
    static bool lookup(const QString &accountId, bool inFile, int timeoutMs, QString *password, QString *error);

    // Stores the password of account where account.passwordInFile says, replacing an earlier
    // one; emits finished. Waits for the keyring's own questions (it may ask to be unlocked).
    void store(const CalDavAccount &account, const QString &password);
    // The same for the account accountId, shown in the keyring as "Ruvelant: <title>".
    void store(const QString &accountId, const QString &title, bool inFile, const QString &password);
    // Takes the account's password away from the Secret Service and its file; emits finished.
    // A password that is not there is no error.
    void remove(const CalDavAccount &account);
    void remove(const QString &accountId, bool inFile);
    bool isBusy() const { return m_process; }

Q_SIGNALS:
    void finished(bool ok, const QString &error);

private:
    // Runs secret-tool with arguments and input; finish() reports it.
    void runSecretTool(const QStringList &arguments, const QByteArray &input);
    void finish(bool ok, const QString &error);

    QPointer<QProcess> m_process;
    QString m_fileError; // a failure to remove the file, reported with the keyring's outcome
};

#endif
