#include "akonadiserver.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcessEnvironment>
#include <QTimer>
#include <QtDebug>

#include <csignal>

namespace {
const QString control = QStringLiteral("org.freedesktop.Akonadi.Control");
const QString server = QStringLiteral("org.freedesktop.Akonadi");
constexpr int startBound = 60000;

bool writeText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

// Waits (with the event loop running) until ready() holds, at most timeoutMs.
template<typename Ready> bool waitFor(Ready ready, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!ready()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

QDBusMessage call(QDBusConnection &bus, const QString &service, const QString &path, const QString &interface,
                  const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, 60000);
}
} // namespace

AkonadiServer::AkonadiServer(const QString &home) : m_home(home), m_bus(QDBusConnection::sessionBus()) { }

AkonadiServer::~AkonadiServer()
{
    stop();
}

bool AkonadiServer::start()
{
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!m_bus.isConnected() || !config.startsWith(m_home)) {
        qWarning("AkonadiServer: needs a session bus and the throw-away home's XDG folders");
        return false;
    }
    // SQLite in the home, no search index, no default calendar or address book made on first start.
    writeText(config + QStringLiteral("/akonadi/akonadiserverrc"),
              "[General]\nDriver=QSQLITE3\n[Search]\nManager=Dummy\n[Debug]\nTracer=null\n");
    writeText(config + QStringLiteral("/akonadi-firstrunrc"),
              "[ProcessedDefaults]\ndefaultaddressbook=done\ndefaultcalendar=done\ndefaultnotebook="
              "done\nbirthdaycalendar=done\n");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("AKONADI_DISABLE_AGENT_AUTOSTART"), QStringLiteral("true"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false;*.info=false"));
    environment.remove(QStringLiteral("AKONADI_INSTANCE"));
    m_control.setProcessEnvironment(environment);
    m_control.setStandardOutputFile(m_home + QStringLiteral("/akonadi.log"));
    m_control.setStandardErrorFile(m_home + QStringLiteral("/akonadi.log"), QIODevice::Append);
    // The server's processes (control, server, agents) form a process group of their own, whose
    // leader ends it when this test process has ended, also by a crash: none outlives the test.
    const QString watch
        = QStringLiteral("akonadi_control & while kill -0 %1 2>/dev/null; do sleep 1; done; kill -KILL 0")
              .arg(QCoreApplication::applicationPid());
    m_control.start(QStringLiteral("setsid"), {QStringLiteral("sh"), QStringLiteral("-c"), watch});
    if (!m_control.waitForStarted()) {
        qWarning("AkonadiServer: akonadi_control does not start: %s", qPrintable(m_control.errorString()));
        return false;
    }
    const bool up = waitFor(
        [this] {
            if (!m_bus.interface()->isServiceRegistered(control) || !m_bus.interface()->isServiceRegistered(server))
                return false;
            const QDBusMessage types
                = call(m_bus, control, QStringLiteral("/AgentManager"),
                       QStringLiteral("org.freedesktop.Akonadi.AgentManager"), QStringLiteral("agentTypes"));
            return types.arguments().value(0).toStringList().contains(QStringLiteral("akonadi_ical_resource"));
        },
        startBound);
    if (!up)
        qWarning("AkonadiServer: the server did not come up; see %s/akonadi.log", qPrintable(m_home));
    return up;
}

bool AkonadiServer::stop()
{
    if (m_control.state() == QProcess::NotRunning)
        return true;
    QDBusMessage shutdown = QDBusMessage::createMethodCall(control, QStringLiteral("/ControlManager"),
                                                           QStringLiteral("org.freedesktop.Akonadi.ControlManager"),
                                                           QStringLiteral("shutdown"));
    shutdown.setAutoStartService(false);
    m_bus.call(shutdown, QDBus::Block, 30000);
    const bool ended = waitFor(
        [this] {
            return !m_bus.interface()->isServiceRegistered(control) && !m_bus.interface()->isServiceRegistered(server);
        },
        30000);
    if (!ended)
        qWarning("AkonadiServer: the server did not shut down in time, stopping it");
    // What is left of the group (its leader, an agent that did not quit) is stopped.
    ::kill(-pid_t(m_control.processId()), SIGKILL);
    m_control.waitForFinished();
    return ended;
}

