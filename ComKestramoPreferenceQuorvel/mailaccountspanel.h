#ifndef RUVELANT_MAILACCOUNTSPANEL_H
#define RUVELANT_MAILACCOUNTSPANEL_H

#include "mailaccount.h"
#include "mailstatus.h"

#include <QObject>
#include <QPointer>

class Bundle;
class MailAccountSetup;
class QAbstractButton;
class QLabel;
class QStandardItemModel;
class QTableView;
class QWidget;

// The mail accounts in the pane: on the Accounts tab their list (the desktop's and Ruvelant's),
// "Add Mail Account..." (the dialog) and "Remove Mail Account..."; on the Reminders tab the
// button beside the mail status that adds one when nothing sends. Found in the pane's view by
// name: mailAccountsTable, mailAccountsStatusLabel, addMailAccountButton,
// removeMailAccountButton, mailStatusAddButton. The accounts and the status (status()) are read
// beside the window (the desktop's may take a moment); refreshed() tells when they are there.
class MailAccountsPanel : public QObject
{
    Q_OBJECT
public:
    MailAccountsPanel(QWidget *view, const Bundle *bundle, QObject *parent = nullptr);

    // Reads the accounts again for the sender, then shows them and the status.
    void refresh(const QString &sender);
    void addAccount();
    void removeAccount();
    const MailStatus &status() const { return m_status; }
    QList<MailAccount> accounts() const { return m_accounts; }

Q_SIGNALS:
    // The accounts and the status were read and shown.
    void refreshed();

private:
    void show(const QList<MailAccount> &accounts, const MailRoute &route, const MailApplication::MailSystem &system);
    void updateButtons();
    QString text(const char *key) const;

    QPointer<QWidget> m_view;
    const Bundle *m_bundle;
    MailAccountSetup *m_setup;
    QStandardItemModel *m_model;
    QPointer<QTableView> m_table;
    QPointer<QLabel> m_listStatus;
    QPointer<QAbstractButton> m_statusAdd;
    QPointer<QAbstractButton> m_remove;
    QList<MailAccount> m_accounts;
    MailStatus m_status;
    QString m_sender;
    QString m_message; // what the last operation said
    int m_reading = 0; // readings on their way; only the last one's outcome is shown
};

#endif
