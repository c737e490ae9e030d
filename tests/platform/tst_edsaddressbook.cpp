// The address books of Evolution Data Server against a real EDS on a private session bus: the
// user's own card as GNOME Contacts marks it, read without ever making one, and the people with
// an address; and the user's address book of both kinds.
#include "addressbook.h"
#include "compositeaddressbook.h"
#include "edsaddressbook.h"
#include "edsbus.h"
#include "edsfixture.h"
#include "throwawayhome.h"
#include "vdiraddressbook.h"

#include <QTest>

namespace {
QString card(const QString &uid, const QString &given, const QString &family, const QStringList &emails)
{
    QString text
        = QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:%1\r\nFN:%2 %3\r\nN:%3;%2;;;\r\n").arg(uid, given, family);
    for (const QString &email : emails)
        text += QStringLiteral("EMAIL;TYPE=INTERNET:%1\r\n").arg(email);
    return text + QStringLiteral("END:VCARD\r\n");
}
} // namespace

class TestEdsAddressBook : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<EdsBus> m_bus;
    std::unique_ptr<EdsFixture> m_eds;

private Q_SLOTS:
    void initTestCase()
    {
        m_home = std::make_unique<ThrowAwayHome>("Europe/Paris");
        m_home->setEnv("GSETTINGS_BACKEND", "keyfile");
        m_bus = std::make_unique<EdsBus>(m_home->filePath(QStringLiteral("bus")));
        QVERIFY(m_bus->start());
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
        m_eds = std::make_unique<EdsFixture>();
        QVERIFY(m_eds->connect());
        QVERIFY(m_eds->addContact(card(QStringLiteral("me-card"), QStringLiteral("Zoé"), QStringLiteral("Martin"),
                                       {QStringLiteral("zoe@example.org"), QStringLiteral("z.martin@work.example")})));
        QVERIFY(m_eds->addContact(card(QStringLiteral("ann-card"), QStringLiteral("Ann"), QStringLiteral("Lee"),
                                       {QStringLiteral("Ann@Example.org")})));
    }
    void cleanupTestCase()
    {
        m_eds.reset();
        m_bus.reset();
        m_home.reset();
    }

    // The mark of the user's own card: its card, or none; never a card made for it.
    void ownCard_data()
    {
        QTest::addColumn<QString>("marked");
        QTest::addColumn<QStringList>("emails");
        QTest::newRow("no card marked") << QString() << QStringList();
        QTest::newRow("a card marked") << QStringLiteral(
            "me-card") << QStringList {QStringLiteral("zoe@example.org"), QStringLiteral("z.martin@work.example")};
        QTest::newRow("the marked card is gone") << QStringLiteral("no-such-card") << QStringList();
    }
    void ownCard()
    {
        QFETCH(QString, marked);
        QFETCH(QStringList, emails);
        QVERIFY(EdsFixture::setSelfContact(marked));
        const QStringList before = m_eds->contacts();
        const std::optional<Person> me = EdsAddressBook().me();
        QCOMPARE(me ? me->emails : QStringList(), emails);
        if (me) {
            QCOMPARE(me->firstName, "Zoé"_qs);
            QCOMPARE(me->lastName, "Martin"_qs);
        }
        QCOMPARE(m_eds->contacts(), before);
    }

    void peopleWithAnAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("as written") << QStringLiteral("Ann@Example.org") << QStringList {QStringLiteral("Ann Lee")};
        QTest::newRow("another case is another address") << QStringLiteral("ann@example.org") << QStringList();
        QTest::newRow("a second address of a card")
            << QStringLiteral("z.martin@work.example") << QStringList {QStringLiteral("Zoé Martin")};
        QTest::newRow("nobody") << QStringLiteral("nobody@example.org") << QStringList();
    }
    void peopleWithAnAddress()
    {
        QFETCH(QString, address);
        QFETCH(QStringList, names);
        QStringList found;
        for (const Person &person : EdsAddressBook().peopleWithEmail(address))
            found.append(person.firstName + QLatin1Char(' ') + person.lastName);
        QCOMPARE(found, names);
    }

    // The user's book: the vCard folder's own card wins; without one, EDS's; people from both.
    void userBookOfBothKinds()
    {
        QVERIFY(EdsFixture::setSelfContact(QStringLiteral("me-card")));
        AddressBook *book = AddressBook::sharedAddressBook();
        QVERIFY(book);
        QCOMPARE(book->me()->uid, "me-card"_qs); // no contacts folder
        m_home->writeFile(QStringLiteral(".local/share/contacts/default/own.vcf"),
                          card(QStringLiteral("own"), QStringLiteral("Own"), QStringLiteral("Card"),
                               {QStringLiteral("own@example.org"), QStringLiteral("Ann@Example.org")})
                              .toUtf8());
        book = AddressBook::sharedAddressBook();
        QCOMPARE(book->me()->uid, "me-card"_qs); // a folder without a me file
        m_home->writeFile(QStringLiteral(".local/share/contacts/me"), "own\n");
        QCOMPARE(book->me()->uid, "own"_qs);
        QStringList uids;
        for (const Person &person : book->peopleWithEmail(QStringLiteral("Ann@Example.org")))
            uids.append(person.uid);
        QCOMPARE(uids, (QStringList {QStringLiteral("own"), QStringLiteral("ann-card")}));
    }

    // Without a session bus: no card, at once.
    void withoutASessionBus()
    {
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", QByteArray());
        const EdsAddressBook book;
        QVERIFY(!book.me());
        QVERIFY(book.peopleWithEmail(QStringLiteral("Ann@Example.org")).isEmpty());
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
    }
};

QTEST_GUILESS_MAIN(TestEdsAddressBook)
#include "tst_edsaddressbook.moc"
