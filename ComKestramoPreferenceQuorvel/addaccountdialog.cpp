#include "addaccountdialog.h"

#include "accountsetup.h"
#include "application.h"
#include "bundle.h"
#include "helpbook.h"
#include "passwordstore.h"
#include "secretservice.h"
#include "ui_addaccountdialog.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace {
// The help page on getting calendars, and its part on the providers' addresses and app passwords.
const QString helpPage = QStringLiteral("calendars.html");
const QString providersAnchor = QStringLiteral("providers");

void openHelp(const Bundle *bundle, const QString &page, const QString &anchor)
{
    HelpBook::gotoPage(bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookName")).toString(), page,
                       anchor);
}
} // namespace

AddAccountDialog::AddAccountDialog(const Bundle *bundle, AccountSetup *setup, QWidget *parent)
    : QDialog(parent), m_ui(new Ui::AddAccountDialog), m_bundle(bundle), m_setup(setup)
{
    m_ui->setupUi(this);
    // The form's texts are written in English; each is the key of its translation.
    Application::localizeTexts(this, *bundle);
    // Messages come and go below the fields: the dialog grows with them, never squeezing them.
    Application::keepLayoutWhole(this);

    QString why;
    m_secretService = SecretService::isAvailable(&why);
    if (m_secretService) {
        m_ui->keyringLabel->hide();
        m_ui->passwordFileCheckBox->hide();
    } else {
        offerPasswordFile(text("AccountNoKeyring"), why);
    }
    m_ui->calendarsLabel->hide();
    m_ui->calendarsList->hide();

    connect(m_ui->findButton, &QPushButton::clicked, this, &AddAccountDialog::find);
    connect(m_ui->addButton, &QPushButton::clicked, this, &AddAccountDialog::add);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_ui->helpButton, &QPushButton::clicked, this, [bundle] { openHelp(bundle, helpPage, QString()); });
    connect(m_ui->statusLabel, &QLabel::linkActivated, this, [bundle](const QString &link) {
        openHelp(bundle, link.section(QLatin1Char('#'), 0, 0), link.section(QLatin1Char('#'), 1));
    });
    const auto edits = findChildren<QLineEdit *>();
    for (QLineEdit *edit : edits) {
        connect(edit, &QLineEdit::textEdited, this, &AddAccountDialog::forget);
    }
    connect(m_ui->passwordFileCheckBox, &QCheckBox::toggled, this, &AddAccountDialog::updateButtons);
    connect(&m_discovery, &CalDavDiscovery::finished, this, &AddAccountDialog::found);
    connect(m_setup, &AccountSetup::finished, this, &AddAccountDialog::added);
    // A keyring that is there but does not take the password (locked, no way to ask): the file then.
    connect(m_setup, &AccountSetup::keyringRefused, this, [this](const QString &error) {
        if (m_adding) {
            m_secretService = false;
            m_keyringRefused = true;
            offerPasswordFile(text("AccountKeyringRefused"), error);
        }
    });
    updateButtons();
}

AddAccountDialog::~AddAccountDialog() = default;

QString AddAccountDialog::text(const char *key) const
{
    return m_bundle->localizedStringForKey(QLatin1String(key), QString());
}

QString AddAccountDialog::keyringWords(const QString &error) const
{
    switch (PasswordStore::keyringFailure(error)) {
    case PasswordStore::KeyringNotUnlocked:
        return text("KeyringNotUnlocked");
    case PasswordStore::KeyringNotRunning:
        return text("KeyringNotRunning");
    case PasswordStore::KeyringNoAnswer:
        return text("KeyringNoAnswer");
    case PasswordStore::KeyringOther:
        break;
    }
    return text("KeyringOther").arg(error);
}

void AddAccountDialog::offerPasswordFile(const QString &why, const QString &detail)
{
    // The folder: the file is named after the account, which has no name before it is added.
    const QString folder = QDir::toNativeSeparators(
        QFileInfo(PasswordStore::passwordFile(QStringLiteral("account"))).absolutePath() + QLatin1Char('/'));
    m_ui->keyringLabel->setText(why.contains(QLatin1String("%2")) ? why.arg(folder, keyringWords(detail))
                                                                  : why.arg(folder));
    m_ui->keyringLabel->setToolTip(detail); // the keyring's own words
    m_ui->keyringLabel->show();
    m_ui->passwordFileCheckBox->show();
    updateButtons();
}

void AddAccountDialog::find()
{
    const QString password = m_ui->passwordEdit->text();
    if (m_ui->addressEdit->text().trimmed().isEmpty() || m_ui->userEdit->text().trimmed().isEmpty()
        || password.isEmpty()) {
        showStatus(text("AccountFieldsMissing"));
        return;
    }
    if (!PasswordStore::refusal(password).isEmpty()) {
        showStatus(text("AccountPasswordRefused"));
        return;
    }
    if (!CalDavDiscovery::serverUrl(m_ui->addressEdit->text()).isValid()) {
        showStatus(text("CalDavFailureNotCalDav"), m_ui->addressEdit->text(),
                   helpPage + QLatin1Char('#') + providersAnchor);
        return;
    }
    setWorking(true);
    showStatus(text("AccountFinding").arg(CalDavDiscovery::serverUrl(m_ui->addressEdit->text()).host()));
    m_discovery.start(m_ui->addressEdit->text(), m_ui->userEdit->text().trimmed(), password);
}

