// Attendee addresses, the user's own addresses and the hand-over of reminders (real msmtp chain).
#include "ComKestramoLogger.h"
#include "addressbook.h"
#include "calendarstore.h"
#include "mailapplication.h"
#include "maildelivery.h"
#include "smtpsink.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

namespace {
// An address book in memory whose "me" card can change, and which counts how often it is read.
class MemoryAddressBook : public AddressBook
{
public:
    std::optional<Person> me() const override
    {
        ++meReads;
        return meCard;
    }
    QList<Person> peopleWithEmail(const QString &) const override { return {}; }
    std::optional<Person> meCard;
    mutable int meReads = 0;
};

Person card(const QStringList &emails)
{
    return Person {QStringLiteral("me-uid"), QStringLiteral("Ann"), QStringLiteral("Lee"), emails};
}

} // namespace

class TestMailDelivery : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    MemoryAddressBook m_book;

    // The agent's log as written so far (the log is closed first so that everything is on disk).
    QString logText()
    {
        ComKestramoLogger::closeLogIfOpened();
        QFile file(ComKestramoLogger::logFileName());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // No sendmail anywhere: an empty PATH folder and only missing fixed places.
    void withoutSendmail()
    {
        const QString empty = m_home->filePath(QStringLiteral("empty-bin"));
        QDir().mkpath(empty);
        m_home->setEnv("PATH", QFile::encodeName(empty));
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        QDir().mkpath(ComKestramoLogger::logsPath());
        MailApplication::setFallbackSendmailPaths({m_home->filePath(QStringLiteral("no/sendmail"))});
        m_book.meCard = card({QStringLiteral("ann@example.org"), QStringLiteral("Ann.Work@Example.org")});
        m_book.meReads = 0;
        AddressBook::setSharedAddressBook(&m_book);
        resetMailDelivery();
    }
    void cleanup()
    {
        resetMailDelivery();
        ComKestramoLogger::closeLogIfOpened();
        AddressBook::setSharedAddressBook(nullptr);
        MailApplication::setFallbackSendmailPaths({});
        m_home.reset();
    }

    void mailFromAttendee_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("address"); // null: no address
        QTest::newRow("mailto address") << QStringLiteral("mailto:ann@example.org")
                                        << QStringLiteral("ann@example.org");
        QTest::newRow("mailto twice loses both")
            << QStringLiteral("mailto:ann@example.orgmailto:x") << QStringLiteral("ann@example.orgx");
        QTest::newRow("nothing else changed") << QStringLiteral("mailto:Ann%20Lee@Example.ORG?subject=x ")
                                              << QStringLiteral("Ann%20Lee@Example.ORG?subject=x ");
        QTest::newRow("capital MAILTO gives none") << QStringLiteral("MAILTO:ann@example.org") << QString();
        QTest::newRow("Mailto gives none") << QStringLiteral("Mailto:ann@example.org") << QString();
        QTest::newRow("mailto not at the start gives none") << QStringLiteral(" mailto:ann@example.org") << QString();
        QTest::newRow("other scheme gives none") << QStringLiteral("urn:uuid:1234") << QString();
        QTest::newRow("bare address gives none") << QStringLiteral("ann@example.org") << QString();
        QTest::newRow("empty URL gives none") << QString() << QString();
        QTest::newRow("mailto alone gives an empty address") << QStringLiteral("mailto:") << QStringLiteral("");
    }
    void mailFromAttendee()
    {
        QFETCH(QString, url);
        QFETCH(QString, address);
        const QString result = ::mailFromAttendee(Attendee {url, QStringLiteral("Ann")});
        QCOMPARE(result, address);
        QCOMPARE(result.isNull(), address.isNull());
    }

    void mailIsMine_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("mine");
        QTest::newRow("first card address") << QStringLiteral("ann@example.org") << true;
        QTest::newRow("second card address") << QStringLiteral("Ann.Work@Example.org") << true;
        QTest::newRow("other case is not mine") << QStringLiteral("ANN@example.org") << false;
        QTest::newRow("lower-cased second is not mine") << QStringLiteral("ann.work@example.org") << false;
        QTest::newRow("someone else") << QStringLiteral("bob@example.org") << false;
        QTest::newRow("with a space is not mine") << QStringLiteral("ann@example.org ") << false;
    }
    void mailIsMine()
    {
        QFETCH(QString, address);
        QFETCH(bool, mine);
        QCOMPARE(::mailIsMine(address), mine);
    }

    void ownAddressesReadOncePerRun()
    {
        QVERIFY(::mailIsMine(QStringLiteral("ann@example.org")));
        m_book.meCard = card({QStringLiteral("new@example.org")});
        QVERIFY(::mailIsMine(QStringLiteral("ann@example.org")));
        QVERIFY(!::mailIsMine(QStringLiteral("new@example.org")));
        QCOMPARE(m_book.meReads, 1);
        resetMailDelivery(); // the next run reads the card again
        QVERIFY(::mailIsMine(QStringLiteral("new@example.org")));
        QVERIFY(!::mailIsMine(QStringLiteral("ann@example.org")));
    }

    void noOwnAddresses_data()
    {
        QTest::addColumn<bool>("addressBook");
        QTest::newRow("no me card") << true;
        QTest::newRow("no address book") << false; // the throw-away home has no contacts folder
    }
    void noOwnAddresses()
    {
        QFETCH(bool, addressBook);
        m_book.meCard.reset();
        AddressBook::setSharedAddressBook(addressBook ? &m_book : nullptr);
        QVERIFY(!::mailIsMine(QStringLiteral("ann@example.org")));
        m_book.meCard = card({QStringLiteral("ann@example.org")});
        QVERIFY(!::mailIsMine(QStringLiteral("ann@example.org"))); // the empty list holds for the run
    }

    void sender_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("envelopeFrom");
        const QString mailSystem = SmtpSink::DefaultFrom;
        QTest::newRow("single space: the mail system's sender") << QStringLiteral(" ") << mailSystem << mailSystem;
        QTest::newRow("tabs: the mail system's sender") << QStringLiteral("\t\t") << mailSystem << mailSystem;
        QTest::newRow("Unicode spaces: the mail system's sender")
            << QStringLiteral("\u00A0\u2003") << mailSystem << mailSystem;
        QTest::newRow("spaces around an address")
            << QStringLiteral("  ann@example.org  ") << QStringLiteral("ann@example.org")
            << QStringLiteral("ann@example.org");
    }
    void sender()
    {
        QFETCH(QString, sender);
        QFETCH(QString, from);
        QFETCH(QString, envelopeFrom);
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        QVERIFY(sendMailCocoa(sender, QStringLiteral("bob@example.org"), QStringLiteral("Hi"), QStringLiteral("Body")));
        const auto raw = sink.rawMessages();
        QCOMPARE(raw.size(), 1);
        QCOMPARE(SmtpSink::header(raw[0], "From"), from.toUtf8());
        QCOMPARE(SmtpSink::header(raw[0], "X-MailFrom"), envelopeFrom.toUtf8());
        QCOMPARE(SmtpSink::header(raw[0], "To"), QByteArray("bob@example.org"));
    }

    void oneMessagePerReminder()
    {
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        const QStringList to {QStringLiteral("bob@example.org"), QStringLiteral("eve@example.org"),
                              QStringLiteral("bob@example.org")};
        for (const QString &address : to) {
            QVERIFY(sendMailCocoa(QStringLiteral(" "), address, QStringLiteral("Hi"), QStringLiteral("Body")));
        }
        const auto raw = sink.rawMessages();
        QCOMPARE(raw.size(), 3);
        QStringList arrived;
        for (const QByteArray &message : raw) {
            QCOMPARE(SmtpSink::header(message, "X-RcptTo"), SmtpSink::header(message, "To"));
            arrived << QString::fromUtf8(SmtpSink::header(message, "To"));
        }
        arrived.sort();
        QCOMPARE(arrived, QStringList({to[0], to[2], to[1]}));
    }

    void noMailSystemLogsEveryReminder()
    {
        withoutSendmail();
        for (int i = 0; i < 3; ++i) {
            QVERIFY(!sendMailCocoa(QStringLiteral(" "), QStringLiteral("bob@example.org"), QStringLiteral("Hi"),
                                   QStringLiteral("Body")));
        }
        QCOMPARE(logText().count(QStringLiteral("Cannot create Scripting Bridge to Mail.app")), 3);

        // Nothing was kept from the failures: once a mail system is there, the next reminder goes.
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        QVERIFY(sendMailCocoa(QStringLiteral(" "), QStringLiteral("bob@example.org"), QStringLiteral("Hi"),
                              QStringLiteral("Body")));
        QCOMPARE(sink.rawMessages().size(), 1);
    }

    void mailSystemKeptForTheRun()
    {
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        const QString to = QStringLiteral("bob@example.org");
        QVERIFY(sendMailCocoa(QString(), to, QStringLiteral("1"), QStringLiteral("x")));
        withoutSendmail(); // the mail system found at the first reminder serves the whole run
        QVERIFY(sendMailCocoa(QString(), to, QStringLiteral("2"), QStringLiteral("x")));
        QCOMPARE(sink.rawMessages().size(), 2);
        resetMailDelivery(); // a new run looks again
        QVERIFY(!sendMailCocoa(QString(), to, QStringLiteral("3"), QStringLiteral("x")));
        QCOMPARE(logText().count(QStringLiteral("Cannot create Scripting Bridge to Mail.app")), 1);
    }

    void failedHandOverIsLogged_data()
    {
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("serverUp");
        QTest::newRow("server down") << QStringLiteral("bob@example.org") << false;
        QTest::newRow("line break in the address") << QStringLiteral("bob@example.org\r\nBcc: eve@example.org") << true;
        QTest::newRow("not an address") << QStringLiteral("Bob Lee") << true;
    }
    void failedHandOverIsLogged()
    {
        QFETCH(QString, to);
        QFETCH(bool, serverUp);
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        if (!serverUp) {
            sink.stop();
        }
        QVERIFY(!sendMailCocoa(QStringLiteral("ann@example.org"), to, QStringLiteral("Hi"), QStringLiteral("Body")));
        const QString log = logText();
        const QString line = QStringLiteral("<Error>: Failed to hand over the reminder to '");
        QVERIFY2(log.count(line) == 1, qPrintable(log));
        QCOMPARE(sink.rawMessages().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMailDelivery)
#include "tst_maildelivery.moc"
