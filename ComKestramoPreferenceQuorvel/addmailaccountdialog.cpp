#include "addmailaccountdialog.h"

#include "accountmail.h"
#include "application.h"
#include "bundle.h"
#include "helpbook.h"
#include "mailaccountsetup.h"
#include "mailproviders.h"
#include "passwordstore.h"
#include "secretservice.h"
#include "smtpsubmission.h"
#include "ui_addmailaccountdialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QPushButton>
#include <QStandardItemModel>
#include <QThread>

namespace {
// The help page on sending, and its part on the providers' servers and app passwords.
const QString helpPage = QStringLiteral("mail.html");
const QString providersAnchor = QStringLiteral("providers");
// How long a login or a test may take.
constexpr std::chrono::seconds networkLimit(60);
// The security choices, in the order of the list.
const MailSecurity securities[] = {MailSecurity::Tls, MailSecurity::StartTls, MailSecurity::None};

void openHelp(const Bundle *bundle, const QString &anchor)
{
    HelpBook::gotoPage(bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookName")).toString(), helpPage,
                       anchor);
}
} // namespace

AddMailAccountDialog::AddMailAccountDialog(const Bundle *bundle, MailAccountSetup *setup, QWidget *parent)
    : QDialog(parent), m_ui(new Ui::AddMailAccountDialog), m_bundle(bundle), m_setup(setup)
{
    m_ui->setupUi(this);
    // The form's texts are written in English; each is the key of its translation.
    Application::localizeTexts(this, *bundle);
    for (const char *key : {"MailSecurityTls", "MailSecurityStartTls", "MailSecurityNone"}) {
        m_ui->securityComboBox->addItem(text(key));
    }
    m_ui->securityComboBox->setCurrentIndex(1);

    QString why;
    m_secretService = SecretService::isAvailable(&why);
    if (m_secretService) {
        m_ui->keyringLabel->hide();
        m_ui->passwordFileCheckBox->hide();
    } else {
        offerPasswordFile(text("AccountNoKeyring"), why);
    }

    connect(m_ui->addressEdit, &QLineEdit::textEdited, this, &AddMailAccountDialog::addressEdited);
    connect(m_ui->serverEdit, &QLineEdit::textEdited, this, [this] {
        m_serverTouched = true;
        updateButtons();
    });
    connect(m_ui->portSpinBox, qOverload<int>(&QSpinBox::valueChanged), this, [this] {
        if (m_ui->portSpinBox->hasFocus()) {
            m_serverTouched = true;
        }
    });
    connect(m_ui->securityComboBox, qOverload<int>(&QComboBox::activated), this, [this] {
        m_serverTouched = true;
        securityChosen();
    });
    connect(m_ui->userEdit, &QLineEdit::textEdited, this, [this] { m_userTouched = true; });
    for (QLineEdit *edit : {m_ui->nameEdit, m_ui->userEdit, m_ui->passwordEdit}) {
        connect(edit, &QLineEdit::textEdited, this, &AddMailAccountDialog::updateButtons);
    }
    connect(m_ui->passwordFileCheckBox, &QCheckBox::toggled, this, &AddMailAccountDialog::updateButtons);
    connect(m_ui->testButton, &QPushButton::clicked, this, &AddMailAccountDialog::sendTest);
    connect(m_ui->addButton, &QPushButton::clicked, this, &AddMailAccountDialog::add);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_ui->helpButton, &QPushButton::clicked, this, [bundle] { openHelp(bundle, QString()); });
    connect(m_ui->statusLabel, &QLabel::linkActivated, this,
            [bundle](const QString &link) { openHelp(bundle, link.section(QLatin1Char('#'), 1)); });
    connect(m_setup, &MailAccountSetup::finished, this, &AddMailAccountDialog::added);
    // A keyring that is there but does not take the password (locked, no way to ask): the file then.
    connect(m_setup, &MailAccountSetup::keyringRefused, this, [this](const QString &error) {
        if (m_adding) {
            m_secretService = false;
            offerPasswordFile(text("AccountKeyringRefused"), error);
        }
    });
    updateButtons();
}

