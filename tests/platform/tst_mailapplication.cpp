// The mail application against the real chain: msmtp as sendmail and an SMTP server on 127.0.0.1.
#include "datatable.h"
#include "mailapplication.h"
#include "smtpsink.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>
#include <QUrl>

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
} // namespace

class TestMailApplication : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handOver_data()
    {
        dataTable<QString, QString, QString, QString>("mailapplication/handovers.txt",
                                                      {"sender", "to", "from", "envelopeFrom"});
    }
    void handOver()
    {
        QFETCH(QString, sender);
        QFETCH(QString, to);
        QFETCH(QString, from);
        QFETCH(QString, envelopeFrom);
        ThrowAwayHome home;
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QString error;
        const bool sent = send(sender, to, &error);
        const auto raw = sink.rawMessages();
        if (from.isNull()) {
            QVERIFY(!sent && !error.isEmpty());
            QVERIFY2(!error.contains(QLatin1Char('\n')) && !error.contains(QLatin1Char('\r')), qPrintable(error));
            QCOMPARE(raw.size(), 0);
            return;
        }
        QVERIFY2(sent, qPrintable(error));
        QCOMPARE(raw.size(), 1);
        QCOMPARE(SmtpSink::header(raw[0], "From"), from.toUtf8());
        QCOMPARE(SmtpSink::header(raw[0], "X-MailFrom"), envelopeFrom.toUtf8());
        const QByteArray ascii
            = to.section(QLatin1Char('@'), 0, 0).toUtf8() + '@' + QUrl::toAce(to.section(QLatin1Char('@'), 1));
        QCOMPARE(SmtpSink::header(raw[0], "X-RcptTo"), ascii);
        QCOMPARE(SmtpSink::header(raw[0], "To"), ascii);
        QCOMPARE(SmtpSink::header(raw[0], "Bcc"), QByteArray());
        const auto message = sink.messages().first();
        QCOMPARE(message->subject()->asUnicodeString(), QStringLiteral("Hi Bcc: eve@example.org"));
        QCOMPARE(message->contentType()->charset().toLower(), QByteArray("utf-8"));
        QCOMPARE(QString::fromUtf8(message->decodedContent()), dotsAndLongLine + QStringLiteral("\nb\nc\nd"));
    }

    // How sendmail ended says whether a later try may succeed: only a refusal of the recipient's
    // address is final, every failure of the mail system itself is not; the reason names the
    // meaning of the exit status.
    void exitStatuses_data()
    {
        dataTable<QString, QString, bool, QString>("mailapplication/exits.txt",
                                                   {"ends", "says", "temporary", "reason"});
    }
    void exitStatuses()
    {
        QFETCH(QString, ends);
        QFETCH(QString, says);
        QFETCH(bool, temporary);
        QFETCH(QString, reason);
        ThrowAwayHome home;
        home.writeFile(QStringLiteral("says"), says.toUtf8());
        home.writeProgram(QStringLiteral("bin/sendmail"),
                          "#!/bin/sh\ncat >/dev/null\ncat \"$HOME/says\" >&2\n" + ends.toUtf8() + '\n');
        home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("bin"))) + ":/usr/bin:/bin");
        const auto mail = MailApplication::applicationWithBundleIdentifier(QStringLiteral("com.apple.Mail"));
        QVERIFY(mail);
        OutgoingMessage message = mail->outgoingMessage(QStringLiteral("Hi"), QStringLiteral("x"));
        message.setSender(QStringLiteral("ann@example.org"));
        message.addToRecipient(QStringLiteral("bob@example.org"));
        QString error;
        bool tryAgain = !temporary;
        QVERIFY(!message.send(&error, &tryAgain));
        QCOMPARE(error, QString(reason).replace(QStringLiteral("SENDMAIL"), mail->sendmailProgram()));
        QCOMPARE(tryAgain, temporary);
    }

    // What msmtp makes of a server's refusals: a recipient refused for good is final; refused for
    // the time being, a refused sender and a server that is down are not.
    void msmtpRefusals_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("serverDown");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("temporary");
        row("recipient refused for good (550)", "ann@example.org", "refused.bob@example.org", false, 65, false);
        row("recipient refused for now (450)", "ann@example.org", "busy.bob@example.org", false, 69, true);
        row("sender refused for good (553)", "refused.ann@example.org", "bob@example.org", false, 65, true);
        row("server down", "ann@example.org", "bob@example.org", true, 75, true);
    }
    void msmtpRefusals()
    {
        QFETCH(QString, sender);
        QFETCH(QString, to);
        QFETCH(bool, serverDown);
        QFETCH(int, status);
        QFETCH(bool, temporary);
        ThrowAwayHome home;
        SmtpSink sink(home);
        QVERIFY(sink.start());
        if (serverDown)
            sink.stop();
        const auto mail = MailApplication::applicationWithBundleIdentifier(QStringLiteral("com.apple.Mail"));
        QVERIFY(mail);
        OutgoingMessage message = mail->outgoingMessage(QStringLiteral("Hi"), QStringLiteral("x"));
        message.setSender(sender);
        message.addToRecipient(to);
        QString error;
        bool tryAgain = !temporary;
        QVERIFY(!message.send(&error, &tryAgain));
        QVERIFY2(error.contains(QStringLiteral(" exited with status %1 (").arg(status)), qPrintable(error));
        QCOMPARE(tryAgain, temporary);
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
        home.writeProgram(QStringLiteral("sbin/sendmail"), "#!/bin/sh\nexit 0\n");
        QCOMPARE(program(), fallback);
        home.writeProgram(QStringLiteral("bin/sendmail"), "#!/bin/sh\nexit 0\n"); // PATH comes before the fixed places
        QCOMPARE(program(), home.filePath(QStringLiteral("bin/sendmail")));
        MailApplication::setFallbackSendmailPaths({});
    }

    void stuckSendmailIsStopped()
    {
        ThrowAwayHome home;
        home.writeProgram(QStringLiteral("bin/sendmail"), "#!/bin/sh\nexec sleep 120\n");
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
