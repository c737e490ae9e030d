#include "scripteddavserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

ScriptedDavServer::ScriptedDavServer(const QString &scenario, bool tls) : m_scenario(scenario), m_tls(tls) { }

ScriptedDavServer::~ScriptedDavServer()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(20000)) {
            m_server.kill();
            m_server.waitForFinished();
        }
    }
}

bool ScriptedDavServer::start()
{
    QStringList arguments {QStringLiteral(RUVELANT_SOURCE_DIR "/tests/support/scripteddav.py"), m_scenario,
                           m_dir.filePath(QStringLiteral("requests.log"))};
    if (m_tls) {
        const QString key = m_dir.filePath(QStringLiteral("key.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                       QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                       QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
                       QStringLiteral("-keyout"), key, QStringLiteral("-out"), certificatePath()});
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
            qWarning("openssl could not make a certificate");
            return false;
        }
        arguments << certificatePath() << key;
    }
    // Debian's python3, as the other servers of the tests.
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(QStringLiteral("/usr/bin/python3"), arguments);
    QByteArray line;
    while (!line.contains('\n') && m_server.waitForReadyRead(60000)) {
        line += m_server.readAllStandardOutput();
    }
    const QList<QByteArray> ports = line.trimmed().split(' ');
    m_port = ports.value(0).toUShort();
    m_otherPort = ports.value(1).toUShort();
    if (m_port == 0 || m_otherPort == 0) {
        qWarning("the scripted CalDAV server did not start");
        return false;
    }
    return true;
}

QString ScriptedDavServer::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2/")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_port);
}

QString ScriptedDavServer::otherUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2/")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_otherPort);
}

QString ScriptedDavServer::certificatePath() const
{
    return m_dir.filePath(QStringLiteral("certificate.pem"));
}

namespace {
QList<QJsonObject> entries(const QString &path)
{
    QList<QJsonObject> result;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty()) {
                result.append(QJsonDocument::fromJson(line).object());
            }
        }
    }
    return result;
}
} // namespace

QList<ScriptedDavServer::Request> ScriptedDavServer::requests() const
{
    QList<Request> result;
    for (const QJsonObject &entry : entries(m_dir.filePath(QStringLiteral("requests.log")))) {
        if (entry.contains(QLatin1String("method"))) {
            result.append({quint16(entry.value(QLatin1String("port")).toInt()),
                           entry.value(QLatin1String("method")).toString(),
                           entry.value(QLatin1String("path")).toString(), entry.value(QLatin1String("auth")).toBool(),
                           entry.value(QLatin1String("agent")).toString()});
        }
    }
    return result;
}

int ScriptedDavServer::requestsWithCredentials(quint16 port) const
{
    int count = 0;
    for (const Request &request : requests()) {
        count += request.port == port && request.withCredentials ? 1 : 0;
    }
    return count;
}

qint64 ScriptedDavServer::largestCutOffAnswer() const
{
    qint64 largest = 0;
    for (const QJsonObject &entry : entries(m_dir.filePath(QStringLiteral("requests.log")))) {
        largest = qMax(largest, qint64(entry.value(QLatin1String("sent")).toDouble()));
    }
    return largest;
}
