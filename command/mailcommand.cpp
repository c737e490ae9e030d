// ruvelant mail add|list|remove|test: the mail accounts that send the reminders, as the pane's
// Accounts tab shows and adds them.
#include "ComKestramoPreferencesUtils.h"
#include "commandline.h"
#include "mailaccountstore.h"
#include "mailcommands.h"
#include "mailroute.h"
#include "subcommands.h"

#include <cstdio>

namespace {
struct MailSubcommand
{
    const char *name;
    int (*run)(const QStringList &arguments);
    const char *summary;
};

const MailSubcommand mailSubcommands[] = {
    {"add", mailAddCommand, "adds (or changes) a mail account; the password is read from standard input"},
    {"list", mailListCommand, "the mail accounts that can send, and the one that sends the reminders"},
    {"remove", mailRemoveCommand, "removes a mail account added in Ruvelant, and its password"},
    {"test", mailTestCommand, "sends a test message through an account"},
};

QString overview()
{
    QString text = QStringLiteral(
        "Usage: ruvelant mail SUBCOMMAND [options] [arguments]\n\n"
        "Reminders go out from your own mail account: the account of the desktop (Evolution, GNOME Online\n"
        "Accounts) or one added in Ruvelant whose address is the sender; with no sender chosen, the desktop's\n"
        "default account, else the first added in Ruvelant. Without any account, the sendmail program takes them.\n\n"
        "Subcommands:\n");
    for (const MailSubcommand &subcommand : mailSubcommands) {
        text += QStringLiteral("  %1%2\n")
                    .arg(QLatin1String(subcommand.name), -8)
                    .arg(QLatin1String(subcommand.summary));
    }
    return text + QStringLiteral("\n\"ruvelant mail SUBCOMMAND --help\" tells more of each.\n");
}
} // namespace

int mailCommand(const QStringList &arguments)
{
    const QString first = arguments.value(0);
    if (first.isEmpty() || first == QLatin1String("--help") || first == QLatin1String("-h")) {
        std::fputs(overview().toUtf8().constData(), first.isEmpty() ? stderr : stdout);
        return first.isEmpty() ? ExitStatus::Usage : ExitStatus::Success;
    }
    for (const MailSubcommand &subcommand : mailSubcommands) {
        if (first == QLatin1String(subcommand.name)) {
            return subcommand.run(arguments.mid(1));
        }
    }
    return Output::fail(QStringLiteral("there is no subcommand \"mail %1\" (see ruvelant mail --help)").arg(first),
                        ExitStatus::Usage);
}

QString MailCommands::sender()
{
    return senderAddress(ComKestramoPreferencesUtils::sharedPreferences()
                             ->valueFromPreferencesWithKey(QStringLiteral("senderEmail"), QString())
                             .toString());
}

QList<MailAccount> MailCommands::accounts(QStringList *notes)
{
    QList<MailAccount> accounts = MailRoute::desktopAccounts(std::chrono::seconds(3), notes);
    QList<MailAccount> own;
    QString error;
    if (!MailAccountStore::load(&own, &error)) {
        notes->append(error);
    }
    return accounts + own;
}

bool MailCommands::findAccount(const QString &address, MailAccount *account)
{
    QStringList notes;
    const QList<MailAccount> all = accounts(&notes);
    for (const QString &note : qAsConst(notes)) {
        Output::note(QStringLiteral("ruvelant: ") + note);
    }
    if (const MailAccount *found = MailAccountStore::find(all, address)) {
        *account = *found;
        return true;
    }
    Output::fail(QStringLiteral("no mail account sends from %1 (see ruvelant mail list)").arg(address));
    return false;
}

QString MailCommands::describe(const MailAccount &account)
{
    QString text = account.serverText();
    switch (account.security) {
    case MailSecurity::Tls:
        text += QStringLiteral(", TLS");
        break;
    case MailSecurity::StartTls:
        text += QStringLiteral(", STARTTLS");
        break;
    case MailSecurity::None:
        text += QStringLiteral(", no TLS");
        break;
    }
    if (account.login == MailAccount::OAuth2) {
        text += QStringLiteral(", OAuth2 through Online Accounts (%1)").arg(account.userName);
    } else if (account.login == MailAccount::Password) {
        text += QStringLiteral(", user %1").arg(account.userName);
    }
    return text;
}
