// ruvelant mail remove ADDRESS: takes away a mail account added in Ruvelant, and its password.
#include "commandline.h"
#include "mailaccountsetup.h"
#include "mailcommands.h"

#include <QEventLoop>

int mailRemoveCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("mail remove ADDRESS"),
                        QStringLiteral("Removes the mail account of ADDRESS that was added in Ruvelant, and its "
                                       "password from the keyring or its file. The desktop's accounts are changed in "
                                       "the desktop's own settings (Evolution, Online Accounts)."));
    line.parser().addPositionalArgument(QStringLiteral("ADDRESS"), QStringLiteral("The account's address."));
    if (const int status = line.parse(arguments, 1, 1); status >= 0) {
        return status;
    }
    const QString address = line.parser().positionalArguments().first().trimmed();
    MailAccount account;
    if (!MailCommands::findAccount(address, &account)) {
        return ExitStatus::Failure;
    }
    if (account.origin == MailAccount::Desktop) {
        return Output::fail(QStringLiteral("%1 is an account of the desktop: remove it in Evolution or in the "
                                           "Online Accounts settings")
                                .arg(address));
    }
    MailAccountSetup setup;
    QEventLoop loop;
    bool ok = false;
    QString error;
    QObject::connect(&setup, &MailAccountSetup::finished, &loop, [&](bool done, const QString &why) {
        ok = done;
        error = why;
        loop.quit();
    });
    setup.remove(account.address);
    loop.exec();
    if (!ok) {
        return Output::fail(QStringLiteral("the account was not removed: %1").arg(error));
    }
    if (!error.isEmpty()) {
        Output::note(QStringLiteral("ruvelant: %1").arg(error));
    }
    Output::line(QStringLiteral("Removed %1.").arg(account.address));
    return ExitStatus::Success;
}
