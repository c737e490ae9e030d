// RuvelantInstaller: puts the Ruvelant pane in place, updates it or removes it. The window is
// the normal way; --install and --uninstall press its button once launching has finished, for
// scripted installs.
#include "ActionController.h"
#include "Model.h"
#include "application.h"
#include "bundle.h"
#include "installerinterface.h"

#include <QAbstractButton>
#include <QCommandLineParser>
#include <QWidget>

#include <cstdio>
#include <optional>

namespace {
// What this start is asked to do, from its command line.
struct Request
{
    bool install = false;
    bool uninstall = false;
    std::optional<QString> screenshot;
};

// Reads the command line into *request (--help and --version answered here); the exit status
// after a complaint, or -1 when the program goes on.
int parseCommandLine(const Application &app, Request *request)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Installs, updates or removes the Ruvelant pane of System Preferences. Use the window; --install and "
        "--uninstall are for scripts: they press the button, print the message and quit with status 0 when the "
        "procedure succeeded, 1 otherwise."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption installOption(QStringLiteral("install"), QStringLiteral("Presses Install."));
    const QCommandLineOption uninstallOption(QStringLiteral("uninstall"), QStringLiteral("Presses Uninstall."));
    const QCommandLineOption screenshotOption(
        QStringLiteral("screenshot"),
        QStringLiteral("Saves a picture of the window to <file> once launching has finished, and quits."),
        QStringLiteral("file"));
    parser.addOptions({installOption, uninstallOption, screenshotOption});
    parser.process(app);
    request->install = parser.isSet(installOption);
    request->uninstall = parser.isSet(uninstallOption);
    if (parser.isSet(screenshotOption)) {
        request->screenshot = parser.value(screenshotOption);
    }
    if (!parser.positionalArguments().isEmpty() || (request->install && request->uninstall)) {
        std::fprintf(stderr, "RuvelantInstaller: give --install or --uninstall, or nothing (see --help)\n");
        return 2;
    }
    if (Application::isWindowless() && !request->install && !request->uninstall && !request->screenshot) {
        std::fprintf(stderr,
                     "RuvelantInstaller: there is no display to show the window on (DISPLAY is not set); "
                     "--install and --uninstall work without one\n");
        return 1;
    }
    return -1;
}

// Once the procedure that a pressed button started has ended (and an exception, if any, has
// reached the event loop's top), prints the message and quits: status 0 when it succeeded.
void quitWithResult(Application &app, Model *model, const Bundle &bundle)
{
    const int exceptionsBefore = app.reportedExceptionCount();
    const QStringList failures {bundle.localizedStringForKey(QStringLiteral("InstallationFailed")),
                                bundle.localizedStringForKey(QStringLiteral("UninstallationFailed"))};
    QObject::connect(model, &Model::applicationInstallationOrUnistallationCompletedChanged, &app,
                     [&app, model, exceptionsBefore, failures] {
                         if (!model->applicationInstallationOrUnistallationCompleted()) {
                             return;
                         }
                         QMetaObject::invokeMethod(
                             &app,
                             [&app, model, exceptionsBefore, failures] {
                                 const QString message = model->message();
                                 std::printf("%s\n", message.toUtf8().constData());
                                 std::fflush(stdout);
                                 const bool failed
                                     = app.reportedExceptionCount() != exceptionsBefore || failures.contains(message);
                                 QCoreApplication::exit(failed ? 1 : 0);
                             },
                             Qt::QueuedConnection);
                     });
}

// Saves a picture of the window to file and quits: status 0 when it is saved.
void quitWithScreenshot(QWidget *window, const QString &file)
{
    const bool saved = window->grab().save(file);
    if (!saved) {
        std::fprintf(stderr, "RuvelantInstaller: cannot save %s\n", qPrintable(file));
    }
    QCoreApplication::exit(saved ? 0 : 1);
}
} // namespace

int main(int argc, char **argv)
{
    // --install, --uninstall, --help and --version work over ssh and in scripts too.
    Application::prepareForSessionWithoutDisplay();
    Application app(argc, argv);
    const Bundle *bundle = Bundle::mainBundle();
    QApplication::setApplicationName(QStringLiteral("RuvelantInstaller"));
    QApplication::setApplicationDisplayName(
        bundle->localizedStringForKey(QStringLiteral("Ruvelant Installer"), QStringLiteral("Ruvelant Installer")));
    QApplication::setApplicationVersion(
        bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString());
    QApplication::setDesktopFileName(QStringLiteral("RuvelantInstaller"));
    Request request;
    if (const int status = parseCommandLine(app, &request); status >= 0) {
        return status;
    }

    InstallerInterface interface;
    Application::setMainWindow(interface.window());
    interface.window()->show();
    QAbstractButton *press = request.install ? interface.installButton()
        : request.uninstall                  ? interface.uninstallButton()
                                             : nullptr;
    if (press) {
        quitWithResult(app, interface.model(), *bundle);
    }
    // Launching has finished once the event loop runs.
    QMetaObject::invokeMethod(
        interface.controller(),
        [&] {
            interface.controller()->applicationDidFinishLaunching(nullptr);
            if (press) {
                interface.sendAction(press);
            } else if (request.screenshot) {
                quitWithScreenshot(interface.window(), *request.screenshot);
            }
        },
        Qt::QueuedConnection);
    return QApplication::exec();
}
