#include "edsbus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <sys/prctl.h>

namespace {
const char *const edsServices[]
    = {"org.gnome.evolution.dataserver.Sources5", "org.gnome.evolution.dataserver.Calendar8",
       "org.gnome.evolution.dataserver.AddressBook10"};

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}
} // namespace

void EdsBus::Daemon::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
}

EdsBus::EdsBus(const QString &folder, Services services) : m_folder(folder), m_services(services) { }

EdsBus::~EdsBus()
{
    stop();
}

bool EdsBus::start()
{
    const QString services = m_folder + QStringLiteral("/services");
    QDir().mkpath(services);
    if (m_services == WithEds) {
        for (const char *service : edsServices) {
            const QString file = QStringLiteral("%1.service").arg(QLatin1String(service));
            QFile::copy(QStringLiteral("/usr/share/dbus-1/services/") + file, services + QLatin1Char('/') + file);
        }
    } else if (m_services == StuckEds) {
        // Started, it never takes its name: the bus waits for it until its own time limit.
        const QString program = m_folder + QStringLiteral("/stuck-registry");
        writeFile(program, "#!/bin/sh\necho $$ > '" + QFile::encodeName(m_folder) + "/stuck.pid'\nexec sleep 120\n");
        QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        writeFile(services + QStringLiteral("/org.gnome.evolution.dataserver.Sources5.service"),
                  "[D-BUS Service]\nName=org.gnome.evolution.dataserver.Sources5\nExec=" + QFile::encodeName(program)
                      + "\n");
    }
    const QByteArray config = "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                              "<busconfig>\n  <type>session</type>\n  <listen>unix:dir="
        + QFile::encodeName(m_folder) + "</listen>\n  <auth>EXTERNAL</auth>\n  <servicedir>"
        + QFile::encodeName(services)
        + "</servicedir>\n"
          "  <limit name=\"service_start_timeout\">60000</limit>\n"
          "  <policy context=\"default\">\n    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
          "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n";
    const QString configPath = m_folder + QStringLiteral("/bus.conf");
    if (!writeFile(configPath, config)) {
        qWarning("cannot write %s", qPrintable(configPath));
        return false;
    }
    // The services it starts keep their settings in the throw-away home, never in dconf.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("keyfile"));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    m_daemon.setProcessEnvironment(environment);
    m_daemon.setProcessChannelMode(QProcess::SeparateChannels);
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                    QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(10000)) {
        qWarning("dbus-daemon did not start (is the Debian package dbus-daemon installed?)");
        return false;
    }
    for (int i = 0; i < 200 && !m_daemon.canReadLine(); ++i)
        m_daemon.waitForReadyRead(100);
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty()) {
        qWarning("dbus-daemon gave no address: %s", m_daemon.readAllStandardError().constData());
        return false;
    }
    return true;
}

QList<qint64> EdsBus::connectedProcesses() const
{
    QList<qint64> pids;
    const QString name = QStringLiteral("ruvelant-edsbus-%1").arg(quintptr(this));
    {
        QDBusConnection bus = QDBusConnection::connectToBus(m_address, name);
        if (bus.isConnected() && bus.interface()) {
            const QDBusReply<QStringList> names = bus.interface()->registeredServiceNames();
            for (const QString &service : names.value()) {
                const QDBusReply<uint> pid = bus.interface()->servicePid(service);
                const qint64 own = QCoreApplication::applicationPid();
                if (pid.isValid() && pid.value() > 0 && qint64(pid.value()) != own && !pids.contains(pid.value())
                    && qint64(pid.value()) != m_daemon.processId())
                    pids.append(pid.value());
            }
        }
    }
    QDBusConnection::disconnectFromBus(name);
    return pids;
}

void EdsBus::stop()
{
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    // What the bus started: the services connected to it, and a registry that never answered.
    QList<qint64> started = connectedProcesses();
    QFile stuck(m_folder + QStringLiteral("/stuck.pid"));
    if (stuck.open(QIODevice::ReadOnly))
        started.append(stuck.readAll().trimmed().toLongLong());
    for (const qint64 pid : std::as_const(started)) {
        if (pid > 0)
            ::kill(pid_t(pid), SIGTERM);
    }
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(10000)) {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }
    // Those that do not end on their own in a few seconds are ended for good.
    for (int i = 0; i < 50; ++i) {
        const bool running = std::any_of(started.cbegin(), started.cend(),
                                         [](qint64 pid) { return pid > 0 && ::kill(pid_t(pid), 0) == 0; });
        if (!running)
            break;
        QThread::msleep(100);
    }
    for (const qint64 pid : std::as_const(started)) {
        if (pid > 0 && ::kill(pid_t(pid), 0) == 0)
            ::kill(pid_t(pid), SIGKILL);
    }
}
