#include "application.h"

#include "bundle.h"
#include "logservice.h"

#include <QAbstractButton>
#include <QEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPointer>
#include <QScreen>
#include <QShortcut>
#include <QTabWidget>
#include <QWidget>

namespace {
QPointer<QWidget> s_mainWindow;
bool s_windowless = false;
} // namespace

Application::Application(int &argc, char **argv) : QApplication(argc, argv) { }

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &exception) {
        ++m_reportedExceptions;
        reportException(exception);
    } catch (...) {
        ++m_reportedExceptions;
        LogService::consoleLog(QStringLiteral("An uncaught exception of an unknown kind was raised"));
    }
    return true; // the event counts as handled: nobody else should see it again
}

void Application::reportException(const std::exception &exception)
{
    LogService::consoleLog(
        QStringLiteral("An uncaught exception was raised: %1").arg(QString::fromUtf8(exception.what())));
}

QWidget *Application::mainWindow()
{
    return s_mainWindow;
}

void Application::setMainWindow(QWidget *window)
{
    s_mainWindow = window;
}

void Application::activateIgnoringOtherApps(bool flag)
{
    Q_UNUSED(flag) // a program on this platform can only ask; the window manager decides
    if (s_windowless) {
        return; // nothing to bring in front of
    }
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (window->isVisible()) {
            window->raise();
        }
    }
}

void Application::makeKeyAndOrderFront(QWidget *window)
{
    if (!window || s_windowless) {
        return;
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void Application::closeOnStandardKeys(QWidget *window)
{
    const QKeySequence keys[] = {QKeySequence(Qt::CTRL | Qt::Key_Q), QKeySequence(Qt::CTRL | Qt::Key_W),
                                 QKeySequence(QKeySequence::Quit), QKeySequence(QKeySequence::Close)};
    QList<QKeySequence> taken;
    for (const QKeySequence &key : keys) {
        if (key.isEmpty() || taken.contains(key)) {
            continue;
        }
        taken.append(key);
        auto *shortcut = new QShortcut(key, window);
        QObject::connect(shortcut, &QShortcut::activated, window, &QWidget::close);
    }
}

namespace {
// Sets a window's least height from its layout's height at the window's width, after every
// change of its layout or size (once the change is done, never in the middle of it).
class WholeLayout : public QObject
{
public:
    explicit WholeLayout(QWidget *window) : QObject(window), m_window(window) { window->installEventFilter(this); }

    bool eventFilter(QObject *, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if ((type == QEvent::LayoutRequest || type == QEvent::Resize || type == QEvent::Show) && !m_pending) {
            m_pending = true;
            QMetaObject::invokeMethod(this, &WholeLayout::fit, Qt::QueuedConnection);
        }
        return false;
    }

private:
    void fit()
    {
        m_pending = false;
        QLayout *layout = m_window->layout();
        if (!layout) {
            return;
        }
        layout->activate();
        int needed = layout->totalMinimumSize().height();
        if (layout->hasHeightForWidth()) {
            needed = qMax(needed, layout->totalHeightForWidth(m_window->width()));
        }
        if (m_window->minimumHeight() != needed) {
            m_window->setMinimumHeight(needed);
        }
        if (m_window->height() < needed) {
            m_window->resize(m_window->width(), needed);
            // Grown downwards past the screen's edge: moved up as far as it must, no further.
            const QScreen *screen = m_window->screen();
            const QRect frame = m_window->frameGeometry();
            if (screen && m_window->isVisible() && frame.bottom() > screen->availableGeometry().bottom()) {
                const int top = qMax(screen->availableGeometry().top(),
                                     screen->availableGeometry().bottom() - frame.height() + 1);
                m_window->move(frame.left(), top);
            }
        }
    }

    QWidget *m_window;
    bool m_pending = false;
};
} // namespace

void Application::keepLayoutWhole(QWidget *window)
{
    new WholeLayout(window);
}

QString Application::spokenText(QString text)
{
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('&')) {
            text.remove(i, 1); // "&&" leaves one "&"
        }
    }
    text = text.trimmed();
    if (text.endsWith(QLatin1Char(':'))) {
        text.chop(1);
    }
    return text.trimmed();
}

namespace {
// The handler that was installed before (Qt returns its own default one when there was none).
QtMessageHandler s_nextHandler = nullptr;

void quietAboutRuntimeFolder(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) {
        return;
    }
    s_nextHandler(type, context, message); // Qt's own handler when none was installed before
}
} // namespace

void Application::prepareForSessionWithoutDisplay()
{
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        s_nextHandler = qInstallMessageHandler(quietAboutRuntimeFolder);
    }
    s_windowless = qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (s_windowless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

bool Application::isWindowless()
{
    return s_windowless;
}

void Application::setTooltip(QWidget *widget, const QString &text)
{
    if (widget) {
        widget->setToolTip(text);
        widget->setAccessibleDescription(text);
    }
}

void Application::localizeTexts(QWidget *form, const Bundle &bundle)
{
    const auto tr = [&bundle](const QString &text) { return bundle.localizedStringForKey(text, text); };
    if (!form->windowTitle().isEmpty()) {
        form->setWindowTitle(tr(form->windowTitle()));
    }
    const auto labels = form->findChildren<QLabel *>();
    for (QLabel *label : labels) {
        label->setText(tr(label->text()));
    }
    const auto tabs = form->findChildren<QTabWidget *>();
    for (QTabWidget *tabWidget : tabs) {
        for (int i = 0; i < tabWidget->count(); ++i) {
            tabWidget->setTabText(i, tr(tabWidget->tabText(i)));
        }
    }
    const auto edits = form->findChildren<QLineEdit *>();
    for (QLineEdit *edit : edits) {
        edit->setPlaceholderText(tr(edit->placeholderText()));
    }
    const auto widgets = form->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            button->setText(tr(button->text()));
            button->setAccessibleName(button->accessibleName().isEmpty() ? spokenText(button->text())
                                                                         : tr(button->accessibleName()));
        } else if (!widget->accessibleName().isEmpty()) {
            widget->setAccessibleName(tr(widget->accessibleName()));
        }
        if (!widget->toolTip().isEmpty()) {
            setTooltip(widget, tr(widget->toolTip()));
        }
    }
    for (QLabel *label : labels) {
        if (QWidget *buddy = label->buddy()) {
            buddy->setAccessibleName(spokenText(label->text()));
        }
    }
}
