// Attendee addresses, the user's own addresses and the hand-over of reminders (real msmtp chain).
#include "ComKestramoLogger.h"
#include "calendarstore.h"
#include "datatable.h"
#include "mailapplication.h"
#include "maildelivery.h"
#include "memoryaddressbook.h"
#include "sentreminders.h"
#include "smtpsink.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>

#include <memory>

namespace {
HandOver send(const QString &to = QStringLiteral("bob@example.org"))
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
        return QString::fromUtf8(readFile(ComKestramoLogger::logFileName())).count(text);
    }
    // No sendmail anywhere: PATH is a missing folder and so are the fixed places.
    void withoutSendmail() { m_home->setEnv("PATH", QFile::encodeName(m_home->filePath(QStringLiteral("no-bin")))); }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        MailApplication::setFallbackSendmailPaths({m_home->filePath(QStringLiteral("no/sendmail"))});
        m_book.meCard = Person {};
        m_book.meCard->emails = QStringList {QStringLiteral("ann@example.org"), QStringLiteral("Ann.Work@Example.org")};
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

    void mailFromAttendee_data() { dataTable<QString, QString>("maildelivery/attendees.txt", {"url", "address"}); }
    void mailFromAttendee()
    {
        QFETCH(QString, url);
        QFETCH(QString, address);
        const QString result = ::mailFromAttendee(Attendee {url, QStringLiteral("Ann"), {}, {}});
        QCOMPARE(result, address);
        QCOMPARE(result.isNull(), address.isNull());
    }

    // Compared exactly, with the "me" card read once per run.
    void mailIsMine()
    {
        const auto mine = [] { // which of these addresses are the user's own
            QStringList out;
            for (const char *address : {"ann@example.org", "Ann.Work@Example.org", "ann.work@example.org",
                                        "ann@example.org ", "new@example.org"})
                if (::mailIsMine(QString::fromUtf8(address)))
                    out.append(QString::fromUtf8(address));
            return out.join(QLatin1Char('|'));
        };
        QCOMPARE(mine(), QStringLiteral("ann@example.org|Ann.Work@Example.org"));
        m_book.meCard->emails = QStringList {QStringLiteral("new@example.org")};
        QCOMPARE(mine(), QStringLiteral("ann@example.org|Ann.Work@Example.org"));
        resetMailDelivery(); // the next run reads the card again
        QCOMPARE(mine(), QStringLiteral("new@example.org"));
        // No "me" card, or no address book: nothing is mine.
        resetMailDelivery();
        m_book.meCard.reset();
        QCOMPARE(mine(), QString());
        resetMailDelivery();
        AddressBook::setSharedAddressBook(nullptr);
        QCOMPARE(mine(), QString());
    }

    // The mail system found at the first reminder serves the whole run; not finding one is
    // logged for every reminder and not kept; a refused reminder is logged too.
    void handOversOfARun()
    {
        withoutSendmail();
        QCOMPARE(send(), HandOver::TemporaryFailure);
        QCOMPARE(send(), HandOver::TemporaryFailure);
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        QCOMPARE(send(), HandOver::Taken);
        withoutSendmail();
        QCOMPARE(send(), HandOver::Taken);
        QCOMPARE(send(QStringLiteral("bob@example.org\r\nBcc: eve@example.org")), HandOver::PermanentFailure);
        QCOMPARE(sink.rawMessages().size(), 2);
        QCOMPARE(sink.messages().first()->decodedContent(), QByteArray("Body")); // nothing added or lost
        QCOMPARE(logCount(QStringLiteral("<Error>: Failed to hand over the reminder to '")), 1);
        resetMailDelivery(); // a new run looks again
        QCOMPARE(send(), HandOver::TemporaryFailure);
        QCOMPARE(logCount(QStringLiteral("<Error>: Cannot create Scripting Bridge to Mail.app")), 3);
    }

    // What could not be read of the mail accounts is logged after the reminder's own lines, which
    // the log's readers take for its outcome: the reminder that sendmail took reads as sent.
    void accountNotesFollowTheOutcome()
    {
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        m_home->writeFile(QStringLiteral(".config/ruvelant/mail-accounts.plist"), "not a property list");
        ComKestramoLogger::logINFO(QStringLiteral(" Dentist  ->bob@example.org"));
        QCOMPARE(send(), HandOver::Taken);
        QCOMPARE(logCount(QStringLiteral("<Error>: cannot read the mail accounts in ")), 1);
        const QList<SentReminder> reminders = SentReminders::fromRecords(
            QString::fromUtf8(readFile(ComKestramoLogger::logFileName())), QDate::currentDate());
        QCOMPARE(reminders.size(), 1);
        QCOMPARE(reminders.first().outcome, SentReminder::Sent);
        QCOMPARE(send(), HandOver::Taken); // once a run
        QCOMPARE(logCount(QStringLiteral("<Error>: cannot read the mail accounts in ")), 1);
    }
};

QTEST_GUILESS_MAIN(TestMailDelivery)
#include "tst_maildelivery.moc"
