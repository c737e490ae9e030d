#include "application.h"

#include "logservice.h"

#include <QPointer>
#include <QWidget>

namespace {
QPointer<QWidget> s_mainWindow;
}

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
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (window->isVisible()) {
            window->raise();
        }
    }
}

void Application::makeKeyAndOrderFront(QWidget *window)
{
    if (!window) {
        return;
    }
    window->show();
    window->raise();
    window->activateWindow();
}
