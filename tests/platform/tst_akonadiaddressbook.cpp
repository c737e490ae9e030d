#include "akonadiaddressbook.h"
#include "akonadiserver.h"
#include "throwawayhome.h"
#include "vdiraddressbook.h"

#include <QDBusConnection>
#include <QtTest>

// The Akonadi address book against a real Akonadi server of a throw-away home, its address books
// local vCard resources on the files of tests/data/akonadi/contacts, which the vdir address book
// reads too; the user's own addresses from KDE's e-mail identities of that home.

namespace {
QString describe(const Person &person)
{
    return QStringList {person.uid, person.firstName.isNull() ? QStringLiteral("(none)") : person.firstName,
                        person.lastName.isNull() ? QStringLiteral("(none)") : person.lastName,
                        person.emails.join(QLatin1Char(','))}
        .join(QLatin1Char('|'));
}

QStringList describe(const QList<Person> &people)
{
    QStringList lines;
    for (const Person &person : people)
        lines.append(describe(person));
    return lines;
}

QByteArray identity(int number, const QByteArray &uoid, const QByteArray &address, const QByteArray &aliases)
{
    return "[Identity #" + QByteArray::number(number) + "]\nIdentity=Identity " + QByteArray::number(number)
        + "\nName=Mia Myself\nEmail Address=" + address + "\nEmail Aliases=" + aliases + "\nuoid=" + uoid + "\n\n";
}
} // namespace

class TestAkonadiAddressBook : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<AkonadiServer> m_server;
    std::unique_ptr<AkonadiAddressBook> m_book;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session, as ctest does");
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", bus); // the private bus, for the server
        m_home->copyFixture("akonadi/contacts"_qs, ".local/share/contacts"_qs);
        m_home->copyFixture("akonadi/contacts"_qs, "akonadi-files"_qs);
        m_server = std::make_unique<AkonadiServer>(m_home->path());
        QVERIFY(m_server->start());
        for (const char *name : {"people", "other"}) {
            const QString file = "akonadi-files/%1/%1.vcf"_qs.arg(QLatin1String(name));
            QVERIFY(!m_server->addContactsFile(m_home->filePath(file), QLatin1String(name)).isEmpty());
        }
        QString why;
        m_book = AkonadiAddressBook::ofRunningServer(5000, &why);
        QVERIFY2(m_book, qPrintable(why));
    }

    void cleanupTestCase()
    {
        m_book.reset();
        if (m_server)
            QVERIFY(m_server->stop());
    }

    void peopleWithEmail_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QStringList>("uids");
        QTest::newRow("an address of one card") << "ann@example.org"_qs << QStringList {"ann-1"_qs};
        QTest::newRow("an address on cards of two address books")
            << "shared@example.org"_qs << QStringList {"ann-1"_qs, "bob-1"_qs, "zoe-1"_qs};
        QTest::newRow("the case differs") << "ANN@example.org"_qs << QStringList();
        QTest::newRow("a mixed-case address") << "Bob@Example.org"_qs << QStringList {"bob-1"_qs};
        QTest::newRow("part of an address") << "example.org"_qs << QStringList();
        QTest::newRow("a card without names") << "info@acme.example"_qs << QStringList {"acme-1"_qs};
    }

    // The cards found, their names and addresses are those that the vdir address book reads from
    // the same files; the same question gets the same order again.
    void peopleWithEmail()
    {
        QFETCH(QString, address);
        QFETCH(QStringList, uids);
        const QList<Person> found = m_book->peopleWithEmail(address);
        QStringList foundUids;
        for (const Person &person : found)
            foundUids.append(person.uid);
        QCOMPARE(QSet<QString>(foundUids.cbegin(), foundUids.cend()), QSet<QString>(uids.cbegin(), uids.cend()));
        QCOMPARE(foundUids.size(), uids.size());
        QStringList vdir = describe(VdirAddressBook(m_home->contactsPath()).peopleWithEmail(address));
        QStringList akonadi = describe(found);
        std::sort(vdir.begin(), vdir.end());
        std::sort(akonadi.begin(), akonadi.end());
        QCOMPARE(akonadi, vdir);
        QCOMPARE(describe(m_book->peopleWithEmail(address)), describe(found));
    }

    // An address book added to Akonadi later is read once Akonadi tells of it.
    void addressBookAddedLater()
    {
        QVERIFY(m_book->peopleWithEmail("yves@example.org"_qs).isEmpty());
        m_home->copyFixture("akonadi/contacts-extra"_qs, "akonadi-files/extra"_qs);
        QVERIFY(!m_server->addContactsFile(m_home->filePath("akonadi-files/extra/extra.vcf"_qs), "extra"_qs).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(describe(m_book->peopleWithEmail("yves@example.org"_qs)),
                                  QStringList {"yves-1|Yves|Young|yves@example.org"_qs}, 20000);
    }

    void me_data()
    {
        QTest::addColumn<QByteArray>("identities"); // the content of emailidentities, null: none
        QTest::addColumn<QString>("expected"); // describe(), empty: no one
        QTest::newRow("no identities") << QByteArray() << QString();
        QTest::newRow("an identity without an address")
            << QByteArray("[General]\nDefault Identity=7\n\n" + identity(0, "7", "", "")) << QString();
        QTest::newRow("an identity whose address a card holds")
            << QByteArray("[General]\nDefault Identity=7\n\n" + identity(0, "7", "mia@example.org", "mia@work.example"))
            << "mia-1|Mia|Myself|mia.private@example.org,mia@example.org,mia@work.example"_qs;
        QTest::newRow("an identity that no card holds")
            << QByteArray("[General]\nDefault Identity=7\n\n" + identity(0, "7", "me@nowhere.example", ""))
            << "|(none)|(none)|me@nowhere.example"_qs;
        QTest::newRow("two identities, the default one second")
            << QByteArray("[General]\nDefault Identity=8\n\n" + identity(0, "7", "me@nowhere.example", "")
                          + identity(1, "8", "mia@example.org", ""))
            << "mia-1|Mia|Myself|mia.private@example.org,mia@example.org,me@nowhere.example"_qs;
    }

    // The user's addresses are those of KDE's identities, with the card that holds the default
    // one's; the identities are never written.
    void me()
    {
        QFETCH(QByteArray, identities);
        QFETCH(QString, expected);
        const QString path = m_home->filePath(".config/emailidentities"_qs);
        QFile::remove(path);
        if (!identities.isNull())
            m_home->writeFile(".config/emailidentities"_qs, identities);
        const auto book = AkonadiAddressBook::ofRunningServer(5000);
        QVERIFY(book);
        const auto me = book->me();
        QCOMPARE(me ? describe(*me) : QString(), expected);
        QCOMPARE(readFile(path), identities.isNull() ? QByteArray() : identities);
    }
};

QTEST_GUILESS_MAIN(TestAkonadiAddressBook)
#include "tst_akonadiaddressbook.moc"