void AddAccountDialog::found(const CalDavDiscovery::Result &result)
{
    setWorking(false);
    m_found = result;
    if (result.failure == CalDavFailure::ServerMoved && m_discovery.canFollow()) {
        askToFollow(result);
        return;
    }
    if (result.failure != CalDavFailure::None) {
        const QString key = QStringLiteral("CalDavFailure") + calDavFailureName(result.failure);
        const bool hints = result.failure == CalDavFailure::WrongPassword || result.failure == CalDavFailure::NotCalDav
            || result.failure == CalDavFailure::UntrustedCertificate;
        showStatus(m_bundle->localizedStringForKey(key, QString()), result.detail,
                   hints ? helpPage + QLatin1Char('#') + providersAnchor : QString());
        m_ui->calendarsLabel->hide();
        m_ui->calendarsList->hide();
        updateButtons();
        return;
    }
    m_ui->calendarsList->clear();
    for (const CalDavCalendar &calendar : result.calendars) {
        m_ui->calendarsList->addItem(calendar.displayName.isEmpty() ? calendar.collection : calendar.displayName);
    }
    m_ui->calendarsLabel->show();
    m_ui->calendarsList->show();
    showStatus(text("AccountFound").arg(result.calendars.size()));
    updateButtons();
    m_ui->addButton->setDefault(true);
    m_ui->addButton->setFocus();
}

void AddAccountDialog::askToFollow(const CalDavDiscovery::Result &result)
{
    // The password goes to another server only when the user says so; the account then lives there.
    const QString target = result.movedTo.toString(QUrl::RemoveUserInfo);
    showStatus(text("AccountMovedQuestion").arg(target));
    auto *question = new QMessageBox(QMessageBox::Question, windowTitle(), text("AccountMovedQuestion").arg(target),
                                     QMessageBox::NoButton, this);
    question->setInformativeText(text("AccountMovedInformation"));
    question->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *goOn = question->addButton(text("AccountMovedContinue"), QMessageBox::AcceptRole);
    question->addButton(QMessageBox::Cancel);
    question->setDefaultButton(QMessageBox::Cancel);
    setWorking(true);
    connect(question, &QMessageBox::finished, this, [this, question, goOn, result] {
        setWorking(false);
        if (question->clickedButton() == goOn && m_discovery.follow()) {
            setWorking(true);
            showStatus(text("AccountFinding").arg(result.movedTo.host()));
            return;
        }
        showStatus(text("CalDavFailureServerMoved"), result.detail);
    });
    question->open();
}

void AddAccountDialog::add()
{
    if (m_found.calendars.isEmpty() || m_working) {
        return;
    }
    CalDavAccount account;
    account.address = m_ui->addressEdit->text().trimmed();
    account.url = m_found.home;
    account.userName = m_ui->userEdit->text().trimmed();
    account.passwordInFile = !m_secretService;
    account.calendars = m_found.calendars;
    setWorking(true);
    m_adding = true;
    showStatus(text("AccountAdding"));
    m_setup->add(account, m_ui->passwordEdit->text());
}

void AddAccountDialog::added(bool ok, const QString &warning)
{
    if (!m_adding) {
        return; // an operation of the panel's
    }
    m_adding = false;
    setWorking(false);
    if (!ok) {
        // A keyring's refusal is said in plain words above (its own words in the tooltip there).
        showStatus(text("AccountNotAdded"), m_keyringRefused ? QString() : warning);
        m_keyringRefused = false;
        return;
    }
    m_warning = warning;
    accept();
}

void AddAccountDialog::forget()
{
    if (m_discovery.isRunning()) {
        m_discovery.abort();
        setWorking(false);
    }
    m_found = CalDavDiscovery::Result();
    m_ui->calendarsLabel->hide();
    m_ui->calendarsList->hide();
    m_ui->statusLabel->clear();
    m_ui->findButton->setDefault(true);
    updateButtons();
}

void AddAccountDialog::setWorking(bool working)
{
    m_working = working;
    for (QWidget *field :
         {static_cast<QWidget *>(m_ui->addressEdit), static_cast<QWidget *>(m_ui->userEdit),
          static_cast<QWidget *>(m_ui->passwordEdit), static_cast<QWidget *>(m_ui->passwordFileCheckBox)}) {
        field->setEnabled(!working);
    }
    updateButtons();
}

void AddAccountDialog::updateButtons()
{
    m_ui->findButton->setEnabled(!m_working);
    // Without a keyring, the password goes into a file only when the user said so.
    m_ui->addButton->setEnabled(!m_working && !m_found.calendars.isEmpty()
                                && (m_secretService || m_ui->passwordFileCheckBox->isChecked()));
}

void AddAccountDialog::showStatus(const QString &message, const QString &detail, const QString &page)
{
    QString html = message.toHtmlEscaped();
    if (!detail.isEmpty()) {
        html += QStringLiteral("<br><small>%1</small>").arg(detail.toHtmlEscaped());
    }
    if (!page.isEmpty()) {
        html += QStringLiteral(" <a href=\"%1\">%2</a>")
                    .arg(page.toHtmlEscaped(), text("AccountHelpLink").toHtmlEscaped());
    }
    m_ui->statusLabel->setText(html);
}
