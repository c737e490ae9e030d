#include "installerinterface.h"

#include "ActionController.h"
#include "Model.h"
#include "application.h"
#include "bundle.h"
#include "ui_MainMenu.h"

#include <QApplication>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>

InstallerInterface::InstallerInterface(QObject *parent)
    : QObject(parent)
    , m_window(std::make_unique<QWidget>())
    , m_ui(std::make_unique<Ui::MainMenu>())
    , m_model(new Model(this))
    , m_controller(new ActionController(this))
{
    m_ui->setupUi(m_window.get());
    m_controller->setModel(m_model);
    Application::localizeTexts(m_window.get(), *Bundle::mainBundle());

    QFont title = m_ui->titleLabel->font();
    title.setBold(true);
    title.setPointSizeF(title.pointSizeF() * 1.25);
    m_ui->titleLabel->setFont(title);
    // Texts from the model are shown as they are, never as markup.
    m_ui->messageLabel->setTextFormat(Qt::PlainText);
    m_ui->versionLabel->setTextFormat(Qt::PlainText);
    const QString icon = Bundle::mainBundle()->pathForResource(QStringLiteral("Ruvelant"), QStringLiteral("png"));
    if (!icon.isEmpty()) {
        m_ui->iconLabel->setPixmap(QPixmap(icon).scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        m_window->setWindowIcon(QPixmap(icon));
    }

    // The window follows the model: its two texts, the buttons that make sense now, and the busy
    // indicator while a procedure runs.
    for (auto changed : {&Model::messageChanged, &Model::versionMessageChanged, &Model::applicationInitCompletedChanged,
                         &Model::applicationInstallationOrUnistallationInProgressChanged,
                         &Model::applicationAlreadyInstalledChanged}) {
        connect(m_model, changed, this, &InstallerInterface::showModel);
    }
    showModel();

    for (QAbstractButton *button : {installButton(), uninstallButton()}) {
        connect(button, &QAbstractButton::clicked, this, [this, button] { sendAction(button); });
    }
    // The keyboard: Return presses the button that has the focus, else the default one (Install);
    // Ctrl+Q and Ctrl+W close the window.
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        connect(new QShortcut(QKeySequence(key), m_window.get()), &QShortcut::activated, this, [this] {
            auto *focused = qobject_cast<QPushButton *>(QApplication::focusWidget());
            QAbstractButton *button = focused && m_window->isAncestorOf(focused) ? focused : installButton();
            if (button->isEnabled()) {
                button->click();
            }
        });
    }
    Application::closeOnStandardKeys(m_window.get());
}

InstallerInterface::~InstallerInterface() = default;

QAbstractButton *InstallerInterface::installButton() const
{
    return m_ui->installButton;
}

QAbstractButton *InstallerInterface::uninstallButton() const
{
    return m_ui->uninstallButton;
}

void InstallerInterface::sendAction(QAbstractButton *button)
{
    const bool install = button == installButton();
    const QPointer<QAbstractButton> sender(button);
    QMetaObject::invokeMethod(
        m_controller,
        [this, install, sender] {
            if (m_model->applicationInstallationOrUnistallationInProgress()) {
                return; // one procedure at a time
            }
            if (install) {
                m_controller->install(sender);
            } else {
                m_controller->uinstall(sender);
            }
        },
        Qt::QueuedConnection);
}

void InstallerInterface::showModel()
{
    m_ui->messageLabel->setText(m_model->message());
    m_ui->messageLabel->setAccessibleDescription(m_model->message());
    m_ui->versionLabel->setText(m_model->versionMessage());
    m_ui->versionLabel->setAccessibleDescription(m_model->versionMessage());
    const bool inProgress = m_model->applicationInstallationOrUnistallationInProgress();
    const bool idle = m_model->applicationInitCompleted() && !inProgress;
    m_ui->installButton->setEnabled(idle);
    m_ui->uninstallButton->setEnabled(idle && m_model->applicationAlreadyInstalled());
    m_ui->busyIndicator->setVisible(inProgress);
    // A longer text makes the shown window taller rather than being cut off.
    if (!m_window->isVisible()) {
        return;
    }
    for (QLabel *label : {m_ui->titleLabel, m_ui->messageLabel}) {
        const int missing = label->heightForWidth(label->width()) - label->height();
        if (missing > 0) {
            m_window->resize(m_window->width(), m_window->height() + missing);
        }
    }
}
