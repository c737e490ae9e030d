#include "accountspanel.h"

#include "accountlistmodel.h"
#include "accountsetup.h"
#include "addaccountdialog.h"
#include "application.h"
#include "bundle.h"
#include "helpbook.h"

#include <QAbstractButton>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>

AccountsPanel::AccountsPanel(QWidget *view, const Bundle *bundle, const QString &syncProgram, QObject *parent)
    : QObject(parent)
    , m_view(view)
    , m_bundle(bundle)
    , m_setup(new AccountSetup(syncProgram, this))
    , m_model(new AccountListModel(this))
{
    m_model->setObjectName(QStringLiteral("accountList"));
    QHash<QString, QString> texts;
    for (const char *key : {"AccountsColumnAccount", "AccountsColumnCalendars", "AccountsColumnTime",
                            "AccountsColumnOutcome", "SyncNever", "SyncRunning", "SyncSucceeded"}) {
        texts.insert(QLatin1String(key), text(key));
    }
    for (int i = 0; i <= int(CalDavFailure::Other); ++i) {
        const QString key = QStringLiteral("CalDavFailure") + calDavFailureName(CalDavFailure(i));
        texts.insert(key, bundle->localizedStringForKey(key, QString()));
    }
    m_model->setTexts(texts);

    m_table = view->findChild<QTableView *>(QStringLiteral("accountsTable"));
    m_status = view->findChild<QLabel *>(QStringLiteral("accountsStatusLabel"));
    for (const char *name : {"addAccountButton", "accountsAddButton"}) {
        if (auto *add = view->findChild<QAbstractButton *>(QLatin1String(name))) {
            m_adds.append(add);
            connect(add, &QAbstractButton::clicked, this, &AccountsPanel::addAccount);
        }
    }
    m_sync = view->findChild<QAbstractButton *>(QStringLiteral("syncNowButton"));
    m_remove = view->findChild<QAbstractButton *>(QStringLiteral("removeAccountButton"));
    if (m_table) {
        m_table->setModel(m_model);
        m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
        m_table->setSelectionMode(QAbstractItemView::SingleSelection);
        m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_table->setTabKeyNavigation(false);
        QHeaderView *header = m_table->horizontalHeader();
        header->setSectionResizeMode(QHeaderView::ResizeToContents);
        header->setSectionResizeMode(AccountListModel::OutcomeColumn, QHeaderView::Stretch);
        connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
            m_message.clear();
            update();
        });
    }
    if (m_sync) {
        connect(m_sync, &QAbstractButton::clicked, this, &AccountsPanel::syncNow);
    }
    if (m_remove) {
        connect(m_remove, &QAbstractButton::clicked, this, &AccountsPanel::removeAccount);
    }
    if (auto *help = view->findChild<QLabel *>(QStringLiteral("accountsHelpLabel"))) {
        help->setText(
            QStringLiteral("<a href=\"calendars.html\">%1</a>").arg(text("CalendarsHelpLink").toHtmlEscaped()));
        help->setTextInteractionFlags(Qt::TextBrowserInteraction);
        help->setFocusPolicy(Qt::StrongFocus);
        connect(help, &QLabel::linkActivated, this, [bundle](const QString &page) {
            HelpBook::gotoPage(bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookName")).toString(),
                               page);
        });
    }
    // Each control's tooltip, also its description for screen readers.
    const struct
    {
        const char *widget;
        const char *key;
    } tooltips[] = {{"addAccountButton", "tooltipAddAccount"},
                    {"accountsAddButton", "tooltipAddAccount"},
                    {"syncNowButton", "tooltipSyncNow"},
                    {"removeAccountButton", "tooltipRemoveAccount"},
                    {"accountsTable", "tooltipAccountsTable"}};
    for (const auto &tooltip : tooltips) {
        Application::setTooltip(view->findChild<QWidget *>(QLatin1String(tooltip.widget)), text(tooltip.key));
    }
    connect(m_model, &QAbstractItemModel::modelReset, this, &AccountsPanel::update);
    connect(m_setup, &AccountSetup::finished, this, [this] { update(); });
    update();
}

