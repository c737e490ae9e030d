#include "mailaccountspanel.h"

#include "addmailaccountdialog.h"
#include "application.h"
#include "bundle.h"
#include "mailaccountsetup.h"
#include "mailaccountstore.h"
#include "mailroute.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QThread>

namespace {
// What a reading beside the window found.
struct Reading
{
    QList<MailAccount> accounts;
    MailRoute route;
    MailApplication::MailSystem system;
};

Reading read(const QString &sender)
{
    Reading reading;
    QList<MailAccount> own;
    MailAccountStore::load(&own, nullptr);
    reading.accounts = MailRoute::desktopAccounts() + own;
    QList<MailAccount> desktop;
    for (const MailAccount &account : qAsConst(reading.accounts)) {
        if (account.origin == MailAccount::Desktop) {
            desktop.append(account);
        }
    }
    reading.system = MailApplication::mailSystem();
    reading.route = MailRoute::choose(sender, desktop, own, reading.system.sendmail);
    return reading;
}
} // namespace

MailAccountsPanel::MailAccountsPanel(QWidget *view, const Bundle *bundle, QObject *parent)
    : QObject(parent)
    , m_view(view)
    , m_bundle(bundle)
    , m_setup(new MailAccountSetup(this))
    , m_model(new QStandardItemModel(this))
{
    m_model->setObjectName(QStringLiteral("mailAccountList"));
    m_model->setHorizontalHeaderLabels(
        {text("MailAccountsColumnAddress"), text("MailAccountsColumnServer"), text("MailAccountsColumnKind")});
    m_table = view->findChild<QTableView *>(QStringLiteral("mailAccountsTable"));
    m_listStatus = view->findChild<QLabel *>(QStringLiteral("mailAccountsStatusLabel"));
    m_statusAdd = view->findChild<QAbstractButton *>(QStringLiteral("mailStatusAddButton"));
    m_remove = view->findChild<QAbstractButton *>(QStringLiteral("removeMailAccountButton"));
    if (m_table) {
        m_table->setModel(m_model);
        m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
        m_table->setSelectionMode(QAbstractItemView::SingleSelection);
        m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_table->setTabKeyNavigation(false);
        m_table->horizontalHeader()->setStretchLastSection(true);
        connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                &MailAccountsPanel::updateButtons);
    }
    for (const char *name : {"addMailAccountButton", "mailStatusAddButton"}) {
        if (auto *add = view->findChild<QAbstractButton *>(QLatin1String(name))) {
            connect(add, &QAbstractButton::clicked, this, &MailAccountsPanel::addAccount);
        }
    }
    if (m_remove) {
        connect(m_remove, &QAbstractButton::clicked, this, &MailAccountsPanel::removeAccount);
    }
    if (m_statusAdd) {
        m_statusAdd->hide(); // until a reading says that nothing sends
    }
    const struct
    {
        const char *widget;
        const char *key;
    } tooltips[] = {{"addMailAccountButton", "tooltipAddMailAccount"},
                    {"mailStatusAddButton", "tooltipAddMailAccount"},
                    {"removeMailAccountButton", "tooltipRemoveMailAccount"},
                    {"mailAccountsTable", "tooltipMailAccountsTable"}};
    for (const auto &tooltip : tooltips) {
        Application::setTooltip(view->findChild<QWidget *>(QLatin1String(tooltip.widget)), text(tooltip.key));
    }
    connect(m_setup, &MailAccountSetup::finished, this, [this] { updateButtons(); });
    updateButtons();
}

QString MailAccountsPanel::text(const char *key) const
{
    return m_bundle->localizedStringForKey(QLatin1String(key), QString());
}

