#ifndef RUVELANT_ADDMAILACCOUNTDIALOG_H
#define RUVELANT_ADDMAILACCOUNTDIALOG_H

#include "mailaccount.h"
#include "smtpfailure.h"

#include <QDialog>

#include <functional>
#include <memory>

class Bundle;
class MailAccountSetup;
namespace Ui {
class AddMailAccountDialog;
}

// "Add Mail Account...": the address, SMTP server (filled in for the big providers), port,
// security, user name and password of a mail account. "Send Test Message" sends a message to the
// address itself the way reminders go; "Add Account" logs in first and keeps the account (its
// password in the keyring, or where none runs and the user agrees, a private file) only when
// that worked. The usual failures are said in plain words; the network work runs beside the window.
class AddMailAccountDialog : public QDialog
{
    Q_OBJECT
public:
    AddMailAccountDialog(const Bundle *bundle, MailAccountSetup *setup, QWidget *parent = nullptr);
    ~AddMailAccountDialog() override;

    // The account as the fields describe it.
    MailAccount account() const;

private:
    // Fills in the server of a known provider, unless the user changed the server.
    void addressEdited();
    void securityChosen();
    void sendTest();
    void add();
    void added(bool ok, const QString &error);
    // Runs work beside the window; done gets its failure in the window's thread.
    void runBeside(const QString &message, std::function<SmtpFailure()> work, std::function<void(SmtpFailure)> done);
    // Why the fields cannot be used yet; empty when they can.
    QString fieldsProblem() const;
    void offerPasswordFile(const QString &text, const QString &detail);
    void setWorking(bool working);
    void updateButtons();
    void showFailure(SmtpFailure failure);
    void showStatus(const QString &text, const QString &detail = QString(), bool helpLink = false);
    QString text(const char *key) const;

    std::unique_ptr<Ui::AddMailAccountDialog> m_ui;
    const Bundle *m_bundle;
    MailAccountSetup *m_setup;
    bool m_secretService = false;
    bool m_working = false;
    bool m_adding = false;
    bool m_serverTouched = false; // the user changed the server, port or security
    bool m_userTouched = false;
};

#endif
