// ruvelant mail add ADDRESS: a mail account of Ruvelant's own, its password read from standard
// input and kept as the pane keeps it (the keyring, or where none answers a file only the user
// can read), after a login with it worked.
#include "accountmail.h"
#include "commandline.h"
#include "mailaccountsetup.h"
#include "mailaccountstore.h"
#include "mailcommands.h"
#include "mailproviders.h"
#include "passwordstore.h"
#include "secretservice.h"
#include "smtpsubmission.h"

#include <QEventLoop>
#include <QFile>

#include <termios.h>
#include <unistd.h>

namespace {
constexpr std::chrono::seconds loginLimit(60);

// The password: from a terminal asked for without echo, else the whole of standard input without
// its last line end. Never from the command line, where other users' programs can read it.
QString readPassword(const QString &address)
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly)) {
        return QString();
    }
    if (::isatty(STDIN_FILENO)) {
        Output::note(QStringLiteral("Password for %1: ").arg(address).trimmed());
        termios saved {};
        const bool quiet = ::tcgetattr(STDIN_FILENO, &saved) == 0;
        if (quiet) {
            termios silent = saved;
            silent.c_lflag &= ~tcflag_t(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
        }
        const QByteArray line = input.readLine(64 * 1024);
        if (quiet) {
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        }
        return QString::fromUtf8(line).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    }
    QByteArray all = input.read(64 * 1024);
    if (all.endsWith('\n')) {
        all.chop(1);
    }
    if (all.endsWith('\r')) {
        all.chop(1);
    }
    return QString::fromUtf8(all);
}

// Adds the account with setup, waiting for the end; false with *error. *refused: the keyring
// did not take the password.
bool addAccount(const MailAccount &account, const QString &password, QString *error, bool *refused)
{
    MailAccountSetup setup;
    QEventLoop loop;
    bool ok = false;
    *refused = false;
    QObject::connect(&setup, &MailAccountSetup::keyringRefused, &loop, [refused] { *refused = true; });
    QObject::connect(&setup, &MailAccountSetup::finished, &loop, [&](bool done, const QString &why) {
        ok = done;
        *error = why;
        loop.quit();
    });
    setup.add(account, password);
    loop.exec();
    return ok;
}
} // namespace

int mailAddCommand(const QStringList &arguments)
{
    SubcommandLine line(
        QStringLiteral("mail add ADDRESS [--server HOST[:PORT]] [--security tls|starttls|none] [--user NAME]"),
        QStringLiteral("Adds the mail account of ADDRESS, through which Ruvelant sends reminders from that address "
                       "(and, when no sender is chosen and the desktop has no mail account, all of them). The "
                       "password is read from standard input, never from the command line: typed without echo at a "
                       "terminal, or the first line of what is piped in (\"secret-tool lookup ... | ruvelant mail "
                       "add ...\"). Many providers want an app password, made in the account's security settings.\n\n"
                       "For the big providers (Gmail, Outlook.com, Yahoo, iCloud, Fastmail, GMX, WEB.DE, Posteo, "
                       "mailbox.org...) the server and security are known from the address. Before anything is kept, "
                       "Ruvelant logs in with the password. The password goes into the desktop's keyring (Secret "
                       "Service); where none answers, into a file that only you can read, which this says. An account "
                       "of the same address is replaced.\n\n"
                       "Exit status: 0 when the account was added; 1 when the login failed or nothing could be kept; "
                       "2 for wrong options."));
    line.parser().addPositionalArgument(QStringLiteral("ADDRESS"), QStringLiteral("The sending address."));
    const QCommandLineOption server(QStringLiteral("server"),
                                    QStringLiteral("The SMTP submission server, with its port when not the usual one."),
                                    QStringLiteral("HOST[:PORT]"));
    const QCommandLineOption security(QStringLiteral("security"),
                                      QStringLiteral("tls (usually port 465), starttls (587), or none (only for a "
                                                     "server on this computer, 127.0.0.1)."),
                                      QStringLiteral("tls|starttls|none"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("The user name (default: the address)."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption noCheck(QStringLiteral("no-check"),
                                     QStringLiteral("Keeps the account without logging in first (when offline)."));
    line.parser().addOptions({server, security, user, noCheck});
    if (const int status = line.parse(arguments, 1, 1); status >= 0) {
        return status;
    }
    QCommandLineParser &options = line.parser();
    MailAccount account;
    account.address = options.positionalArguments().first().trimmed();
    MailProviders::Provider provider;
    const bool known = MailProviders::forAddress(account.address, &provider);
    if (options.isSet(server)) {
        if (!parseMailServer(options.value(server), &account.host, &account.port)) {
            return Output::fail(
                QStringLiteral("\"%1\" is not a server name with an optional port").arg(options.value(server)),
                ExitStatus::Usage);
        }
    } else if (known) {
        account.host = provider.host;
        account.port = provider.port;
    } else {
        return Output::fail(
            QStringLiteral("say which server takes the mail of %1: --server HOST[:PORT]").arg(account.address),
            ExitStatus::Usage);
    }
    if (options.isSet(security)) {
        if (!mailSecurityFromName(options.value(security), &account.security)) {
            return Output::fail(
                QStringLiteral("--security is tls, starttls or none, not \"%1\"").arg(options.value(security)),
                ExitStatus::Usage);
        }
    } else if (known && provider.host == account.host) {
        account.security = provider.security;
    } else {
        account.security = account.port == 465 ? MailSecurity::Tls : MailSecurity::StartTls;
    }
    if (account.port == 0) {
        account.port = defaultMailPort(account.security);
    }
    account.userName = options.isSet(user) ? options.value(user) : account.address;
    const QString problem = account.problem();
    if (!problem.isEmpty()) {
        return Output::fail(problem, ExitStatus::Usage);
    }

    const QString password = readPassword(account.address);
    const QString refusal = PasswordStore::refusal(password);
    if (!refusal.isEmpty()) {
        return Output::fail(QStringLiteral("%1: give it on standard input").arg(refusal));
    }
    if (!options.isSet(noCheck)) {
        const SmtpFailure failure
            = SmtpSubmission::checkLogin(AccountMail::serverWithPassword(account, password), loginLimit);
        if (failure) {
            Output::note(QStringLiteral("ruvelant: %1").arg(failure.reason()));
            return Output::fail(QStringLiteral("the account was not added: the login did not work (nothing was kept)"));
        }
    }

    QString why;
    account.passwordInFile = !SecretService::isAvailable(&why);
    QString error;
    bool refused = false;
    bool added = addAccount(account, password, &error, &refused);
    if (!added && refused) {
        // A keyring that is there but does not take it (locked, no way to ask): the file then.
        why = error;
        account.passwordInFile = true;
        added = addAccount(account, password, &error, &refused);
    }
    if (!added) {
        return Output::fail(QStringLiteral("the account was not added: %1").arg(error));
    }
    if (account.passwordInFile) {
        QList<MailAccount> stored;
        MailAccountStore::load(&stored, nullptr);
        const MailAccount *kept = MailAccountStore::find(stored, account.address);
        Output::note(QStringLiteral("ruvelant: no keyring took the password (%1); it is kept in %2, which only you "
                                    "can read")
                         .arg(why, PasswordStore::passwordFile(kept ? kept->id : QStringLiteral("…"))));
    }
    Output::line(QStringLiteral("Added %1: %2").arg(account.address, MailCommands::describe(account)));
    return ExitStatus::Success;
}
