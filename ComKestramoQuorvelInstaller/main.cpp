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
    if (!parser.positionalArguments().isEmpty() || (parser.isSet(installOption) && parser.isSet(uninstallOption))) {
        std::fprintf(stderr, "RuvelantInstaller: give --install or --uninstall, or nothing (see --help)\n");
        return 2;
    }

    if (Application::isWindowless() && !parser.isSet(installOption) && !parser.isSet(uninstallOption)
        && !parser.isSet(screenshotOption)) {
        std::fprintf(stderr,
                     "RuvelantInstaller: there is no display to show the window on (DISPLAY is not set); "
                     "--install and --uninstall work without one\n");
        return 1;
    }

    InstallerInterface interface;
    Model *model = interface.model();
    Application::setMainWindow(interface.window());
    interface.window()->show();

    QAbstractButton *press = parser.isSet(installOption) ? interface.installButton()
        : parser.isSet(uninstallOption)                  ? interface.uninstallButton()
                                                         : nullptr;
    // Read by the handlers below while the event loop runs, so they live as long as it does.
    const int exceptionsBefore = app.reportedExceptionCount();
    const QString failures[] = {bundle->localizedStringForKey(QStringLiteral("InstallationFailed")),
                                bundle->localizedStringForKey(QStringLiteral("UninstallationFailed"))};
    if (press) {
        // Once the procedure has ended (and an exception, if any, has reached the event loop's
        // top), the message is the result.
        QObject::connect(model, &Model::applicationInstallationOrUnistallationCompletedChanged, &app, [&] {
            if (!model->applicationInstallationOrUnistallationCompleted()) {
                return;
            }
            QMetaObject::invokeMethod(
                &app,
                [&] {
                    const QString message = model->message();
                    std::printf("%s\n", message.toUtf8().constData());
                    std::fflush(stdout);
                    const bool failed = app.reportedExceptionCount() != exceptionsBefore || message == failures[0]
                        || message == failures[1];
                    QCoreApplication::exit(failed ? 1 : 0);
                },
                Qt::QueuedConnection);
        });
    }

    // Launching has finished once the event loop runs.
    QMetaObject::invokeMethod(
        interface.controller(),
        [&] {
            interface.controller()->applicationDidFinishLaunching(nullptr);
            if (press) {
                interface.sendAction(press);
            } else if (parser.isSet(screenshotOption)) {
                const bool saved = interface.window()->grab().save(parser.value(screenshotOption));
                if (!saved) {
                    std::fprintf(stderr, "RuvelantInstaller: cannot save %s\n",
                                 qPrintable(parser.value(screenshotOption)));
                }
                QCoreApplication::exit(saved ? 0 : 1);
            }
        },
        Qt::QueuedConnection);
    return QApplication::exec();
}
