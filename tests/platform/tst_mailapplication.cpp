// The mail application against the real chain: msmtp as sendmail and an SMTP server on 127.0.0.1.
#include "mailapplication.h"
#include "smtpsink.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>

namespace {
// Every message carries lone dots, a long line and every kind of line break, and a line break in
// its subject (which must make no header of its own).
const QString dotsAndLongLine = QStringLiteral("before\n.\nafter\n..\n") + QString(2000, QLatin1Char('x'));

// Sends one such message through the application; returns whether the mail system took it.
bool send(const QString &sender, const QString &to, QString *error)
{
    const auto mail = MailApplication::applicationWithBundleIdentifier(QStringLiteral("com.apple.Mail"));
    if (!mail) {
        return false;
    }
    OutgoingMessage message = mail->outgoingMessage(QStringLiteral("Hi\r\nBcc: eve@example.org"),
                                                    dotsAndLongLine + QStringLiteral("\r\nb\rc\nd"));
    message.setSender(sender);
    message.addToRecipient(to);
    return message.send(error);
}

// Writes an executable shell script below the home.
void writeScript(ThrowAwayHome &home, const QString &relative, const QByteArray &script)
{
    home.writeFile(relative, "#!/bin/sh\n" + script + '\n');
    QFile(home.filePath(relative)).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}
} // namespace

class TestMailApplication : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void delivered_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("envelopeFrom");
        const QString own = SmtpSink::DefaultFrom;
        const QString bob = QStringLiteral("bob@example.org");
        const QString ann = QStringLiteral("ann@example.org");
        QTest::newRow("no sender: the mail system's own") << QString() << bob << own << own;
        QTest::newRow("blank sender: the mail system's own") << QStringLiteral(" \t\u00A0 ") << bob << own << own;
        QTest::newRow("white space around the sender") << QStringLiteral("  ann@example.org\t") << bob << ann << ann;
        QTest::newRow("name and address: header only") << QStringLiteral("Ann Example <ann@example.org>") << bob
                                                       << QStringLiteral("Ann Example <ann@example.org>") << own;
        QTest::newRow("address starting with a dash is no option")
            << QString() << QStringLiteral("-bob@example.org") << own << own;
    }
    void delivered()
    {
        QFETCH(QString, sender);
        QFETCH(QString, to);
        QFETCH(QString, from);
        QFETCH(QString, envelopeFrom);
        ThrowAwayHome home;
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QString error;
        QVERIFY2(send(sender, to, &error), qPrintable(error));
        const auto raw = sink.rawMessages();
        QCOMPARE(raw.size(), 1);
        QCOMPARE(SmtpSink::header(raw[0], "From"), from.toUtf8());
        QCOMPARE(SmtpSink::header(raw[0], "X-MailFrom"), envelopeFrom.toUtf8());
        QCOMPARE(SmtpSink::header(raw[0], "X-RcptTo"), to.toUtf8());
        QCOMPARE(SmtpSink::header(raw[0], "Bcc"), QByteArray());
        const auto message = sink.messages().first();
        QCOMPARE(message->subject()->asUnicodeString(), QStringLiteral("Hi Bcc: eve@example.org"));
        QCOMPARE(message->contentType()->charset().toLower(), QByteArray("utf-8"));
        QCOMPARE(QString::fromUtf8(message->decodedContent()), dotsAndLongLine + QStringLiteral("\nb\nc\nd"));
    }

    void refused_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("to");
        const QString bob = QStringLiteral("bob@example.org");
        QTest::newRow("CR LF in the address") << QString() << QStringLiteral("bob@example.org\r\nBcc: eve@example.org");
        QTest::newRow("LF in the address") << QString() << QStringLiteral("bob@example.org\nTo: eve@example.org");
        QTest::newRow("NEL in the address") << QString() << QStringLiteral("bob@example.org\u0085eve@example.org");
        QTest::newRow("CR LF in the sender") << QStringLiteral("ann@example.org\r\nBcc: eve@example.org") << bob;
        QTest::newRow("two addresses") << QString() << QStringLiteral("bob@example.org, eve@example.org");
        QTest::newRow("no address at all") << QString() << QStringLiteral("bob");
        QTest::newRow("sender that is no address") << QStringLiteral("nobody here") << bob;
    }
    void refused()
    {
        QFETCH(QString, sender);
        QFETCH(QString, to);
        ThrowAwayHome home;
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QString error;
        QVERIFY(!send(sender, to, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY2(!error.contains(QLatin1Char('\n')) && !error.contains(QLatin1Char('\r')), qPrintable(error));
        QCOMPARE(sink.rawMessages().size(), 0);
    }

    // A sendmail on PATH, else the first executable fixed place; none found: no application.
    void sendmailSearch()
    {
        ThrowAwayHome home;
        home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("bin"))));
        const QString fallback = home.filePath(QStringLiteral("sbin/sendmail"));
        MailApplication::setFallbackSendmailPaths({home.filePath(QStringLiteral("missing/sendmail")), fallback});
        const auto program = [] {
            const auto app = MailApplication::applicationWithBundleIdentifier(QStringLiteral("com.apple.Mail"));
            return app ? app->sendmailProgram() : QStringLiteral("none");
        };
        QCOMPARE(program(), QStringLiteral("none"));
        home.writeFile(QStringLiteral("sbin/sendmail"), "#!/bin/sh\nexit 0\n");
        QCOMPARE(program(), QStringLiteral("none")); // not executable
        writeScript(home, QStringLiteral("sbin/sendmail"), "exit 0");
        QCOMPARE(program(), fallback);
        writeScript(home, QStringLiteral("bin/sendmail"), "exit 0"); // PATH comes before the fixed places
        QCOMPARE(program(), home.filePath(QStringLiteral("bin/sendmail")));
        MailApplication::setFallbackSendmailPaths({});
    }

    void stuckSendmailIsStopped()
    {
        ThrowAwayHome home;
        writeScript(home, QStringLiteral("bin/sendmail"), "exec sleep 120");
        home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("bin"))) + ":/usr/bin:/bin");
        auto mail = MailApplication::applicationWithBundleIdentifier(QStringLiteral("com.apple.Mail"));
        QVERIFY(mail);
        mail->setSendTimeout(300);
        OutgoingMessage message = mail->outgoingMessage(QStringLiteral("Hi"), QStringLiteral("x"));
        message.addToRecipient(QStringLiteral("bob@example.org"));
        QString error;
        QVERIFY(!message.send(&error));
        QVERIFY2(error.contains(QStringLiteral("did not finish")), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestMailApplication)
#include "tst_mailapplication.moc"
