// SMTP submission through libcurl against real servers on 127.0.0.1 (tests/support/smtpsink.py):
// STARTTLS and TLS on a certificate this test makes and trusts through SSL_CERT_FILE or
// SSL_CERT_DIR, logins with a password and with an XOAUTH2 token, and each way that a server,
// or the way to it, can fail, with what it means for a reminder.
#include "caldavserver.h"
#include "datatable.h"
#include "smtpsink.h"
#include "smtpsubmission.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

using Security = SmtpSink::Options::Security;
Q_DECLARE_METATYPE(SmtpFailure::Kind)
Q_DECLARE_METATYPE(MailSecurity)
Q_DECLARE_METATYPE(MailAccount::Login)

namespace {
constexpr std::chrono::milliseconds limit(30000);
// Lone dots, a dot-led line, a line as long as SMTP takes and a last line without its line end.
const QByteArray body = "first\n.\n..twice\n" + QByteArray(990, 'x') + "\nlast";

QByteArray message(const QByteArray &from, const QByteArray &to)
{
    return "From: " + from + "\nTo: " + to
        + "\nSubject: Reminder\nMIME-Version: 1.0\n"
          "Content-Type: text/plain; charset=utf-8\n\n"
        + body;
}
} // namespace

class TestSmtpSubmission : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    // The servers: plain without login; STARTTLS with a password; TLS with a password; STARTTLS
    // with an XOAUTH2 token.
    QHash<QString, std::shared_ptr<SmtpSink>> m_sinks;
    QString m_certificateFolder; // a hashed folder holding the test's certificate, for SSL_CERT_DIR

    std::shared_ptr<SmtpSink> startSink(const QString &name, SmtpSink::Options options)
    {
        options.sendmail = false;
        // Each in a folder of its own, sharing the one certificate.
        const auto sink = std::make_shared<SmtpSink>(*m_home, name);
        if (!m_sinks.isEmpty() && !QFile::exists(sink->certificatePath())) {
            QDir().mkpath(m_home->filePath(name));
            QFile::copy(m_sinks.value("starttls"_qs)->certificatePath(), sink->certificatePath());
            QFile::copy(m_sinks.value("starttls"_qs)->keyPath(), sink->keyPath());
        }
        if (!sink->start(options)) {
            return nullptr;
        }
        m_sinks.insert(name, sink);
        return sink;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        SmtpSink::Options starttls;
        starttls.security = Security::StartTls;
        starttls.login = "ann:secret"_qs;
        QVERIFY(startSink("starttls"_qs, starttls));
        SmtpSink::Options tls = starttls;
        tls.security = Security::Tls;
        QVERIFY(startSink("tls"_qs, tls));
        QVERIFY(startSink("plain"_qs, SmtpSink::Options()));
        SmtpSink::Options oauth;
        oauth.security = Security::StartTls;
        oauth.xoauth2 = "ann@example.org:token-1"_qs;
        QVERIFY(startSink("xoauth2"_qs, oauth));
        // A server whose certificate names another host.
        const QString other = m_home->filePath("othername"_qs);
        QDir().mkpath(other);
        QCOMPARE(QProcess::execute("openssl"_qs,
                                   {"req"_qs, "-x509"_qs, "-newkey"_qs, "rsa:2048"_qs, "-nodes"_qs, "-days"_qs, "2"_qs,
                                    "-subj"_qs, "/CN=other.test"_qs, "-addext"_qs, "subjectAltName=DNS:other.test"_qs,
                                    "-keyout"_qs, other + "/key.pem"_qs, "-out"_qs, other + "/cert.pem"_qs}),
                 0);
        QVERIFY(startSink("othername"_qs, starttls));
        // A folder as OpenSSL reads SSL_CERT_DIR: the certificate under its hash's name.
        m_certificateFolder = m_home->filePath("certs"_qs);
        QDir().mkpath(m_certificateFolder);
        QVERIFY(QFile::copy(m_sinks.value("starttls"_qs)->certificatePath(), m_certificateFolder + "/test.pem"_qs));
        QCOMPARE(QProcess::execute("openssl"_qs, {"rehash"_qs, m_certificateFolder}), 0);
    }

    void cleanupTestCase()
    {
        m_sinks.clear();
        m_home.reset();
    }

    // What reaches the server, or why nothing does, and where in the dialog it stopped.
    void submit_data()
    {
        QTest::addColumn<QString>("sink");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port"); // 0: the sink's own
        QTest::addColumn<MailSecurity>("security");
        QTest::addColumn<MailAccount::Login>("login");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<QString>("trust"); // "file", "folder", or nothing
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<SmtpFailure::Kind>("kind");
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("reply");

        const auto pw = MailAccount::Password;
        const QByteArray ann = "ann@example.org";
        const QByteArray bob = "bob@example.org";
        row("STARTTLS, password, certificate in SSL_CERT_FILE", "starttls", "127.0.0.1", 0, MailSecurity::StartTls, pw,
            "secret", "file", ann, bob, SmtpFailure::None, "", 0);
        row("TLS from the start, certificate in SSL_CERT_DIR", "tls", "127.0.0.1", 0, MailSecurity::Tls, pw, "secret",
            "folder", ann, bob, SmtpFailure::None, "", 0);
        row("XOAUTH2 with the right token", "xoauth2", "127.0.0.1", 0, MailSecurity::StartTls, MailAccount::OAuth2,
            "token-1", "file", ann, bob, SmtpFailure::None, "", 0);
        row("plain connection to this computer, no login", "plain", "127.0.0.1", 0, MailSecurity::None,
            MailAccount::NoLogin, "", "", ann, bob, SmtpFailure::None, "", 0);
        row("wrong password", "starttls", "127.0.0.1", 0, MailSecurity::StartTls, pw, "not-it", "file", ann, bob,
            SmtpFailure::LoginRefused, "AUTH", 535);
        row("an old token", "xoauth2", "127.0.0.1", 0, MailSecurity::StartTls, MailAccount::OAuth2, "token-0", "file",
            ann, bob, SmtpFailure::LoginRefused, "AUTH", 535);
        row("no login where one is wanted", "starttls", "127.0.0.1", 0, MailSecurity::StartTls, MailAccount::NoLogin,
            "", "file", ann, bob, SmtpFailure::NotAllowed, "MAIL FROM", 530);
        row("recipient refused for good", "starttls", "127.0.0.1", 0, MailSecurity::StartTls, pw, "secret", "file", ann,
            QByteArray("refused@example.org"), SmtpFailure::RecipientRefused, "RCPT TO", 550);
        row("recipient's mailbox busy", "starttls", "127.0.0.1", 0, MailSecurity::StartTls, pw, "secret", "file", ann,
            QByteArray("busy@example.org"), SmtpFailure::TryAgainLater, "RCPT TO", 450);
        row("sender refused", "starttls", "127.0.0.1", 0, MailSecurity::StartTls, pw, "secret", "file",
            QByteArray("refused@example.org"), bob, SmtpFailure::SenderRefused, "MAIL FROM", 553);
        row("certificate not trusted", "starttls", "127.0.0.1", 0, MailSecurity::StartTls, pw, "secret", "", ann, bob,
            SmtpFailure::UntrustedCertificate, "", 0);
        row("certificate for another name", "othername", "127.0.0.1", 0, MailSecurity::StartTls, pw, "secret", "file",
            ann, bob, SmtpFailure::UntrustedCertificate, "", 0);
        row("STARTTLS not offered", "plain", "127.0.0.1", 0, MailSecurity::StartTls, pw, "secret", "file", ann, bob,
            SmtpFailure::SecureConnectionFailed, "", 0);
        row("TLS to a plain server", "plain", "127.0.0.1", 0, MailSecurity::Tls, pw, "secret", "file", ann, bob,
            SmtpFailure::SecureConnectionFailed, "", 0);
        row("nothing listens", "", "127.0.0.1", int(freePort()), MailSecurity::StartTls, pw, "secret", "file", ann, bob,
            SmtpFailure::Unreachable, "", 0);
        row("the name does not resolve", "", "mail.ruvelant.invalid", 587, MailSecurity::StartTls, pw, "secret", "file",
            ann, bob, SmtpFailure::HostUnknown, "", 0);
    }
    void submit()
    {
        QFETCH(QString, sink);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(MailSecurity, security);
        QFETCH(MailAccount::Login, login);
        QFETCH(QString, secret);
        QFETCH(QString, trust);
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(SmtpFailure::Kind, kind);
        QFETCH(QString, step);
        QFETCH(int, reply);
        const std::shared_ptr<SmtpSink> server = m_sinks.value(sink);
        const int before = server ? server->rawMessages().size() : 0;
        ThrowAwayHome home; // SSL_CERT_FILE and SSL_CERT_DIR for this row alone
        home.setEnv("SSL_CERT_FILE",
                    trust == "file"_qs ? QFile::encodeName(server ? server->certificatePath() : QString())
                                       : QByteArray());
        home.setEnv("SSL_CERT_DIR", trust == "folder"_qs ? QFile::encodeName(m_certificateFolder) : QByteArray());

        SmtpServer smtp {host, port ? port : server->port(), security, login, "ann"_qs, secret};
        if (login == MailAccount::OAuth2) {
            smtp.userName = "ann@example.org"_qs;
        }
        const SmtpFailure failure = SmtpSubmission::send(smtp, from, to, message(from, to), limit);
        QVERIFY2(failure.kind == kind, qPrintable(failure.reason()));
        QCOMPARE(failure.step, step);
        QCOMPARE(failure.reply, reply);
        QCOMPARE(failure.server, QStringLiteral("%1:%2").arg(host).arg(smtp.port));
        if (failure) {
            // The reason reads back as the same failure, and never holds the secret.
            const SmtpFailure read = SmtpFailure::fromReason(failure.reason());
            QCOMPARE(read.kind, failure.kind);
            QVERIFY2(secret.isEmpty() || !failure.reason().contains(secret), qPrintable(failure.reason()));
            if (server) {
                QCOMPARE(server->rawMessages().size(), before);
            }
            return;
        }
        const QList<QByteArray> raw = server->rawMessages();
        QCOMPARE(raw.size(), before + 1);
        QCOMPARE(SmtpSink::header(raw.last(), "X-MailFrom"), from);
        QCOMPARE(SmtpSink::header(raw.last(), "X-RcptTo"), to);
        QCOMPARE(SmtpSink::header(raw.last(), "X-AuthLogin"),
                 login == MailAccount::NoLogin ? QByteArray() : smtp.userName.toUtf8());
        QVERIFY2(raw.last().endsWith("\n\n" + body + "\n"), raw.last().right(80).constData());
    }

    // The login alone, as "Add Account" checks it: nothing is sent.
    void checkLogin_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<SmtpFailure::Kind>("kind");
        row("right password", "secret", SmtpFailure::None);
        row("wrong password", "wrong", SmtpFailure::LoginRefused);
    }
    void checkLogin()
    {
        QFETCH(QString, password);
        QFETCH(SmtpFailure::Kind, kind);
        const std::shared_ptr<SmtpSink> server = m_sinks.value("tls"_qs);
        ThrowAwayHome home;
        home.setEnv("SSL_CERT_FILE", QFile::encodeName(server->certificatePath()));
        const int before = server->rawMessages().size();
        const SmtpFailure failure = SmtpSubmission::checkLogin(
            {"127.0.0.1"_qs, server->port(), MailSecurity::Tls, MailAccount::Password, "ann"_qs, password}, limit);
        QVERIFY2(failure.kind == kind, qPrintable(failure.reason()));
        QCOMPARE(server->rawMessages().size(), before);
    }

    // What a server's answer means, by the command it answers.
    void replies_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<SmtpFailure::Kind>("kind");
        row("unknown user", "RCPT TO", 550, "5.1.1 <bob@example.org>: Recipient address rejected: User unknown",
            SmtpFailure::RecipientRefused);
        row("mailbox gone, no enhanced code", "RCPT TO", 550, "No such user here", SmtpFailure::RecipientRefused);
        row("greylisting", "RCPT TO", 451, "4.7.1 Greylisted, try again later", SmtpFailure::TryAgainLater);
        row("relay access denied", "RCPT TO", 554, "5.7.1 <bob@example.net>: Relay access denied",
            SmtpFailure::NotAllowed);
        row("relaying without enhanced code", "RCPT TO", 550, "relaying denied", SmtpFailure::NotAllowed);
        row("login wanted at RCPT", "RCPT TO", 530, "5.7.0 Authentication required", SmtpFailure::NotAllowed);
        row("policy refusal of the address", "RCPT TO", 550, "5.7.1 Recipient rejected by policy",
            SmtpFailure::RecipientRefused);
        row("sender not owned", "MAIL FROM", 553, "5.7.1 Sender address rejected: not owned by user",
            SmtpFailure::SenderRefused);
        row("login wanted at MAIL", "MAIL FROM", 530, "5.7.0 Authentication required", SmtpFailure::NotAllowed);
        row("bad credentials", "AUTH", 535, "5.7.8 Authentication credentials invalid", SmtpFailure::LoginRefused);
        row("web login needed", "AUTH", 534, "5.7.9 Please log in with your web browser", SmtpFailure::LoginRefused);
        row("login busy", "AUTH", 454, "4.7.0 Temporary authentication failure", SmtpFailure::TryAgainLater);
        row("spam refused", "END OF DATA", 554, "5.7.1 Message rejected as spam", SmtpFailure::MessageRefused);
        row("no service at greeting", "CONNECT", 554, "No SMTP service here", SmtpFailure::Failed);
    }
    void replies()
    {
        QFETCH(QString, step);
        QFETCH(int, code);
        QFETCH(QString, text);
        QFETCH(SmtpFailure::Kind, kind);
        QCOMPARE(SmtpFailure::kindOfReply(step, code, text), kind);
    }

    // The log's reason reads back whole, also with words after the server's answer that look
    // like a reason's own parts; any other text is no reason at all.
    void reasons_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<SmtpFailure::Kind>("kind");
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("reply");
        QTest::addColumn<QString>("detail");
        row("refusal with the server's words",
            "SMTP server smtp.example.org:587 for ann@example.org: recipient refused at RCPT TO: 550 5.1.1 no: such "
            "user",
            SmtpFailure::RecipientRefused, "RCPT TO", 550, "550 5.1.1 no: such user");
        row("an IPv6 server without words", "SMTP server [::1]:25 for ann@example.org: not reachable",
            SmtpFailure::Unreachable, "", 0, "");
        row("login refused", "SMTP server smtp.gmail.com:465 for ann@gmail.com: login refused at AUTH: 535 bad",
            SmtpFailure::LoginRefused, "AUTH", 535, "535 bad");
        row("sendmail's words", "/usr/sbin/sendmail exited with status 75", SmtpFailure::None, "", 0, "");
        row("unknown words", "SMTP server a:1 for b@c: exploded", SmtpFailure::None, "", 0, "");
    }
    void reasons()
    {
        QFETCH(QString, text);
        QFETCH(SmtpFailure::Kind, kind);
        QFETCH(QString, step);
        QFETCH(int, reply);
        QFETCH(QString, detail);
        const SmtpFailure failure = SmtpFailure::fromReason(text);
        QCOMPARE(failure.kind, kind);
        QCOMPARE(failure.step, step);
        QCOMPARE(failure.reply, reply);
        QCOMPARE(failure.detail, detail);
        if (failure) {
            QCOMPARE(failure.reason(), text);
        }
    }
};

QTEST_GUILESS_MAIN(TestSmtpSubmission)
#include "tst_smtpsubmission.moc"
