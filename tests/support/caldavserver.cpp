#include "caldavserver.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

CalDavServer::CalDavServer(const QString &root, const QHash<QString, QString> &users, bool tls)
    : m_root(root), m_users(users), m_tls(tls)
{
}

CalDavServer::~CalDavServer()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(20000)) {
            m_server.kill();
            m_server.waitForFinished();
        }
    }
}

void CalDavServer::writeUsers() const
{
    QByteArray lines;
    for (auto it = m_users.cbegin(); it != m_users.cend(); ++it) {
        lines += it.key().toUtf8() + ':' + it.value().toUtf8() + '\n';
    }
    QFile file(m_root + QStringLiteral("/users"));
    file.open(QIODevice::WriteOnly);
    file.write(lines);
}

bool CalDavServer::start()
{
    QDir().mkpath(m_root);
    writeUsers();
    m_port = freePort();
    QByteArray config = "[server]\nhosts = 127.0.0.1:" + QByteArray::number(m_port) + "\n";
    if (m_tls) {
        const QString key = m_root + QStringLiteral("/key.pem");
        const QString certificate = m_root + QStringLiteral("/certificate.pem");
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                       QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                       QStringLiteral("-keyout"), key, QStringLiteral("-out"), certificate});
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
            qWarning("openssl could not make a certificate");
            return false;
        }
        config += "ssl = True\ncertificate = " + QFile::encodeName(certificate) + "\nkey = " + QFile::encodeName(key)
            + "\n";
    }
    if (m_users.isEmpty()) {
        // Anyone, without a password, reads and writes every calendar.
        QFile rights(m_root + QStringLiteral("/rights"));
        rights.open(QIODevice::WriteOnly);
        rights.write("[everyone]\nuser: .*\ncollection: .*\npermissions: RrWw\n");
        config += "[auth]\ntype = none\n[rights]\ntype = from_file\nfile = " + QFile::encodeName(m_root) + "/rights\n";
    } else {
        config += "[auth]\ntype = htpasswd\nhtpasswd_filename = " + QFile::encodeName(m_root)
            + "/users\n"
              "htpasswd_encryption = plain\ndelay = 0\n"
              "[rights]\ntype = owner_only\n";
    }
    config += "[storage]\nfilesystem_folder = " + QFile::encodeName(m_root)
        + "/collections\n"
          "[logging]\nlevel = warning\n";
    QFile file(m_root + QStringLiteral("/config"));
    file.open(QIODevice::WriteOnly);
    file.write(config);
    file.close();

    m_server.setProcessChannelMode(QProcess::ForwardedChannels);
    m_server.start(QStringLiteral("radicale"), {QStringLiteral("--config"), m_root + QStringLiteral("/config")});
    for (int i = 0; i < 200 && m_server.state() != QProcess::NotRunning; ++i) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(100)) {
            return true;
        }
        QThread::msleep(50);
    }
    qWarning("Radicale did not start (is the Debian package radicale installed?)");
    return false;
}

QString CalDavServer::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2/")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_port);
}

void CalDavServer::setPassword(const QString &user, const QString &password)
{
    m_users.insert(user, password);
    writeUsers();
}

int CalDavServer::request(const QByteArray &method, const QString &path, const QString &user, const QByteArray &content,
                          QByteArray *body) const
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(url()).resolved(QUrl(path)));
    if (!user.isEmpty()) {
        request.setRawHeader("Authorization",
                             "Basic " + (user.toUtf8() + ':' + m_users.value(user).toUtf8()).toBase64());
    }
    if (content.startsWith("BEGIN:VCALENDAR")) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("text/calendar; charset=utf-8"));
    } else if (!content.isEmpty()) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/xml; charset=utf-8"));
    }
    QNetworkReply *reply = network.sendCustomRequest(request, method, content);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    if (body) {
        *body = reply->readAll();
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply->deleteLater();
    return status;
}

bool CalDavServer::makeCalendar(const QString &user, const QString &name, const QString &displayName) const
{
    const QByteArray body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                            "<C:mkcalendar xmlns:D=\"DAV:\" xmlns:C=\"urn:ietf:params:xml:ns:caldav\"><D:set><D:prop>"
                            "<D:displayname>"
        + displayName.toHtmlEscaped().toUtf8() + "</D:displayname></D:prop></D:set></C:mkcalendar>";
    return request("MKCALENDAR", QStringLiteral("/%1/%2/").arg(user, name), user, body) == 201;
}
