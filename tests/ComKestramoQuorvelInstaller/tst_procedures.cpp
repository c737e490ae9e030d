// The installer's two procedures with the real unzip, our launchctl and defaults (the user's
// scheduler stood in for in the throw-away home) and a real SystemPreferences host: what they
// leave on disk, in the model and in the system log, the programs they start and in which order,
// and the exception they pass on, which the application's event loop survives.
#include "ActionController.h"
#include "Model.h"
#include "application.h"
#include "bundle.h"
#include "datatable.h"
#include "installerinterface.h"
#include "scriptrunner.h"
#include "standarderrorcapture.h"
#include "storedpreferences.h"
#include "systempreferenceschannel.h"
#include "throwawayhome.h"

#include <QAbstractButton>
#include <QDir>
#include <QLabel>
#include <QLoggingCategory>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <cerrno>
#include <memory>
#include <unistd.h>

namespace {
const QString ruvelant = "com.kestramo.ruvelant"_qs;
const QString panes = "Library/PreferencePanes"_qs;
const QString systemPanes = "system/Library/PreferencePanes"_qs;
const QString agentFile = "Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"_qs;
const QString builtInstaller = buildPath("RuvelantInstaller.app"_qs);
// The programs as the procedures start them (HOME: the throw-away home).
const QString unzip = "/usr/bin/unzip -qq -d HOME/Library/PreferencePanes/.Ruvelant.prefPane-X "
                      "HOME/Installer.app/Contents/Resources/Ruvelant.prefPane.zip"_qs;
const QString unload = "/bin/launchctl unload -w HOME/"_qs + agentFile;
const QString switchOff = "/usr/bin/defaults write com.kestramo.ruvelant quorvelEnabled 0"_qs;
const QHash<QString, QString> programs {{"unzip"_qs, unzip}, {"unload"_qs, unload}, {"defaults"_qs, switchOff}};
const QString paneNotFound = "ScriptExecutionFailed: ExecutionError ErrorDictionary={NSAppleScriptErrorMessage = "
                             "\"Can't get item 1 of {}.\"; NSAppleScriptErrorNumber = -1728;}"_qs;

QStringList s_started; // "starting ..." notes of Programs
QtMessageHandler s_previousHandler = nullptr;
void noteStarts(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "ruvelant.programs") == 0 && message.startsWith("starting "_qs)) {
        s_started.append(message.mid(9));
        return;
    }
    s_previousHandler(type, context, message);
}

QString shownPane()
{
    const SystemPreferencesChannel::Reply reply = SystemPreferencesChannel::send("current"_qs);
    return reply.ok && !reply.lines.isEmpty() ? reply.lines.first() : QString();
}

} // namespace

class ProceduresTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_installer;
    std::unique_ptr<QWidget> m_window;
    int m_refusal = 0; // the error number of a refused removal

    // Paths in the home written as HOME/..., and the unpacking folder's random name as X.
    QString normalized(QString text) const
    {
        text.replace(m_home->path(), "HOME"_qs);
        return text.replace(QRegularExpression("\\.Ruvelant\\.prefPane-\\w+"_qs), ".Ruvelant.prefPane-X"_qs);
    }

    // A throw-away installer: the built Info.plist and strings tables, and as archive "built",
    // "damaged" (its middle overwritten), "other" (a pane with another identifier), "missing",
    // or one of tests/data/installer/makezip.py ("beside", "dotdot", "link", "bomb").
    void useInstaller(const QString &archive)
    {
        const QString resources = "Installer.app/Contents/Resources/"_qs;
        m_home->writeFile("Installer.app/Contents/Info.plist"_qs, readFile(builtInstaller + "/Contents/Info.plist"_qs));
        m_home->writeFile(resources + "en.lproj/Localizable.strings"_qs,
                          readFile(builtInstaller + "/Contents/Resources/en.lproj/Localizable.strings"_qs));
        const QString zip = m_home->filePath(resources + "Ruvelant.prefPane.zip"_qs);
        if (archive == "built"_qs) {
            QVERIFY(QFile::link(builtInstaller + "/Contents/Resources/Ruvelant.prefPane.zip"_qs, zip));
        } else if (archive == "damaged"_qs) {
            QByteArray bytes = readFile(builtInstaller + "/Contents/Resources/Ruvelant.prefPane.zip"_qs);
            bytes.replace(bytes.size() / 2, 4096, QByteArray(4096, 'x'));
            m_home->writeFile(resources + "Ruvelant.prefPane.zip"_qs, bytes);
        } else if (archive == "other"_qs) {
            m_home->copyFixture("installer/other"_qs, "other"_qs);
            QProcess zipper;
            zipper.setWorkingDirectory(m_home->filePath("other"_qs));
            zipper.start(QStandardPaths::findExecutable("cmake"_qs),
                         {"-E"_qs, "tar"_qs, "cf"_qs, zip, "--format=zip"_qs, "Ruvelant.prefPane"_qs});
            QVERIFY(zipper.waitForFinished() && zipper.exitCode() == 0);
        } else if (archive != "missing"_qs) {
            QCOMPARE(QProcess::execute("python3"_qs, {QFINDTESTDATA("../data/installer/makezip.py"), archive, zip}), 0);
        }
        m_installer = std::make_unique<Bundle>(m_home->filePath("Installer.app"_qs));
        Bundle::setMainBundle(m_installer.get());
    }

    // An older pane ("old") in folder, or one whose Contents/Resources cannot be removed ("refused").
    void makePane(const QString &folder, const QString &kind)
    {
        if (kind.isEmpty())
            return;
        const QString pane = folder + "/Ruvelant.prefPane"_qs;
        m_home->copyFixture("installer/old"_qs, pane); // version 1.0, with Contents/Resources/old.txt
        if (kind == "refused"_qs)
            refuseRemoval(m_home->filePath(pane + "/Contents/Resources"_qs));
    }

    // The folder's entries cannot be removed: immutable for the superuser, read-only otherwise.
    void refuseRemoval(const QString &folder)
    {
        if (::geteuid() == 0) {
            QVERIFY2(QProcess::execute("chattr"_qs, {"+i"_qs, folder}) == 0, "chattr +i is needed as superuser");
            m_refusal = EPERM;
        } else {
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
            m_refusal = EACCES;
        }
    }

    void schedule()
    {
        QByteArray plist = readFile(QFINDTESTDATA("../data/pane/com.kestramo.RuvelantAgent.plist"));
        m_home->writeFile(agentFile, plist.replace("@PANE@", QFile::encodeName(m_home->filePath(panes))));
        QCOMPARE(QProcess::execute(buildPath("bin/launchctl"_qs), {"load"_qs, "-w"_qs, m_home->filePath(agentFile)}),
                 0);
        QVERIFY(readFile(m_home->filePath("timers"_qs)).contains("com.kestramo.RuvelantAgent.timer"));
    }

    QString text(const char *key) const { return m_installer->localizedStringForKey(QLatin1String(key)); }