void MailAccountsPanel::refresh(const QString &sender)
{
    m_sender = sender;
    const int reading = ++m_reading;
    QPointer<MailAccountsPanel> panel(this);
    QThread *thread = QThread::create([panel, sender, reading] {
        const Reading found = read(sender);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [panel, found, reading] {
                if (panel && panel->m_reading == reading) {
                    panel->show(found.accounts, found.route, found.system);
                }
            },
            Qt::QueuedConnection);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void MailAccountsPanel::show(const QList<MailAccount> &accounts, const MailRoute &route,
                             const MailApplication::MailSystem &system)
{
    m_accounts = accounts;
    m_status = MailStatus::of(route, system, *m_bundle);
    m_model->removeRows(0, m_model->rowCount());
    for (const MailAccount &account : accounts) {
        const char *kind = account.origin == MailAccount::Desktop ? "MailAccountKindDesktop"
            : account.passwordInFile                              ? "MailAccountKindFile"
                                                                  : "MailAccountKindKeyring";
        QList<QStandardItem *> row {new QStandardItem(account.address), new QStandardItem(account.serverText()),
                                    new QStandardItem(text(kind))};
        if (route.kind == MailRoute::Account && route.account.origin == account.origin
            && route.account.id == account.id) {
            row.first()->setText(text("MailAccountSends").arg(account.address));
        }
        m_model->appendRow(row);
    }
    // The address and the server whole; what keeps the account takes the rest.
    if (m_table) {
        m_table->resizeColumnToContents(0);
        m_table->resizeColumnToContents(1);
    }
    if (m_statusAdd) {
        m_statusAdd->setVisible(m_status.offerAccount);
    }
    updateButtons();
    Q_EMIT refreshed();
}

void MailAccountsPanel::addAccount()
{
    AddMailAccountDialog dialog(m_bundle, m_setup, m_view ? m_view->window() : nullptr);
    dialog.setObjectName(QStringLiteral("addMailAccountDialog"));
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    m_message = text("MailAccountAdded").arg(dialog.account().address);
    refresh(m_sender);
}

void MailAccountsPanel::removeAccount()
{
    const QModelIndexList chosen = m_table ? m_table->selectionModel()->selectedRows() : QModelIndexList();
    if (chosen.isEmpty() || m_setup->isBusy()) {
        return;
    }
    const MailAccount account = m_accounts.value(chosen.first().row());
    if (account.origin != MailAccount::Ruvelant) {
        return;
    }
    QMessageBox question(QMessageBox::Question, text("MailAccountRemoveTitle").arg(account.address),
                         text("MailAccountRemoveQuestion").arg(account.address), QMessageBox::NoButton,
                         m_view ? m_view->window() : nullptr);
    question.setObjectName(QStringLiteral("removeMailAccountQuestion"));
    QPushButton *remove = question.addButton(text("MailAccountRemoveButton"), QMessageBox::DestructiveRole);
    question.addButton(QMessageBox::Cancel);
    question.setDefaultButton(QMessageBox::Cancel);
    question.exec();
    if (question.clickedButton() != remove) {
        return;
    }
    QObject *context = new QObject(this);
    connect(m_setup, &MailAccountSetup::finished, context, [this, context, account](bool ok, const QString &error) {
        delete context;
        m_message = !ok       ? text("MailAccountNotRemoved").arg(error)
            : error.isEmpty() ? text("MailAccountRemoved").arg(account.address)
                              : text("MailAccountRemovedWithWarning").arg(account.address, error);
        refresh(m_sender);
    });
    m_setup->remove(account.address);
    updateButtons();
}

void MailAccountsPanel::updateButtons()
{
    const QModelIndexList chosen = m_table ? m_table->selectionModel()->selectedRows() : QModelIndexList();
    const bool removable = !chosen.isEmpty() && m_accounts.value(chosen.first().row()).origin == MailAccount::Ruvelant;
    if (m_remove) {
        m_remove->setEnabled(!m_setup->isBusy() && removable);
    }
    if (m_listStatus) {
        QString line = m_status.text;
        if (!chosen.isEmpty() && !removable) {
            line = text("MailAccountOfDesktop");
        } else if (!m_message.isEmpty()) {
            line = m_message + QLatin1Char(' ') + m_status.text;
        } else if (m_accounts.isEmpty()) {
            line = text("MailAccountsNone");
        }
        m_listStatus->setText(line);
    }
}
