// ruvelant mail list: the mail accounts that can send reminders, the desktop's and Ruvelant's, and
// the way that the reminders go out now.
#include "commandline.h"
#include "mailcommands.h"
#include "mailroute.h"

int mailListCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("mail list"),
                        QStringLiteral("Lists the mail accounts that can send reminders, one a line: the desktop's "
                                       "(Evolution, GNOME Online Accounts; changed there) and those added in Ruvelant, "
                                       "with their server and where their password is kept. The last line says which "
                                       "one sends the reminders for the sender chosen in the settings (senderEmail)."));
    if (const int status = line.parse(arguments, 0, 0); status >= 0) {
        return status;
    }
    QStringList notes;
    const QList<MailAccount> accounts = MailCommands::accounts(&notes);
    for (const QString &note : qAsConst(notes)) {
        Output::note(QStringLiteral("ruvelant: ") + note);
    }
    for (const MailAccount &account : accounts) {
        QString where;
        if (account.origin == MailAccount::Desktop) {
            where = account.isDefault ? QStringLiteral("the desktop's default account")
                                      : QStringLiteral("an account of the desktop");
        } else {
            where = account.login == MailAccount::NoLogin ? QStringLiteral("Ruvelant, no login")
                : account.passwordInFile                  ? QStringLiteral("Ruvelant, password in a private file")
                                                          : QStringLiteral("Ruvelant, password in the keyring");
        }
        Output::line(QStringLiteral("%1\t%2 (%3)").arg(account.address, MailCommands::describe(account), where));
    }
    const QString sender = MailCommands::sender();
    const MailRoute route = MailRoute::current(sender);
    switch (route.kind) {
    case MailRoute::Account:
        Output::line(QStringLiteral("Reminders are sent from %1.").arg(route.account.address));
        break;
    case MailRoute::Sendmail:
        Output::line(route.unmatchedSender.isEmpty()
                         ? QStringLiteral("Reminders are handed to %1 (no mail account).").arg(route.sendmail)
                         : QStringLiteral("No mail account sends from %1: reminders are handed to %2.")
                               .arg(route.unmatchedSender, route.sendmail));
        break;
    case MailRoute::None:
        Output::line(route.unmatchedSender.isEmpty()
                         ? QStringLiteral("No mail account and no sendmail program: reminders cannot go out (ruvelant "
                                          "mail add ADDRESS ...).")
                         : QStringLiteral("No mail account sends from %1, and there is no sendmail program: its "
                                          "reminders cannot go out.")
                               .arg(route.unmatchedSender));
        return ExitStatus::Failure;
    }
    return ExitStatus::Success;
}