void AkonadiServer::writeSettings(const QString &identifier, const QString &path, const QString &displayName,
                                  bool readOnly) const
{
    // The resource reads its settings from <identifier>rc when it starts or is told to reconfigure.
    writeText(qEnvironmentVariable("XDG_CONFIG_HOME") + QLatin1Char('/') + identifier + QStringLiteral("rc"),
              "[General]\nPath=" + path.toUtf8() + "\nDisplayName=" + displayName.toUtf8()
                  + "\nReadOnly=" + (readOnly ? "true" : "false") + "\nMonitorFile=false\n");
}

QString AkonadiServer::addResource(const QString &type, const QString &path, const QString &displayName, bool readOnly)
{
    // The server numbers a type's instances from 0 on: the settings are there before it starts.
    const QString expected = type + QLatin1Char('_') + QString::number(m_instances[type]++);
    writeSettings(expected, path, displayName, readOnly);
    const QDBusMessage made
        = call(m_bus, control, QStringLiteral("/AgentManager"), QStringLiteral("org.freedesktop.Akonadi.AgentManager"),
               QStringLiteral("createAgentInstance"), {type});
    const QString identifier = made.arguments().value(0).toString();
    if (identifier != expected) {
        qWarning("AkonadiServer: made %s instead of %s: %s", qPrintable(identifier), qPrintable(expected),
                 qPrintable(made.errorMessage()));
        return QString();
    }
    return synchronize(identifier) ? identifier : QString();
}

bool AkonadiServer::synchronize(const QString &identifier)
{
    const QString service = QStringLiteral("org.freedesktop.Akonadi.Resource.") + identifier;
    if (!waitFor([&] { return m_bus.interface()->isServiceRegistered(service).value(); }, startBound)) {
        qWarning("AkonadiServer: the resource %s does not start", qPrintable(identifier));
        return false;
    }
    // The resource says "synchronized" once it has put the file's content into the server.
    QEventLoop loop;
    QTimer timer;
    const bool connected
        = m_bus.connect(service, QStringLiteral("/"), QStringLiteral("org.freedesktop.Akonadi.Resource"),
                        QStringLiteral("synchronized"), &loop, SLOT(quit()));
    const QDBusMessage reply = call(m_bus, service, QStringLiteral("/"),
                                    QStringLiteral("org.freedesktop.Akonadi.Resource"), QStringLiteral("synchronize"));
    if (!connected || reply.type() == QDBusMessage::ErrorMessage) {
        qWarning("AkonadiServer: %s cannot synchronize: %s", qPrintable(identifier), qPrintable(reply.errorMessage()));
        return false;
    }
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] { loop.exit(1); });
    timer.start(startBound);
    const bool synchronized = loop.exec() == 0;
    m_bus.disconnect(service, QStringLiteral("/"), QStringLiteral("org.freedesktop.Akonadi.Resource"),
                     QStringLiteral("synchronized"), &loop, SLOT(quit()));
    if (!synchronized)
        qWarning("AkonadiServer: %s did not synchronize in time", qPrintable(identifier));
    return synchronized;
}

QString AkonadiServer::addCalendarFile(const QString &path, const QString &displayName, bool readOnly)
{
    return addResource(QStringLiteral("akonadi_ical_resource"), path, displayName, readOnly);
}

QString AkonadiServer::addContactsFile(const QString &path, const QString &displayName)
{
    return addResource(QStringLiteral("akonadi_vcard_resource"), path, displayName, false);
}

bool AkonadiServer::removeResource(const QString &identifier)
{
    const QDBusMessage reply
        = call(m_bus, control, QStringLiteral("/AgentManager"), QStringLiteral("org.freedesktop.Akonadi.AgentManager"),
               QStringLiteral("removeAgentInstance"), {identifier});
    return reply.type() == QDBusMessage::ReplyMessage;
}
