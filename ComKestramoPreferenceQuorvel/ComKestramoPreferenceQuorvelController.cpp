#include "ComKestramoPreferenceQuorvelController.h"

#include "alertsheet.h"
#include "bundle.h"
#include "helpbook.h"
#include "launchagent.h"
#include "preferencepane.h"
#include "programs.h"
#include "scriptrunner.h"
#include "userfolders.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QUrl>

#include <memory>

namespace {
// A function of the controller's own code: its address finds the bundle that holds the class.
void controllerCodeAnchor() { }

const Bundle *ownBundle()
{
    return Bundle::bundleForCode(reinterpret_cast<const void *>(&controllerCodeAnchor));
}

// The value of a control as a number: a check box gives 1 when on, 0 when off and -1 when mixed.
int integerValue(const QObject *sender)
{
    if (const auto *box = qobject_cast<const QCheckBox *>(sender)) {
        switch (box->checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return -1;
        case Qt::Unchecked:
            return 0;
        }
    }
    if (const auto *button = qobject_cast<const QAbstractButton *>(sender)) {
        return button->isChecked() ? 1 : 0;
    }
    return sender ? sender->property("value").toInt() : 0;
}

} // namespace

void ComKestramoPreferenceQuorvelController::awakeFromNib()
{
    registerMyHelpBook();
}

void ComKestramoPreferenceQuorvelController::registerMyHelpBook()
{
    const QString path = ownBundle()->bundlePath();
    const QUrl url = QUrl::fromLocalFile(path);
    if (!url.isValid() || !QFileInfo::exists(url.toLocalFile())) {
        return; // the help book cannot be found; the pane works on without it
    }
    HelpBook::registerHelpBook(url.toLocalFile());
}

void ComKestramoPreferenceQuorvelController::help(QObject *sender)
{
    Q_UNUSED(sender)
    const QString book = ownBundle()->objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookName")).toString();
    if (!book.isEmpty()) {
        HelpBook::gotoPage(book);
    }
}

QString ComKestramoPreferenceQuorvelController::agentName() const
{
    return LaunchAgent::agentName();
}

QString ComKestramoPreferenceQuorvelController::launchAgentsPath() const
{
    return LaunchAgent::launchAgentsPath();
}

QString ComKestramoPreferenceQuorvelController::plistAgentFilePath() const
{
    return LaunchAgent::plistAgentFilePath();
}

QString ComKestramoPreferenceQuorvelController::excecutableAgentPath() const
{
    const QString resources = m_preferencePane ? m_preferencePane->bundle()->resourcePath() : QString();
    return QStringLiteral("%1/%2").arg(resources, agentName());
}

void ComKestramoPreferenceQuorvelController::createLaunchAgentsFolderIfMissing()
{
    LaunchAgent::createLaunchAgentsFolderIfMissing();
}

void ComKestramoPreferenceQuorvelController::enableAlerter()
{
    const LaunchAgent::Result result = LaunchAgent::load(excecutableAgentPath());
    if (!result.ok()) {
        reportSchedulingFailure(true, result.error);
    }
}

void ComKestramoPreferenceQuorvelController::disableAlerter()
{
    const LaunchAgent::Result result = LaunchAgent::unload();
    LaunchAgent::removeFile();
    if (!result.ok()) {
        reportSchedulingFailure(false, result.error);
    }
}

void ComKestramoPreferenceQuorvelController::reportSchedulingFailure(bool enabling, const QString &reason)
{
    const QString key = enabling ? QStringLiteral("ScheduleOnFailed") : QStringLiteral("ScheduleOffFailed");
    showSheet(localized(key), localized(key + QStringLiteral("Message")).arg(reason));
    Q_EMIT schedulingFailed(enabling);
}

void ComKestramoPreferenceQuorvelController::enableCheckPressed(QObject *sender)
{
    if (integerValue(sender) == 1) {
        enableAlerter();
    } else {
        disableAlerter();
    }
}

