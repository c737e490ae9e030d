#include "smtpsink.h"

#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

const QString SmtpSink::DefaultFrom = QStringLiteral("mailsystem@sink.test");

SmtpSink::SmtpSink(ThrowAwayHome &home, const QString &folder) : m_home(home), m_root(home.filePath(folder)) { }

SmtpSink::~SmtpSink()
{
    stop();
}

bool SmtpSink::start()
{
    return start(Options());
}

bool SmtpSink::start(const Options &options)
{
    QStringList arguments {QStringLiteral(RUVELANT_SOURCE_DIR "/tests/support/smtpsink.py")};
    if (options.security != Options::Plain) {
        QDir().mkpath(m_root);
        if (!QFile::exists(certificatePath())) {
            QProcess openssl;
            openssl.setProcessChannelMode(QProcess::ForwardedChannels);
            openssl.start(QStringLiteral("openssl"),
                          {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                           QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                           QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                           QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost"),
                           QStringLiteral("-keyout"), keyPath(), QStringLiteral("-out"), certificatePath()});
            if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
                qWarning("openssl could not make the test's certificate");
                return false;
            }
        }
        arguments << (options.security == Options::Tls ? QStringLiteral("--tls") : QStringLiteral("--starttls"))
                  << certificatePath() << keyPath();
    }
    if (!options.login.isEmpty()) {
        arguments << QStringLiteral("--login") << options.login;
    }
    if (!options.xoauth2.isEmpty()) {
        arguments << QStringLiteral("--xoauth2") << options.xoauth2;
    }
    arguments << maildirPath() << QStringLiteral("0");
    // Debian's python3 has aiosmtpd; another python3 earlier on PATH may not.
    m_server.setProgram(QStringLiteral("/usr/bin/python3"));
    m_server.setArguments(arguments);
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start();
    QByteArray line;
    while (!line.contains('\n') && m_server.waitForReadyRead(20000)) {
        line += m_server.readAllStandardOutput();
    }
    const quint16 port = line.trimmed().toUShort();
    m_port = port;
    if (port == 0) {
        qWarning("the SMTP sink did not start");
        stop();
        return false;
    }
    if (!options.sendmail) {
        return true;
    }
    QStringList folders = QString::fromLocal8Bit(qgetenv("PATH")).split(QLatin1Char(':'));
    const QString msmtp
        = QStandardPaths::findExecutable(QStringLiteral("msmtp"), folders << QStringLiteral("/usr/bin"));
    if (msmtp.isEmpty()) {
        qWarning("msmtp is not installed");
        stop();
        return false;
    }
    m_home.copyFixture(QStringLiteral("smtpsink"), QStringLiteral("smtpsink"),
                       {{"@PORT@", QByteArray::number(port)},
                        {"@FROM@", DefaultFrom.toUtf8()},
                        {"@MSMTP@", QFile::encodeName(msmtp)},
                        {"@ROOT@", QFile::encodeName(m_root)}});
    QFile(m_root + QStringLiteral("/msmtprc")).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    QFile(binPath() + QStringLiteral("/sendmail"))
        .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_home.setEnv("PATH", QFile::encodeName(binPath()) + ':' + qgetenv("PATH"));
    return true;
}

void SmtpSink::stop()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(20000)) {
            m_server.kill();
            m_server.waitForFinished();
        }
    }
}

QList<QByteArray> SmtpSink::rawMessages() const
{
    const QDir dir(maildirPath() + QStringLiteral("/new"));
    QList<QByteArray> result;
    // File names begin with the delivery time in nanoseconds, so the name order is arrival order.
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
        result << readFile(dir.filePath(name));
    }
    return result;
}

QList<KMime::Message::Ptr> SmtpSink::messages() const
{
    QList<KMime::Message::Ptr> result;
    for (const QByteArray &data : rawMessages()) {
        result << KMime::Message::Ptr(new KMime::Message);
        result.last()->setContent(data);
        result.last()->parse();
    }
    return result;
}

QByteArray SmtpSink::header(const QByteArray &raw, const QByteArray &name)
{
    QByteArrayList found;
    const int end = raw.indexOf("\n\n"); // a message may have no body at all
    for (const QByteArray &line : raw.left(end < 0 ? raw.size() : end).split('\n')) {
        if (line.toLower().startsWith(name.toLower() + ':')) {
            found << line.mid(name.size() + 1).trimmed();
        }
    }
    return found.join('|');
}