AddMailAccountDialog::~AddMailAccountDialog() = default;

QString AddMailAccountDialog::text(const char *key) const
{
    return m_bundle->localizedStringForKey(QLatin1String(key), QString());
}

MailAccount AddMailAccountDialog::account() const
{
    MailAccount account;
    account.origin = MailAccount::Ruvelant;
    account.address = m_ui->addressEdit->text().trimmed();
    account.name = m_ui->nameEdit->text().trimmed();
    account.host = m_ui->serverEdit->text().trimmed();
    account.port = m_ui->portSpinBox->value();
    account.security = securities[qBound(0, m_ui->securityComboBox->currentIndex(), 2)];
    account.userName = m_ui->userEdit->text().trimmed();
    account.login = MailAccount::Password;
    account.passwordInFile = !m_secretService;
    return account;
}

void AddMailAccountDialog::addressEdited()
{
    const QString address = m_ui->addressEdit->text().trimmed();
    if (!m_userTouched) {
        m_ui->userEdit->setText(address);
    }
    MailProviders::Provider provider;
    if (!m_serverTouched && MailProviders::forAddress(address, &provider)) {
        m_ui->serverEdit->setText(provider.host);
        m_ui->securityComboBox->setCurrentIndex(
            int(std::find(std::begin(securities), std::end(securities), provider.security) - std::begin(securities)));
        m_ui->portSpinBox->setValue(provider.port);
        showStatus(
            text(provider.appPassword ? "MailAccountProviderAppPassword" : "MailAccountProvider").arg(provider.name),
            QString(), provider.appPassword);
    }
    updateButtons();
}

void AddMailAccountDialog::securityChosen()
{
    const MailSecurity security = securities[qBound(0, m_ui->securityComboBox->currentIndex(), 2)];
    // The usual port of the security, unless the user typed another one.
    const int port = m_ui->portSpinBox->value();
    if (port == 465 || port == 587 || port == 25) {
        m_ui->portSpinBox->setValue(defaultMailPort(security));
    }
    updateButtons();
}

QString AddMailAccountDialog::fieldsProblem() const
{
    const MailAccount fields = account();
    if (fields.address.isEmpty() || fields.host.isEmpty() || fields.userName.isEmpty()
        || m_ui->passwordEdit->text().isEmpty()) {
        return text("MailAccountFieldsMissing");
    }
    if (fields.security == MailSecurity::None && !isLoopbackHost(fields.host)) {
        return text("MailAccountPlainOnlyHere");
    }
    if (!PasswordStore::refusal(m_ui->passwordEdit->text()).isEmpty()) {
        return text("AccountPasswordRefused");
    }
    const QString problem = fields.problem();
    return problem.isEmpty() ? QString() : text("MailAccountNotUsable").arg(problem);
}