private Q_SLOTS:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules("ruvelant.programs.debug=true"_qs);
        s_previousHandler = qInstallMessageHandler(noteStarts);
    }
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->setEnv("RUVELANT_SYSTEM_ROOT", QFile::encodeName(m_home->filePath("system"_qs)));
        m_window = std::make_unique<QWidget>();
        Application::setMainWindow(m_window.get());
    }
    void cleanup()
    {
        QVariantMap error;
        ScriptRunner("tell application \"System Preferences\" \r quit \r end tell\r"_qs).executeAndReturnError(&error);
        QTRY_VERIFY(!SystemPreferencesChannel::isHostRunning());
        if (m_refusal) { // what was refused may have moved: everything in the home can go again
            QProcess unrefuse;
            unrefuse.setStandardErrorFile(QProcess::nullDevice());
            unrefuse.start(::geteuid() == 0 ? "chattr"_qs : "chmod"_qs,
                           {"-R"_qs, ::geteuid() == 0 ? "-i"_qs : "u+w"_qs, m_home->path()});
            unrefuse.waitForFinished();
        }
        m_refusal = 0;
        Application::setMainWindow(nullptr);
        m_window.reset();
        Bundle::setMainBundle(nullptr);
        m_installer.reset();
        m_home.reset();
    }

    void procedures_data()
    {
        QTest::addColumn<QStringList>("row"); // see tests/data/installer/procedures.txt
        for (QStringList row : tableRows("installer/procedures.txt"))
            QTest::newRow(qPrintable(row.first())) << row.replaceInStrings(QRegularExpression("^-$"_qs), QString());
    }
    void procedures()
    {
        QFETCH(QStringList, row);
        const bool install = row.at(1) == "install"_qs;
        const QString user = row.at(2), system = row.at(3), setting = row.at(4), exception = row.at(7);
        const QString paneAfter = row.at(10), shown = row.at(11);
        QStringList started, logged = row.at(8).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (const QString &name : row.at(6).split(QLatin1Char(';'), Qt::SkipEmptyParts))
            started.append(programs.value(name));
        useInstaller(install ? setting : "built"_qs);
        makePane(panes, user);
        makePane(systemPanes, system);
        if (setting == "scheduled"_qs)
            schedule();
        QVERIFY(SystemPreferencesChannel::startHost()); // to be quit
        if (setting == "no tools"_qs)
            m_home->setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(m_home->filePath("nothing"_qs)));

        Model model;
        ActionController controller;
        controller.setModel(&model);
        controller.applicationDidFinishLaunching(nullptr);
        s_started.clear();
        QString raised;
        StandardErrorCapture errors;
        try {
            install ? controller.install(nullptr) : controller.uinstall(nullptr);
        } catch (const Exception &exception) {
            raised = normalized(QString::fromUtf8(exception.what()));
        }
        const QStringList log = errors.logTexts().filter(QRegularExpression("^error="_qs));
        QVERIFY2(exception.isEmpty() ? raised.isEmpty() : raised.startsWith(exception), qPrintable(raised));

        QCOMPARE(model.message(), m_installer->localizedStringForKey(row.at(5)));
        QStringList state;
        for (bool on : {model.applicationAlreadyInstalled(), model.applicationUpdateNecessary(),
                        model.applicationInstallationOrUnistallationInProgress(),
                        model.applicationInstallationOrUnistallationCompleted()})
            state.append(QVariant(on).toString());
        QCOMPARE(state.join(QLatin1Char(' ')), row.at(9) + " false true"_qs);
        QCOMPARE(normalized(s_started.join(QLatin1Char('\n'))), started.join(QLatin1Char('\n')));
        logged.replaceInStrings("CODE"_qs, QString::number(m_refusal));
        QCOMPARE(normalized(log.join(QLatin1Char('\n'))), logged.join(QLatin1Char('\n')));

        const QString pane = m_home->filePath(panes + "/Ruvelant.prefPane"_qs);
        QCOMPARE(Bundle(pane).bundleIdentifier(), paneAfter);
        if (install && user == "old"_qs && row.at(5) == "InstallationFailed"_qs) // left as it was
            QVERIFY(QFileInfo::exists(pane + "/Contents/Resources/old.txt"_qs));
        else if (install && paneAfter == ruvelant) { // the carried pane, not the old one
            QCOMPARE(Bundle(pane).objectForInfoDictionaryKey("CFBundleVersion"_qs),
                     m_installer->objectForInfoDictionaryKey("CFBundleVersion"_qs));
            QVERIFY(QFileInfo(pane + "/Contents/Resources/RuvelantAgent"_qs).isExecutable());
            QVERIFY(!QFileInfo::exists(pane + "/Contents/Resources/old.txt"_qs));
        }
        // Nothing is left beside the pane but what could not be removed, hidden.
        QStringList left
            = QDir(m_home->filePath(panes)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        left.removeOne("Ruvelant.prefPane"_qs);
        QCOMPARE(left.size(), logged.filter(".Ruvelant.prefPane-"_qs).size());
        QCOMPARE(QFileInfo::exists(m_home->filePath(systemPanes + "/Ruvelant.prefPane"_qs)), system == "refused"_qs);
        // No schedule is left; the setting is the text "0" once an uninstall has switched it off.
        QVERIFY(!QFileInfo::exists(m_home->filePath(agentFile)));
        QVERIFY(!readFile(m_home->filePath("timers"_qs)).contains("RuvelantAgent"));
        const QVariant enabled = storedDomain().value("quorvelEnabled"_qs);
        QCOMPARE(enabled.userType() == QMetaType::QString && enabled.toString() == "0"_qs,
                 started.contains(switchOff) && exception.isEmpty());
        // System Preferences: quit, then showing the new pane; the installer's window comes after.
        QCOMPARE(SystemPreferencesChannel::isHostRunning(), shown != "off"_qs);
        QCOMPARE(shownPane(), shown == "off"_qs ? QString() : shown);
        QCOMPARE(m_window->isVisible(), exception.isEmpty());
    }

    // System Preferences is quit while the older pane is still in place, before the procedure
    // removes or replaces it: a stand-in host notes the pane in place at each request.
    void quitBeforeRemoval_data()
    {
        QTest::addColumn<bool>("install");
        row("install over an older pane", true);
        row("uninstall", false);
    }
    void quitBeforeRemoval()
    {
        QFETCH(bool, install);
        useInstaller("built"_qs);
        makePane(panes, "old"_qs);
        const QString record = m_home->filePath("requests"_qs);
        QProcess host;
        host.start("python3"_qs,
                   {QFINDTESTDATA("../data/installer/host.py"), SystemPreferencesChannel::socketPath(),
                    m_home->filePath(panes + "/Ruvelant.prefPane"_qs), record});
        QTRY_VERIFY(SystemPreferencesChannel::isHostRunning());
        Model model;
        ActionController controller;
        controller.setModel(&model);
        controller.applicationDidFinishLaunching(nullptr);
        install ? controller.install(nullptr) : controller.uinstall(nullptr);
        QCOMPARE(readFile(record), QByteArray("quit old\n"));
        host.waitForFinished();
    }

    // Pressing the window's buttons: the exception that install passes on is reported by the
    // event loop's top and the application goes on; the controls follow the model meanwhile.
    void windowAndEventLoop()
    {
        auto *app = qobject_cast<Application *>(qApp);
        QVERIFY(app);
        useInstaller("other"_qs);
        InstallerInterface interface;
        QWidget *window = interface.window();
        Application::setMainWindow(window);
        window->show();
        const auto widgets = window->findChildren<QWidget *>();
        for (QWidget *widget : widgets)
            QVERIFY2(!widget->accessibleName().isEmpty(), qPrintable(widget->objectName()));
        auto *label = window->findChild<QLabel *>("messageLabel"_qs);
        auto *busy = window->findChild<QProgressBar *>();
        QAbstractButton *install = interface.installButton(), *uninstall = interface.uninstallButton();
        QVERIFY(!install->isEnabled()); // until the launch inspection has run
        interface.controller()->applicationDidFinishLaunching(nullptr);
        QCOMPARE(label->text(), text("ApplicationNotInstalled_UpdateAvailable"));
        QVERIFY(install->isEnabled() && !uninstall->isEnabled() && !busy->isVisibleTo(window));

        QStringList during; // enabled buttons and busy indicator while a procedure runs
        connect(interface.model(), &Model::applicationInstallationOrUnistallationInProgressChanged, this, [&] {
            if (interface.model()->applicationInstallationOrUnistallationInProgress()) {
                during.append(QStringLiteral("%1 %2 %3")
                                  .arg(install->isEnabled())
                                  .arg(uninstall->isEnabled())
                                  .arg(busy->isVisibleTo(window)));
            }
        });
        const int reported = app->reportedExceptionCount();
        StandardErrorCapture errors;
        QTest::mouseClick(install, Qt::LeftButton);
        QTRY_COMPARE(app->reportedExceptionCount(), reported + 1);
        QVERIFY(errors.logTexts().contains("An uncaught exception was raised: "_qs + paneNotFound));
        QCOMPARE(label->text(), text("InstallationCompleted"));
        QVERIFY(install->isEnabled() && uninstall->isEnabled() && !busy->isVisibleTo(window));

        QTest::mouseClick(uninstall, Qt::LeftButton);
        QTRY_COMPARE(label->text(), text("UninstallationCompleted"));
        QCOMPARE(app->reportedExceptionCount(), reported + 1);
        QVERIFY(install->isEnabled() && !uninstall->isEnabled());
        QCOMPARE(during, (QStringList {"0 0 1"_qs, "0 0 1"_qs}));
    }

    // The installer from the keyboard: Tab goes from Install to Uninstall, Return presses the
    // button that has the focus (Install at first), Ctrl+Q and Ctrl+W close the window.
    void keyboard_data() { dataTable<QString, QString>("installer/keyboard.txt", {"keys", "outcome"}); }
    void keyboard()
    {
        QFETCH(QString, keys);
        QFETCH(QString, outcome);
        useInstaller("built"_qs);
        makePane(panes, "old"_qs);
        InstallerInterface interface;
        QWidget *window = interface.window();
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        interface.controller()->applicationDidFinishLaunching(nullptr);
        interface.installButton()->setFocus();
        QSignalSpy installs(interface.installButton(), &QAbstractButton::clicked);
        QSignalSpy uninstalls(interface.uninstallButton(), &QAbstractButton::clicked);
        for (const QString &key : keys.split(QLatin1Char(' '))) {
            const QKeySequence sequence(key);
            QTest::keyClick(window->windowHandle(), Qt::Key(sequence[0] & ~Qt::KeyboardModifierMask),
                            Qt::KeyboardModifiers(sequence[0] & Qt::KeyboardModifierMask));
        }
        QCOMPARE(installs.count(), outcome == "install"_qs ? 1 : 0);
        QCOMPARE(uninstalls.count(), outcome == "uninstall"_qs ? 1 : 0);
        QCOMPARE(window->isVisible(), outcome != "closed"_qs);
    }
};

int main(int argc, char **argv)
{
    Application app(argc, argv);
    ProceduresTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_procedures.moc"