void ComKestramoPreferenceQuorvelController::alertNow(QObject *sender)
{
    Q_UNUSED(sender)
    if (m_agent) {
        return; // one run at a time
    }
    // The run lasts ten seconds at least, and longer with a slow mail system: it goes on beside
    // the window, which stays the user's to work in.
    const QString agent = excecutableAgentPath();
    Programs::Options options;
    options.output = Programs::PassOn;
    options.errors = Programs::PassOn;
    const QDateTime started = QDateTime::currentDateTime();
    auto pid = std::make_shared<qint64>(0);
    QProcess *process = Programs::start(
        agent, QStringList(), options, this, [this, agent, pid, started](const Programs::Outcome &run) {
            if (run.how == Programs::Outcome::NotStarted) {
                showSheet(localized(QStringLiteral("AgentCannotStart")),
                          localized(QStringLiteral("AgentCannotStartMessage")).arg(agent, run.error));
                return;
            }
            m_agent = nullptr;
            Q_EMIT agentRunningChanged(false);
            Q_EMIT agentRunFinished(*pid, started);
        });
    if (!process->waitForStarted() && process->state() == QProcess::NotRunning) {
        return; // the sheet says why
    }
    // Still starting after the wait (a machine under load): it is a run all the same, and its end
    // is told as any other's.
    m_agent = process;
    *pid = process->processId();
    Q_EMIT agentRunningChanged(true);
}

ComKestramoPreferenceQuorvelController::~ComKestramoPreferenceQuorvelController()
{
    if (m_agent) {
        // Closing the window does not cut a run short in the middle of a hand-over: asked to
        // stop, the agent finishes the event in hand and ends.
        m_agent->disconnect(this);
        m_agent->terminate();
        m_agent->waitForFinished(90000);
    }
}

void ComKestramoPreferenceQuorvelController::showLog(QObject *sender)
{
    Q_UNUSED(sender)
    // The agent writes its log below the home folder; that is where it is looked for.
    const QString logPath = QStringLiteral("%1/Logs/%2.log").arg(userLibraryPath(), agentName());
    if (QFileInfo::exists(logPath)) {
        const QString script = QStringLiteral("tell application \"Finder\"\r open document file \"%1.log\" of folder "
                                              "\"Logs\" of folder \"Library\" of folder \"%2\" of folder \"Users\" "
                                              "of startup disk \r end tell")
                                   .arg(agentName(), userShortName());
        ScriptRunner runner(script);
        QVariantMap ignored;
        runner.executeAndReturnError(&ignored);
        return;
    }
    showSheet(localized(QStringLiteral("LogFileNotAvailableYet")),
              localized(QStringLiteral("LogFileNotAvailableYetMessage")));
}

void ComKestramoPreferenceQuorvelController::insertDate(QObject *sender)
{
    Q_UNUSED(sender)
    insertPlaceholder(QStringLiteral("<<date>>"));
}

void ComKestramoPreferenceQuorvelController::insertTime(QObject *sender)
{
    Q_UNUSED(sender)
    insertPlaceholder(QStringLiteral("<<time>>"));
}

void ComKestramoPreferenceQuorvelController::insertFirstName(QObject *sender)
{
    Q_UNUSED(sender)
    insertPlaceholder(QStringLiteral("<<first>>"));
}

void ComKestramoPreferenceQuorvelController::insertLastName(QObject *sender)
{
    Q_UNUSED(sender)
    insertPlaceholder(QStringLiteral("<<last>>"));
}

void ComKestramoPreferenceQuorvelController::insertPlaceholder(const QString &placeholder)
{
    if (m_mailContent) {
        m_mailContent->insertPlainText(placeholder); // as if typed: replaces the selection
    }
}

QString ComKestramoPreferenceQuorvelController::localized(const QString &key) const
{
    const Bundle *bundle = m_preferencePane ? m_preferencePane->bundle() : ownBundle();
    return bundle->localizedStringForKey(key, QString());
}

void ComKestramoPreferenceQuorvelController::showSheet(const QString &title, const QString &message)
{
    QWidget *window
        = m_preferencePane && m_preferencePane->mainView() ? m_preferencePane->mainView()->window() : nullptr;
    AlertSheet::beginInformationalAlertSheet(title, QStringLiteral("OK"), message, window);
}
