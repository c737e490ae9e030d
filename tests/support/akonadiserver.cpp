#include "akonadiserver.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcessEnvironment>
#include <QTimer>
#include <QtDebug>

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
    m_control.start(QStringLiteral("akonadi_control"), {});
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
    call(m_bus, control, QStringLiteral("/ControlManager"), QStringLiteral("org.freedesktop.Akonadi.ControlManager"),
         QStringLiteral("shutdown"));
    if (m_control.waitForFinished(30000))
        return true;
    qWarning("AkonadiServer: akonadi_control did not end in time, stopping it");
    m_control.kill();
    m_control.waitForFinished();
    return false;
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