void AddMailAccountDialog::runBeside(const QString &message, std::function<SmtpFailure()> work,
                                     std::function<void(SmtpFailure)> done)
{
    setWorking(true);
    showStatus(message);
    QPointer<AddMailAccountDialog> dialog(this);
    // The thread ends by itself within the network limit; a dialog closed meanwhile hears nothing.
    QThread *thread = QThread::create([dialog, work, done] {
        const SmtpFailure failure = work();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [dialog, done, failure] {
                if (dialog) {
                    dialog->setWorking(false);
                    done(failure);
                }
            },
            Qt::QueuedConnection);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void AddMailAccountDialog::sendTest()
{
    const QString problem = fieldsProblem();
    if (!problem.isEmpty()) {
        showStatus(problem);
        return;
    }
    const MailAccount fields = account();
    const SmtpServer server = AccountMail::serverWithPassword(fields, m_ui->passwordEdit->text());
    const QString subject = text("MailAccountTestSubject");
    const QString body = text("MailAccountTestBody").arg(fields.address, fields.serverText());
    runBeside(
        text("MailAccountTesting").arg(fields.address),
        [fields, server, subject, body] {
            return AccountMail::sendMessage(fields, server, fields.address, subject, body, networkLimit);
        },
        [this, fields](const SmtpFailure &failure) {
            if (failure) {
                showFailure(failure);
            } else {
                showStatus(text("MailAccountTestTaken").arg(fields.host, fields.address));
            }
        });
}

void AddMailAccountDialog::add()
{
    const QString problem = fieldsProblem();
    if (!problem.isEmpty()) {
        showStatus(problem);
        return;
    }
    const MailAccount fields = account();
    const QString password = m_ui->passwordEdit->text();
    const SmtpServer server = AccountMail::serverWithPassword(fields, password);
    runBeside(
        text("MailAccountChecking").arg(fields.host),
        [server] { return SmtpSubmission::checkLogin(server, networkLimit); },
        [this, fields, password](SmtpFailure failure) {
            if (failure) {
                showFailure(failure);
                return;
            }
            setWorking(true);
            m_adding = true;
            showStatus(text("MailAccountAdding"));
            m_setup->add(fields, password);
        });
}

void AddMailAccountDialog::added(bool ok, const QString &error)
{
    if (!m_adding) {
        return; // an operation of the panel's
    }
    m_adding = false;
    setWorking(false);
    if (!ok) {
        showStatus(text("MailAccountNotAdded"), error);
        return;
    }
    accept();
}

void AddMailAccountDialog::offerPasswordFile(const QString &why, const QString &detail)
{
    const QString file = QDir::toNativeSeparators(PasswordStore::passwordFile(QStringLiteral("…")));
    m_ui->keyringLabel->setText(why.contains(QLatin1String("%2")) ? why.arg(file, detail) : why.arg(file));
    m_ui->keyringLabel->setToolTip(detail);
    m_ui->keyringLabel->show();
    m_ui->passwordFileCheckBox->show();
    updateButtons();
}

void AddMailAccountDialog::setWorking(bool working)
{
    m_working = working;
    const QList<QWidget *> fields {
        m_ui->addressEdit,      m_ui->nameEdit, m_ui->serverEdit,   m_ui->portSpinBox,
        m_ui->securityComboBox, m_ui->userEdit, m_ui->passwordEdit, m_ui->passwordFileCheckBox};
    for (QWidget *field : fields) {
        field->setEnabled(!working);
    }
    updateButtons();
}

void AddMailAccountDialog::updateButtons()
{
    // No protection only for this computer: the choice is there only for its own server.
    auto *choices = qobject_cast<QStandardItemModel *>(m_ui->securityComboBox->model());
    if (choices) {
        choices->item(2)->setEnabled(isLoopbackHost(m_ui->serverEdit->text().trimmed()));
    }
    m_ui->testButton->setEnabled(!m_working);
    // Without a keyring, the password goes into a file only when the user said so.
    m_ui->addButton->setEnabled(!m_working && (m_secretService || m_ui->passwordFileCheckBox->isChecked()));
}

void AddMailAccountDialog::showFailure(SmtpFailure failure)
{
    failure.account = m_ui->addressEdit->text().trimmed();
    const QString words = failure.inWords(m_bundle->localizedStringForKey(
        QStringLiteral("SmtpFailure") + SmtpFailure::kindName(failure.kind), QString()));
    const bool hints = failure.kind == SmtpFailure::LoginRefused || failure.kind == SmtpFailure::SecureConnectionFailed
        || failure.kind == SmtpFailure::UntrustedCertificate || failure.kind == SmtpFailure::NotAllowed
        || failure.kind == SmtpFailure::HostUnknown;
    showStatus(words + QLatin1Char('.'), failure.detail, hints);
}

void AddMailAccountDialog::showStatus(const QString &message, const QString &detail, bool helpLink)
{
    QString html = message.toHtmlEscaped();
    if (!detail.isEmpty()) {
        html += QStringLiteral("<br><small>%1</small>").arg(detail.toHtmlEscaped());
    }
    if (helpLink) {
        html += QStringLiteral(" <a href=\"%1#%2\">%3</a>")
                    .arg(helpPage, providersAnchor, text("MailAccountHelpLink").toHtmlEscaped());
    }
    m_ui->statusLabel->setText(html);
}
