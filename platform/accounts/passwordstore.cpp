#include "passwordstore.h"

#include "privatefile.h"
#include "programs.h"
#include "xdgpaths.h"

#include <QFile>
#include <QStandardPaths>
#include <QTimer>

namespace {
constexpr int secretToolTimeoutMs = 120000; // the keyring may ask the user to unlock it

QString secretTool()
{
    return QStandardPaths::findExecutable(QStringLiteral("secret-tool"));
}
} // namespace

QStringList PasswordStore::attributes(const QString &accountId)
{
    return {QStringLiteral("application"), QStringLiteral("ruvelant"), QStringLiteral("account"), accountId};
}

QString PasswordStore::passwordFile(const QString &accountId)
{
    return xdgConfigHome() + QStringLiteral("/ruvelant/passwords/") + accountId;
}

QStringList PasswordStore::fetchCommand(const CalDavAccount &account)
{
    if (account.passwordInFile) {
        const QString cat = QStandardPaths::findExecutable(QStringLiteral("cat"));
        return {cat.isEmpty() ? QStringLiteral("cat") : cat, passwordFile(account.id)};
    }
    const QString tool = secretTool();
    return QStringList {tool.isEmpty() ? QStringLiteral("secret-tool") : tool, QStringLiteral("lookup")}
    + attributes(account.id);
}

QString PasswordStore::refusal(const QString &password)
{
    if (password.isEmpty()) {
        return QStringLiteral("the password is empty");
    }
    if (password.contains(QLatin1Char('\n')) || password.contains(QLatin1Char('\r'))) {
        return QStringLiteral("the password holds a line break");
    }
    return QString();
}

PasswordStore::KeyringFailure PasswordStore::keyringFailure(const QString &error)
{
    const auto says = [&error](const char *words) { return error.contains(QLatin1String(words), Qt::CaseInsensitive); };
    // A keyring that asked to be unlocked, or to make its first collection, and was told no:
    // the Secret Service says the collection is locked, or that the default one does not exist.
    if (says("locked") || says("dismissed") || says("cancelled") || says("canceled")
        || (says("does not exist") && says("/org/freedesktop/secrets/"))) {
        return KeyringNotUnlocked;
    }
    if (says("did not answer") || says("Timeout was reached") || says("NoReply")) {
        return KeyringNoAnswer;
    }
    if (says("ServiceUnknown") || says("not provided by any .service files") || says("Spawn.") || says("session bus")
        || says("secret-tool program is not installed")) {
        return KeyringNotRunning;
    }
    return KeyringOther;
}

bool PasswordStore::lookup(const QString &accountId, bool inFile, int timeoutMs, QString *password, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error) {
            *error = why;
        }
        return false;
    };
    if (inFile) {
        const QString file = passwordFile(accountId);
        QFile stored(file);
        if (!stored.open(QIODevice::ReadOnly)) {
            return fail(QStringLiteral("cannot read the password file %1: %2").arg(file, stored.errorString()));
        }
        *password = QString::fromUtf8(stored.read(64 * 1024));
        if (password->isEmpty()) {
            return fail(QStringLiteral("the password file %1 is empty").arg(file));
        }
        return true;
    }
    const QString program = secretTool();
    if (program.isEmpty()) {
        return fail(QStringLiteral("the secret-tool program is not installed (Debian package libsecret-tools)"));
    }
    Programs::Options options;
    options.output = Programs::Keep;
    options.errors = Programs::Keep;
    options.keepLimit = 64 * 1024;
    options.timeoutMs = timeoutMs;
    const Programs::Outcome run
        = Programs::execute(program, QStringList {QStringLiteral("lookup")} + attributes(accountId), options);
    if (run.how == Programs::Outcome::TimedOut) {
        return fail(QStringLiteral("the keyring did not answer within %1 seconds").arg(timeoutMs / 1000));
    }
    if (!run.succeeded() || run.output.isEmpty()) {
        QString problem = QString::fromLocal8Bit(run.errors).trimmed();
        problem.remove(QStringLiteral("secret-tool: "));
        return fail(problem.isEmpty() ? QStringLiteral("the keyring holds no password for %1").arg(accountId)
                                      : QStringLiteral("the keyring did not give the password: %1").arg(problem));
    }
    *password = QString::fromUtf8(run.output);
    return true;
}

void PasswordStore::store(const CalDavAccount &account, const QString &password)
{
    store(account.id, account.title(), account.passwordInFile, password);
}

void PasswordStore::store(const QString &accountId, const QString &title, bool inFile, const QString &password)
{
    const QString why = refusal(password);
    if (!why.isEmpty()) {
        QTimer::singleShot(0, this, [this, why] { finish(false, why); });
        return;
    }
    if (inFile) {
        QString error;
        const bool ok = PrivateFile::write(passwordFile(accountId), password.toUtf8(), &error);
        QTimer::singleShot(0, this, [this, ok, error] { finish(ok, error); });
        return;
    }
    runSecretTool(QStringList {QStringLiteral("store"), QStringLiteral("--label=Ruvelant: ") + title}
                      + attributes(accountId),
                  password.toUtf8());
}

void PasswordStore::remove(const CalDavAccount &account)
{
    remove(account.id, account.passwordInFile);
}

void PasswordStore::remove(const QString &accountId, bool inFile)
{
    m_fileError.clear();
    PrivateFile::remove(passwordFile(accountId), &m_fileError);
    if (inFile) {
        const QString error = m_fileError;
        QTimer::singleShot(0, this, [this, error] { finish(error.isEmpty(), error); });
        return;
    }
    runSecretTool(QStringList {QStringLiteral("clear")} + attributes(accountId), QByteArray());
}

void PasswordStore::runSecretTool(const QStringList &arguments, const QByteArray &input)
{
    const QString program = secretTool();
    if (program.isEmpty()) {
        QTimer::singleShot(0, this, [this] {
            finish(false, QStringLiteral("the secret-tool program is not installed (Debian package libsecret-tools)"));
        });
        return;
    }
    Programs::Options options;
    options.input = input;
    options.errors = Programs::Keep;
    options.timeoutMs = secretToolTimeoutMs;
    m_process = Programs::start(program, arguments, options, this, [this, program](const Programs::Outcome &run) {
        if (run.how == Programs::Outcome::NotStarted) {
            finish(false, QStringLiteral("%1 could not be started: %2").arg(program, run.error));
            return;
        }
        QString problem = QString::fromLocal8Bit(run.errors).trimmed();
        problem.remove(QStringLiteral("secret-tool: "));
        if (!run.succeeded()) {
            finish(false,
                   run.how == Programs::Outcome::TimedOut
                       ? QStringLiteral("the keyring did not answer within two minutes")
                       : problem.isEmpty() ? QStringLiteral("secret-tool failed with status %1").arg(run.status)
                                           : problem);
            return;
        }
        finish(m_fileError.isEmpty(), m_fileError);
    });
}

void PasswordStore::finish(bool ok, const QString &error)
{
    m_process = nullptr;
    Q_EMIT finished(ok, error);
}
