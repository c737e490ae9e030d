// ruvelant mail test ADDRESS RECIPIENT: a test message through the account, the way reminders go.
#include "accountmail.h"
#include "bundle.h"
#include "commandline.h"
#include "installedpane.h"
#include "mailcommands.h"
#include "sentreminders.h"

int mailTestCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("mail test ADDRESS RECIPIENT"),
                        QStringLiteral("Sends a short test message from the mail account of ADDRESS to RECIPIENT, "
                                       "built and sent as the agent sends its reminders: its password from the "
                                       "keyring (or its token from Online Accounts), its server, the same checks. "
                                       "Says what went wrong in plain words when it did not go out.\n\n"
                                       "Exit status: 0 when the server took the message; 1 when it did not."));
    line.parser().addPositionalArgument(QStringLiteral("ADDRESS"), QStringLiteral("The account's address."));
    line.parser().addPositionalArgument(QStringLiteral("RECIPIENT"), QStringLiteral("Where the test goes."));
    if (const int status = line.parse(arguments, 2, 2); status >= 0) {
        return status;
    }
    const QString recipient = line.parser().positionalArguments().at(1).trimmed();
    MailAccount account;
    if (!MailCommands::findAccount(line.parser().positionalArguments().first().trimmed(), &account)) {
        return ExitStatus::Failure;
    }
    SmtpServer server;
    SmtpFailure failure;
    if (AccountMail::server(account, &server, &failure)) {
        failure = AccountMail::sendMessage(account, server, recipient, QStringLiteral("Ruvelant test message"),
                                           QStringLiteral("This message was sent by Ruvelant from %1 through %2 to "
                                                          "check that reminders can go out from this account.")
                                               .arg(account.address, account.serverText()),
                                           std::chrono::seconds(60));
    }
    if (!failure) {
        Output::line(QStringLiteral("%1 took the test message from %2 to %3.")
                         .arg(account.serverText(), account.address, recipient));
        return ExitStatus::Success;
    }
    // In the pane's words when it is there, the log's otherwise.
    InstalledPane pane;
    QString why;
    if (pane.find(&why)) {
        pane.actAsAgent();
        HandOverFailure words;
        words.cause = HandOverFailure::Account;
        words.smtp = failure;
        Output::note(QStringLiteral("ruvelant: ") + words.plainWords(pane.texts()));
    }
    return Output::fail(failure.reason());
}
