#include "installedpane.h"

#include "bundle.h"
#include "commandline.h"
#include "launchagent.h"
#include "userfolders.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString paneName = QStringLiteral("Ruvelant.prefPane");

// The build tree's pane, when this program runs from the build tree's bin folder.
QString builtPane()
{
    const QDir programs = QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absoluteDir();
    const QString top = QFileInfo(programs.absolutePath()).absolutePath();
    if (!QFileInfo::exists(top + QStringLiteral("/CMakeCache.txt"))) {
        return QString();
    }
    return top + QLatin1Char('/') + paneName;
}
} // namespace

InstalledPane::InstalledPane() = default;
InstalledPane::~InstalledPane()
{
    if (m_agent && Bundle::mainBundle() == m_agent.get()) {
        Bundle::setMainBundle(nullptr);
    }
}

bool InstalledPane::find(QString *error)
{
    QStringList places {builtPane()};
    if (places.first().isEmpty()) {
        places = QStringList {userLibraryPath() + QStringLiteral("/PreferencePanes/") + paneName,
                              systemLibraryPath() + QStringLiteral("/PreferencePanes/") + paneName};
    }
    for (const QString &place : qAsConst(places)) {
        if (!QFileInfo(place).isDir()) {
            continue;
        }
        m_path = place;
        const QFileInfo agent(agentPath());
        if (agent.isFile() && agent.isExecutable()) {
            return true;
        }
        *error = QStringLiteral("the pane %1 has no agent program %2: install it again with RuvelantInstaller")
                     .arg(place, agent.filePath());
        m_path.clear();
        return false;
    }
    *error = QStringLiteral("no Ruvelant pane is installed (looked for %1): install it with RuvelantInstaller "
                            "(RuvelantInstaller --install without a display)")
                 .arg(places.join(QStringLiteral(" and ")));
    return false;
}

QString InstalledPane::version() const
{
    return Bundle(m_path).objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString();
}

QString InstalledPane::agentPath() const
{
    return m_path + QStringLiteral("/Contents/Resources/") + LaunchAgent::agentName();
}

QString InstalledPane::notifierPath() const
{
    return m_path + QStringLiteral("/Contents/Resources/RuvelantNotifier");
}

void InstalledPane::actAsAgent()
{
    m_agent = Bundle::ofProgram(agentPath());
    Bundle::setMainBundle(m_agent.get());
}

int InstalledPane::open(int statusWithout)
{
    QString error;
    if (!find(&error)) {
        return Output::fail(error, statusWithout);
    }
    actAsAgent();
    return -1;
}

int InstalledPane::openFor(SubcommandLine &line, const QStringList &arguments, int statusWithout)
{
    const int status = line.parse(arguments, 0, 0);
    return status >= 0 ? status : open(statusWithout);
}

const Bundle &InstalledPane::texts() const
{
    return *m_agent;
}