QString AccountsPanel::text(const char *key) const
{
    return m_bundle->localizedStringForKey(QLatin1String(key), QString());
}

void AccountsPanel::addAccount()
{
    AddAccountDialog dialog(m_bundle, m_setup, m_view ? m_view->window() : nullptr);
    dialog.setObjectName(QStringLiteral("addAccountDialog"));
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    m_model->reload();
    m_message
        = dialog.warning().isEmpty() ? text("AccountAdded") : text("AccountAddedWithWarning").arg(dialog.warning());
    if (m_table && m_model->rowCount() > 0) {
        const QSignalBlocker blocker(m_table->selectionModel());
        m_table->selectRow(m_model->rowCount() - 1);
    }
    update();
}

void AccountsPanel::syncNow()
{
    m_message = m_setup->syncNow() ? QString() : text("SyncCannotStart");
    update();
}

void AccountsPanel::removeAccount()
{
    const QModelIndexList chosen = m_table ? m_table->selectionModel()->selectedRows() : QModelIndexList();
    if (chosen.isEmpty() || m_setup->isBusy()) {
        return;
    }
    const CalDavAccount account = m_model->accounts().value(chosen.first().row());
    QMessageBox question(
        QMessageBox::Question, text("AccountRemoveTitle").arg(account.title()),
        text("AccountRemoveQuestion").arg(account.title(), QDir::toNativeSeparators(CalDavAccounts::calendarsFolder())),
        QMessageBox::NoButton, m_view ? m_view->window() : nullptr);
    question.setObjectName(QStringLiteral("removeAccountQuestion"));
    QPushButton *withFolders = question.addButton(text("AccountRemoveWithFolders"), QMessageBox::DestructiveRole);
    QPushButton *keepFolders = question.addButton(text("AccountRemoveKeepFolders"), QMessageBox::AcceptRole);
    question.addButton(QMessageBox::Cancel);
    question.setDefaultButton(QMessageBox::Cancel);
    question.exec();
    if (question.clickedButton() != withFolders && question.clickedButton() != keepFolders) {
        return;
    }
    QObject *context = new QObject(this);
    connect(m_setup, &AccountSetup::finished, context, [this, context, account](bool ok, const QString &warning) {
        delete context;
        m_model->reload();
        m_message = !ok         ? text("AccountNotRemoved").arg(warning)
            : warning.isEmpty() ? text("AccountRemoved").arg(account.title())
                                : text("AccountRemovedWithWarning").arg(account.title(), warning);
        update();
    });
    m_setup->remove(account.id, question.clickedButton() == withFolders);
    update();
}

void AccountsPanel::update()
{
    const QModelIndexList chosen = m_table ? m_table->selectionModel()->selectedRows() : QModelIndexList();
    const bool busy = m_setup->isBusy();
    for (QAbstractButton *add : qAsConst(m_adds)) {
        if (add) {
            add->setEnabled(!busy);
        }
    }
    if (m_sync) {
        m_sync->setEnabled(!busy && m_model->rowCount() > 0 && !m_model->isSyncing());
    }
    if (m_remove) {
        m_remove->setEnabled(!busy && !chosen.isEmpty());
    }
    if (!m_model->errorString().isEmpty()) {
        showStatus(text("AccountsUnreadable").arg(m_model->errorString()));
    } else if (!m_message.isEmpty()) {
        showStatus(m_message);
    } else if (!chosen.isEmpty()) {
        showStatus(m_model->outcomeText(chosen.first().row(), true));
    } else {
        showStatus(text(m_model->rowCount() == 0 ? "AccountsNone" : "AccountsChoose"));
    }
}

void AccountsPanel::showStatus(const QString &message)
{
    if (m_status) {
        m_status->setText(message);
    }
}
