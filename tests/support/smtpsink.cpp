#include "smtpsink.h"

#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

const QString SmtpSink::DefaultFrom = QStringLiteral("mailsystem@sink.test");

SmtpSink::SmtpSink(ThrowAwayHome &home) : m_home(home), m_root(home.filePath(QStringLiteral("smtpsink")))
{
    QDir().mkpath(m_root);
}

SmtpSink::~SmtpSink()
{
    stop();
}

QString SmtpSink::binPath() const
{
    return m_root + QStringLiteral("/bin");
}

QString SmtpSink::maildirPath() const
{
    return m_root + QStringLiteral("/Maildir");
}

bool SmtpSink::start()
{
    // Debian's python3 has aiosmtpd; another python3 earlier on PATH may not.
    m_server.setProgram(QStringLiteral("/usr/bin/python3"));
    m_server.setArguments(
        {QStringLiteral(RUVELANT_SOURCE_DIR "/tests/support/smtpsink.py"), maildirPath(), QStringLiteral("0")});
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start();
    QByteArray line;
    while (!line.contains('\n') && m_server.waitForReadyRead(20000)) {
        line += m_server.readAllStandardOutput();
    }
    m_port = line.trimmed().toUShort();
    if (m_port == 0) {
        qWarning("the SMTP sink did not start");
        stop();
        return false;
    }

    const QString config = m_root + QStringLiteral("/msmtprc");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    file.write(QStringLiteral("defaults\nauth off\ntls off\nlogfile\n\naccount default\nhost 127.0.0.1\nport %1\n"
                              "from %2\n")
                   .arg(m_port)
                   .arg(DefaultFrom)
                   .toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);

    QDir().mkpath(binPath());
    QFile wrapper(binPath() + QStringLiteral("/sendmail"));
    if (!wrapper.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    // msmtp by its full path, so that a test may empty PATH after the wrapper was found.
    QString msmtp = QStandardPaths::findExecutable(QStringLiteral("msmtp"));
    if (msmtp.isEmpty()) {
        msmtp = QStandardPaths::findExecutable(QStringLiteral("msmtp"),
                                               {QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin")});
    }
    if (msmtp.isEmpty()) {
        qWarning("msmtp is not installed");
        return false;
    }
    wrapper.write("#!/bin/sh\nexec '" + QFile::encodeName(msmtp) + "' -C '" + QFile::encodeName(config) + "' \"$@\"\n");
    wrapper.close();
    wrapper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

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
    QDir dir(maildirPath() + QStringLiteral("/new"));
    // File names begin with the delivery time in nanoseconds, so the name order is arrival order.
    QStringList names = dir.entryList(QDir::Files, QDir::Name);
    QList<QByteArray> result;
    for (const QString &name : std::as_const(names)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly)) {
            result << file.readAll();
        }
    }
    return result;
}

QList<KMime::Message::Ptr> SmtpSink::messages() const
{
    QList<KMime::Message::Ptr> result;
    const auto raw = rawMessages();
    for (const QByteArray &data : raw) {
        KMime::Message::Ptr message(new KMime::Message);
        message->setContent(data);
        message->parse();
        result << message;
    }
    return result;
}

QByteArray SmtpSink::header(const QByteArray &raw, const QByteArray &name)
{
    const QList<QByteArray> lines = raw.left(raw.indexOf("\n\n")).split('\n');
    QByteArrayList found;
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith(name.toLower() + ':')) {
            found << line.mid(name.size() + 1).trimmed();
        }
    }
    return found.join('|');
}
