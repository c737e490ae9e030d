#ifndef RUVELANT_ACCOUNTSPANEL_H
#define RUVELANT_ACCOUNTSPANEL_H

#include <QObject>
#include <QPointer>

class AccountListModel;
class AccountSetup;
class Bundle;
class QAbstractButton;
class QLabel;
class QTableView;
class QWidget;

// The pane's CalDAV accounts: the list with each account's last sync, and the buttons "Add
// Account..." (the dialog), "Sync Now" and "Remove Account" (asking whether the calendar folders
// go too). Found in the pane's view by name: accountsTable, accountsStatusLabel,
// accountsHelpLabel, addAccountButton (beside the calendars) and accountsAddButton, syncNowButton,
// removeAccountButton.
class AccountsPanel : public QObject
{
    Q_OBJECT
public:
    // syncProgram: the sync program in the pane's resources.
    AccountsPanel(QWidget *view, const Bundle *bundle, const QString &syncProgram, QObject *parent = nullptr);

    AccountListModel *model() const { return m_model; }

    void addAccount();
    void syncNow();
    void removeAccount();

private:
    void update();
    void showStatus(const QString &text);
    QString text(const char *key) const;

    QPointer<QWidget> m_view;
    const Bundle *m_bundle;
    AccountSetup *m_setup;
    AccountListModel *m_model;
    QPointer<QTableView> m_table;
    QPointer<QLabel> m_status;
    QList<QPointer<QAbstractButton>> m_adds;
    QPointer<QAbstractButton> m_sync;
    QPointer<QAbstractButton> m_remove;
    QString m_message; // what the last operation said; shown until the choice changes
};

#endif
