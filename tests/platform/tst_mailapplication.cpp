// The mail application against the real chain: msmtp as sendmail and an SMTP server on 127.0.0.1.
#include "mailapplication.h"
#include "smtpsink.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QTest>

class TestMailApplication : public QObject
{
    Q_OBJECT

private:
    // Sends one message through the application; returns whether the mail system took it.
    static bool send(const QString &sender, const QString &to, const QString &subject, const QString &content,
                     QString *error = nullptr)
    {
        const auto mail = MailApplication::applicationWithBundleIdentifier(QStringLiteral("com.apple.Mail"));
        if (!mail) {
            qWarning("no mail application");
            return false;
        }
        OutgoingMessage message = mail->outgoingMessage(subject, content);
        if (!sender.isNull()) {
            message.setSender(sender);
        }
        message.setVisible(false);
        message.addToRecipient(to);
        return message.send(error);
    }

private Q_SLOTS:
    void sender_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("envelopeFrom");
        const QString mailSystem = SmtpSink::DefaultFrom;
        QTest::newRow("no sender: the mail system's own") << QString() << mailSystem << mailSystem;
        QTest::newRow("blank sender: the mail system's own") << QStringLiteral(" \t ") << mailSystem << mailSystem;
        QTest::newRow("plain address") << QStringLiteral("ann@example.org") << QStringLiteral("ann@example.org")
                                       << QStringLiteral("ann@example.org");
        QTest::newRow("spaces around the address")
            << QStringLiteral("  ann@example.org ") << QStringLiteral("ann@example.org")
            << QStringLiteral("ann@example.org");
        QTest::newRow("tab after the address")
            << QStringLiteral("ann@example.org\t") << QStringLiteral("ann@example.org")
            << QStringLiteral("ann@example.org");
        QTest::newRow("name and address: header only") << QStringLiteral("Ann Example <ann@example.org>")
                                                       << QStringLiteral("Ann Example <ann@example.org>") << mailSystem;
    }
    void sender()
    {
        QFETCH(QString, sender);
        QFETCH(QString, from);
        QFETCH(QString, envelopeFrom);
        ThrowAwayHome home;
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QString error;
        QVERIFY2(send(sender, QStringLiteral("bob@example.org"), QStringLiteral("Hi"), QStringLiteral("Body"), &error),
                 qPrintable(error));
        const auto raw = sink.rawMessages();
        QCOMPARE(raw.size(), 1);
        QCOMPARE(SmtpSink::header(raw[0], "From"), from.toUtf8());
        QCOMPARE(SmtpSink::header(raw[0], "X-MailFrom"), envelopeFrom.toUtf8());
        QCOMPARE(SmtpSink::header(raw[0], "To"), QByteArray("bob@example.org"));
        QCOMPARE(SmtpSink::header(raw[0], "X-RcptTo"), QByteArray("bob@example.org"));
        QCOMPARE(SmtpSink::header(raw[0], "Cc") + SmtpSink::header(raw[0], "Bcc"), QByteArray());
    }

    void content_data()
    {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("expectedSubject");
        QTest::addColumn<QString>("expectedContent");
        QTest::addColumn<bool>("encodedSubject");
        const QString utf8 = QStringLiteral("Grüße, Zoë – 会议 🙂");
        QTest::newRow("UTF-8 subject and body") << utf8 << utf8 + QStringLiteral("\nzweite Zeile\n") << utf8
                                                << utf8 + QStringLiteral("\nzweite Zeile\n") << true;
        const QString dot = QStringLiteral("before\n.\nafter\n..\n");
        QTest::newRow("a line with a lone dot")
            << QStringLiteral("Dots") << dot << QStringLiteral("Dots") << dot << false;
        const QString longLine = QString(2000, QLatin1Char('x')) + QStringLiteral("\nend");
        QTest::newRow("a 2000-character line")
            << QStringLiteral("Long") << longLine << QStringLiteral("Long") << longLine << false;
        QTest::newRow("CR LF, lone CR and LF are each one line break")
            << QStringLiteral("Breaks") << QStringLiteral("a\r\nb\rc\nd") << QStringLiteral("Breaks")
            << QStringLiteral("a\nb\nc\nd") << false;
        QTest::newRow("a line break in the subject makes no header")
            << QStringLiteral("Hi\r\nBcc: eve@example.org") << QStringLiteral("x")
            << QStringLiteral("Hi Bcc: eve@example.org") << QStringLiteral("x") << false;
    }
    void content()
    {
        QFETCH(QString, subject);
        QFETCH(QString, content);
        QFETCH(QString, expectedSubject);
        QFETCH(QString, expectedContent);
        QFETCH(bool, encodedSubject);
        ThrowAwayHome home;
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QVERIFY(send(QStringLiteral("ann@example.org"), QStringLiteral("bob@example.org"), subject, content));
        const auto raw = sink.rawMessages();
        QCOMPARE(raw.size(), 1);
        QCOMPARE(SmtpSink::header(raw[0], "X-RcptTo"), QByteArray("bob@example.org"));
        QCOMPARE(SmtpSink::header(raw[0], "Bcc"), QByteArray());
        const auto message = sink.messages().first();
        QCOMPARE(message->subject()->asUnicodeString(), expectedSubject);
        QCOMPARE(message->contentType()->charset().toLower(), QByteArray("utf-8"));
        QCOMPARE(QString::fromUtf8(message->decodedContent()), expectedContent);
        QCOMPARE(SmtpSink::header(raw[0], "Subject").startsWith("=?"), encodedSubject);
    }

    void refused_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("to");
        QTest::newRow("CR LF in the address") << QString() << QStringLiteral("bob@example.org\r\nBcc: eve@example.org");
        QTest::newRow("LF in the address") << QString() << QStringLiteral("bob@example.org\nTo: eve@example.org");
        QTest::newRow("NEL in the address") << QString() << QStringLiteral("bob@example.org\u0085eve@example.org");
        QTest::newRow("CR LF in the sender")
            << QStringLiteral("ann@example.org\r\nBcc: eve@example.org") << QStringLiteral("bob@example.org");
        QTest::newRow("escape in the sender")
            << QStringLiteral("ann@example.org\x1b") << QStringLiteral("bob@example.org");
        QTest::newRow("two addresses") << QString() << QStringLiteral("bob@example.org, eve@example.org");
        QTest::newRow("name and address as recipient") << QString() << QStringLiteral("Eve <eve@example.org>");
        QTest::newRow("no address at all") << QString() << QStringLiteral("bob");
        QTest::newRow("sender that is no address")
            << QStringLiteral("nobody here") << QStringLiteral("bob@example.org");
    }
    void refused()
    {
        QFETCH(QString, sender);
        QFETCH(QString, to);
        ThrowAwayHome home;
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QString error;
        QVERIFY(!send(sender, to, QStringLiteral("Hi"), QStringLiteral("Body"), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY2(!error.contains(QLatin1Char('\n')) && !error.contains(QLatin1Char('\r')), qPrintable(error));
        QCOMPARE(sink.rawMessages().size(), 0);
    }

    void addressStartingWithDashIsNoOption()
    {
        ThrowAwayHome home;
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QString error;
        QVERIFY2(send(QString(), QStringLiteral("-bob@example.org"), QStringLiteral("Hi"), QStringLiteral("x"), &error),
                 qPrintable(error));
        const auto raw = sink.rawMessages();
        QCOMPARE(raw.size(), 1);
        QCOMPARE(SmtpSink::header(raw[0], "X-RcptTo"), QByteArray("-bob@example.org"));
        QCOMPARE(SmtpSink::header(raw[0], "To"), QByteArray("-bob@example.org"));
    }

    void serverDownIsAFailure()
    {
        ThrowAwayHome home;
        SmtpSink sink(home);
        QVERIFY(sink.start());
        sink.stop();
        QString error;
        QVERIFY(!send(QString(), QStringLiteral("bob@example.org"), QStringLiteral("Hi"), QStringLiteral("x"), &error));
        QVERIFY2(error.contains(QStringLiteral("exited with status")), qPrintable(error));
    }

    void sendmailSearch()
    {
        ThrowAwayHome home;
        const QString emptyBin = home.filePath(QStringLiteral("empty-bin"));
        QDir().mkpath(emptyBin);
        home.setEnv("PATH", QFile::encodeName(emptyBin));
        const QString fallback = home.filePath(QStringLiteral("sbin/sendmail"));
        MailApplication::setFallbackSendmailPaths({home.filePath(QStringLiteral("missing/sendmail")), fallback});
        const auto mail = QStringLiteral("com.apple.Mail");

        QVERIFY(!MailApplication::applicationWithBundleIdentifier(mail));

        home.writeFile(QStringLiteral("sbin/sendmail"), "#!/bin/sh\nexit 0\n");
        QVERIFY(!MailApplication::applicationWithBundleIdentifier(mail)); // not executable
        QFile(fallback).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        auto app = MailApplication::applicationWithBundleIdentifier(mail);
        QVERIFY(app);
        QCOMPARE(app->sendmailProgram(), fallback);
        QVERIFY(!MailApplication::applicationWithBundleIdentifier(QStringLiteral("org.kde.kmail2")));

        // A sendmail on PATH comes before the fixed places.
        home.writeFile(QStringLiteral("empty-bin/sendmail"), "#!/bin/sh\nexit 0\n");
        QFile(emptyBin + QStringLiteral("/sendmail")).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        QCOMPARE(MailApplication::applicationWithBundleIdentifier(mail)->sendmailProgram(),
                 emptyBin + QStringLiteral("/sendmail"));
        MailApplication::setFallbackSendmailPaths({});
    }

    void stuckSendmailIsStopped()
    {
        ThrowAwayHome home;
        const QString bin = home.filePath(QStringLiteral("bin"));
        home.writeFile(QStringLiteral("bin/sendmail"), "#!/bin/sh\nexec sleep 120\n");
        QFile(bin + QStringLiteral("/sendmail")).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        home.setEnv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");
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
