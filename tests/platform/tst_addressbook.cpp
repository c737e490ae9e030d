#include "addressbook.h"
#include "datatable.h"
#include "throwawayhome.h"
#include "vdiraddressbook.h"

#include <QRegularExpression>
#include <QTest>

#include <memory>

namespace {
// "uid/first name" of each person, in the book's order.
QString names(const QList<Person> &people)
{
    QStringList out;
    for (const Person &person : people)
        out.append(person.uid + QLatin1Char('/') + person.firstName);
    return out.join(QLatin1Char(' '));
}

QByteArray card(const QByteArray &uid, const QByteArray &name, const QByteArray &email)
{
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\nN:" + name + "\r\nEMAIL:" + email + "\r\nEND:VCARD\r\n";
}
} // namespace

class TestAddressBook : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The fixture: home/ann.vcf and home/zoe.vcf, work/bob.vcf, and me naming bob-1.
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->copyFixture(QStringLiteral("contacts"), QStringLiteral(".local/share/contacts"));
    }
    void cleanup() { m_home.reset(); }

    // Lookups are exact. A file that cannot be read (or the part of it that cannot) is skipped with
    // a warning and left as it is; the cards around it are still read.
    void peopleWithEmail_data()
    {
        QTest::addColumn<QByteArray>("badFile"); // written as home/bad.vcf unless null
        QTest::addColumn<bool>("warns");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected"); // names() of the cards found for the address
        const QByteArray good = card("g-1", "Good;Gina;;;", "gina@example.org");
        const QByteArray nul = good + card("n-2", "Nul;Nina;;;", QByteArray("nina@ex\0ample.org", 17));
        row("shared address: collection, file, then card order", QByteArray(), false, "shared@example.org",
            "ann-1/Ann zoe-1/Zoe bob-1/Bob");
        row("case differs: no match", QByteArray(), false, "ANN@example.org", "");
        row("mixed-case address", QByteArray(), false, "Ann@Example.org", "bob-1/Bob");
        row("grouped address (item1.EMAIL)", QByteArray(), false, "bob@work.example.com", "bob-1/Bob");
        row("part of an address", QByteArray(), false, "example.org", "");
        row("empty file", QByteArray(""), true, "gina@example.org", "");
        row("binary junk", QByteArray("\x89PNG\r\n\x1a\n\xff\xfe\x01garbage"), true, "gina@example.org", "");
        row("NUL byte: cards before it kept", nul, true, "gina@example.org", "g-1/Gina");
        row("NUL byte: card holding it dropped", nul, true, "nina@ex", "");
        row("truncated second card", good + "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:t-2\r\nEMAIL:tom@example.org", true,
            "tom@example.org", "");
        row("Latin-1 text", card("l-1", "M\xfcller;J\xfcrgen;;;", "j@example.org"), true, "j@example.org",
            "l-1/J\u00fcrgen");
        row("byte-order mark", "\xEF\xBB\xBF" + good, false, "gina@example.org", "g-1/Gina");
        row("bare CR line ends", QByteArray(good).replace("\r\n", "\r"), false, "gina@example.org", "g-1/Gina");
        row("quoted-printable name continued on a line like a group",
            QByteArray("BEGIN:VCARD\r\nVERSION:2.1\r\nUID:q-1\r\nN;ENCODING=QUOTED-PRINTABLE:Lee;An=\r\n"
                       "na.Maria;;;\r\nEMAIL:q@example.org\r\nEND:VCARD\r\n"),
            false, "q@example.org", "q-1/Anna.Maria");
        row("file over the size cap", good + QByteArray(VdirAddressBook::maximumCardFileSize, ' '), true,
            "gina@example.org", "");
    }
    void peopleWithEmail()
    {
        QFETCH(QByteArray, badFile);
        QFETCH(bool, warns);
        QFETCH(QString, address);
        QFETCH(QString, expected);
        if (!badFile.isNull())
            m_home->writeFile(QStringLiteral(".local/share/contacts/home/bad.vcf"), badFile);
        if (warns)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("home/bad\\.vcf")));
        VdirAddressBook book(m_home->contactsPath());
        QCOMPARE(names(book.peopleWithEmail(address)), expected);
        QCOMPARE(names(book.peopleWithEmail(QStringLiteral("shared@example.org"))),
                 QStringLiteral("ann-1/Ann zoe-1/Zoe bob-1/Bob"));
        QCOMPARE(readFile(m_home->contactsPath() + QStringLiteral("/home/bad.vcf")), badFile);
    }

    void cardsWrittenLaterAreSeen()
    {
        VdirAddressBook book(m_home->contactsPath());
        QCOMPARE(names(book.peopleWithEmail(QStringLiteral("new@example.org"))), QString());
        // As vdir tools do: a new file renamed into the collection.
        m_home->writeFile(QStringLiteral(".local/share/contacts/work/new.tmp"),
                          card("new-1", "New;Nora;;;", "new@example.org"));
        QVERIFY(QFile::rename(m_home->contactsPath() + QStringLiteral("/work/new.tmp"),
                              m_home->contactsPath() + QStringLiteral("/work/new.vcf")));
        QCOMPARE(names(book.peopleWithEmail(QStringLiteral("new@example.org"))), QStringLiteral("new-1/Nora"));
        m_home->writeFile(QStringLiteral(".local/share/contacts/me"), "new-1\n");
        QCOMPARE(book.me()->uid, QStringLiteral("new-1"));
    }

    void me_data() { dataTable<QByteArray, QString>("addressbook/me.txt", {"meFile", "expected"}); }
    void me()
    {
        QFETCH(QByteArray, meFile);
        QFETCH(QString, expected);
        QVERIFY(QFile::remove(m_home->contactsPath() + QStringLiteral("/me")));
        if (!meFile.isNull())
            m_home->writeFile(QStringLiteral(".local/share/contacts/me"), meFile);
        if (meFile.startsWith("gone"))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("gone-7")));
        const std::optional<Person> me = VdirAddressBook(m_home->contactsPath()).me();
        QCOMPARE(me ? me->uid + QStringLiteral(": ") + me->emails.join(QLatin1Char(' ')) : QString(), expected);
    }

private:
    std::unique_ptr<ThrowAwayHome> m_home;
};

QTEST_GUILESS_MAIN(TestAddressBook)
#include "tst_addressbook.moc"
