#ifndef RUVELANT_ADDACCOUNTDIALOG_H
#define RUVELANT_ADDACCOUNTDIALOG_H

#include "caldavdiscovery.h"

#include <QDialog>

#include <memory>

class AccountSetup;
class Bundle;
namespace Ui {
class AddAccountDialog;
}

// "Add Account...": the server address, user name and password of a CalDAV account; finds the
// account's calendars, shows them, and adds the account through the account setup (which writes
// nothing unless the account is added). Says plainly why calendars could not be found, and
// where no keyring runs, offers to keep the password in a file only the user can read.
class AddAccountDialog : public QDialog
{
    Q_OBJECT
public:
    // bundle: the pane's, for the texts and the help; setup: does the adding.
    AddAccountDialog(const Bundle *bundle, AccountSetup *setup, QWidget *parent = nullptr);
    ~AddAccountDialog() override;

    // What did not work besides, once the account was added (empty when all went well).
    QString warning() const { return m_warning; }

private:
    void find();
    void found(const CalDavDiscovery::Result &result);
    // The server sends on to another (https) origin: asks whether to go on there.
    void askToFollow(const CalDavDiscovery::Result &result);
    void add();
    void added(bool ok, const QString &warning);
    // The fields changed after the calendars were found: they must be found again.
    void forget();
    // Says why the password cannot go to a keyring (text: %1 the file, %2 the keyring's words) and
    // offers the file instead.
    void offerPasswordFile(const QString &text, const QString &detail);
    void setWorking(bool working);
    void updateButtons();
    void showStatus(const QString &text, const QString &detail = QString(), const QString &helpPage = QString());
    QString text(const char *key) const;

    std::unique_ptr<Ui::AddAccountDialog> m_ui;
    const Bundle *m_bundle;
    AccountSetup *m_setup;
    CalDavDiscovery m_discovery;
    CalDavDiscovery::Result m_found;
    bool m_secretService = false;
    bool m_working = false; // finding calendars or adding the account
    bool m_adding = false;
    QString m_warning;
};

#endif
