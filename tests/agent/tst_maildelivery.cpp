// Attendee addresses, the user's own addresses and the hand-over of reminders (real msmtp chain).
#include "ComKestramoLogger.h"
#include "addressbook.h"
#include "calendarstore.h"
#include "mailapplication.h"
#include "maildelivery.h"
#include "smtpsink.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>

#include <memory>

namespace {
// An address book in memory whose "me" card can change.
class MemoryAddressBook : public AddressBook
{
public:
    std::optional<Person> me() const override { return meCard; }
    QList<Person> peopleWithEmail(const QString &) const override { return {}; }
    std::optional<Person> meCard;
};

Person card(const QStringList &emails)
{
    return Person {QStringLiteral("me-uid"), QStringLiteral("Ann"), QStringLiteral("Lee"), emails};
}

bool send(const QString &to = QStringLiteral("bob@example.org"))
{
    return sendMailCocoa(QString(), to, QStringLiteral("Hi"), QStringLiteral("Body"));
}
} // namespace

class TestMailDelivery : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    MemoryAddressBook m_book;

    // How often text appears in the agent's log so far (closed first, so that all is on disk).
    static int logCount(const QString &text)
    {
        ComKestramoLogger::closeLogIfOpened();
        QFile file(ComKestramoLogger::logFileName());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).count(text) : -1;
    }
    // No sendmail anywhere: PATH is a missing folder and so are the fixed places.
    void withoutSendmail() { m_home->setEnv("PATH", QFile::encodeName(m_home->filePath(QStringLiteral("no-bin")))); }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        MailApplication::setFallbackSendmailPaths({m_home->filePath(QStringLiteral("no/sendmail"))});
        m_book.meCard = card({QStringLiteral("ann@example.org"), QStringLiteral("Ann.Work@Example.org")});
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
        QTest::newRow("mailto") << QStringLiteral("mailto:ann@example.org") << QStringLiteral("ann@example.org");
        QTest::newRow("mailto twice loses both")
            << QStringLiteral("mailto:ann@example.orgmailto:x") << QStringLiteral("ann@example.orgx");
        QTest::newRow("nothing else changed") << QStringLiteral("mailto:Ann%20Lee@Example.ORG?subject=x ")
                                              << QStringLiteral("Ann%20Lee@Example.ORG?subject=x ");
        QTest::newRow("capitals give none") << QStringLiteral("MAILTO:ann@example.org") << QString();
        QTest::newRow("mailto not first gives none") << QStringLiteral(" mailto:ann@example.org") << QString();
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

    // Compared exactly, with the "me" card read once per run.
    void mailIsMine()
    {
        QVERIFY(::mailIsMine(QStringLiteral("ann@example.org")));
        QVERIFY(::mailIsMine(QStringLiteral("Ann.Work@Example.org")));
        QVERIFY(!::mailIsMine(QStringLiteral("ann.work@example.org")));
        QVERIFY(!::mailIsMine(QStringLiteral("ann@example.org ")));
        m_book.meCard = card({QStringLiteral("new@example.org")});
        QVERIFY(::mailIsMine(QStringLiteral("ann@example.org")));
        QVERIFY(!::mailIsMine(QStringLiteral("new@example.org")));
        resetMailDelivery(); // the next run reads the card again
        QVERIFY(::mailIsMine(QStringLiteral("new@example.org")));
        QVERIFY(!::mailIsMine(QStringLiteral("ann@example.org")));

        // No "me" card, or no address book: nothing is mine.
        resetMailDelivery();
        m_book.meCard.reset();
        QVERIFY(!::mailIsMine(QStringLiteral("new@example.org")));
        resetMailDelivery();
        AddressBook::setSharedAddressBook(nullptr);
        QVERIFY(!::mailIsMine(QStringLiteral("new@example.org")));
    }

    // The mail system found at the first reminder serves the whole run; not finding one is
    // logged for every reminder and not kept; a refused reminder is logged too.
    void handOversOfARun()
    {
        withoutSendmail();
        QVERIFY(!send());
        QVERIFY(!send());
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        QVERIFY(send());
        withoutSendmail();
        QVERIFY(send());
        QVERIFY(!send(QStringLiteral("bob@example.org\r\nBcc: eve@example.org")));
        QCOMPARE(sink.rawMessages().size(), 2);
        QCOMPARE(sink.messages().first()->decodedContent(), QByteArray("Body")); // nothing added or lost
        QCOMPARE(logCount(QStringLiteral("<Error>: Failed to hand over the reminder to '")), 1);
        resetMailDelivery(); // a new run looks again
        QVERIFY(!send());
        QCOMPARE(logCount(QStringLiteral("<Error>: Cannot create Scripting Bridge to Mail.app")), 3);
    }
};

QTEST_GUILESS_MAIN(TestMailDelivery)
#include "tst_maildelivery.moc"
