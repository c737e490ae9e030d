#include "addressbook.h"
#include "throwawayhome.h"
#include "vdiraddressbook.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTest>

#include <unistd.h>

namespace {
// Copies the fixture collections into the home's contacts folder, newest-named file first so
// that the folder's own listing order is not the order the book must answer in.
void copyFixtures(const ThrowAwayHome &home)
{
    const QString source = QFINDTESTDATA("../data/contacts/me");
    QVERIFY(!source.isEmpty());
    const QDir root = QFileInfo(source).dir();
    QStringList files;
    QDirIterator it(root.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        files.append(root.relativeFilePath(it.next()));
    }
    std::sort(files.rbegin(), files.rend());
    for (const QString &file : std::as_const(files)) {
        QFile in(root.filePath(file));
        QVERIFY(in.open(QIODevice::ReadOnly));
        home.writeFile(QStringLiteral(".local/share/contacts/") + file, in.readAll());
    }
}

QStringList uids(const QList<Person> &people)
{
    QStringList result;
    for (const Person &person : people) {
        result.append(person.uid);
    }
    return result;
}

// Names, sizes and content hashes of every file below path.
QStringList snapshot(const QString &path)
{
    QStringList entries;
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        QByteArray hash;
        if (file.open(QIODevice::ReadOnly)) {
            hash = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex();
        }
        entries.append(it.filePath() + QLatin1Char(' ') + QString::fromLatin1(hash));
    }
    entries.sort();
    return entries;
}

QStringList strings(std::initializer_list<const char *> texts)
{
    QStringList list;
    for (const char *text : texts) {
        list.append(QString::fromUtf8(text));
    }
    return list;
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
    void peopleWithEmail_data();
    void peopleWithEmail();
    void me_data();
    void me();
    void malformedFiles_data();
    void malformedFiles();
    void unreadableCollection();
    void sharedFollowsDataHome();
};

void TestAddressBook::peopleWithEmail_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("shared address: collection then file order")
        << "shared@example.org" << strings({"ann-1", "zoe-1", "bob-1"});
    QTest::newRow("case differs: no match") << "ANN@example.org" << QStringList();
    QTest::newRow("lower-case address") << "ann@example.org" << strings({"ann-1"});
    QTest::newRow("mixed-case address") << "Ann@Example.org" << strings({"bob-1"});
    QTest::newRow("grouped address (item1.EMAIL)") << "bob@work.example.com" << strings({"bob-1"});
    QTest::newRow("part of an address") << "example.org" << QStringList();
}

void TestAddressBook::peopleWithEmail()
{
    QFETCH(QString, address);
    QFETCH(QStringList, expected);
    ThrowAwayHome home;
    copyFixtures(home);
    VdirAddressBook book(home.contactsPath());
    QCOMPARE(uids(book.peopleWithEmail(address)), expected);
}

void TestAddressBook::me_data()
{
    QTest::addColumn<QByteArray>("meFile"); // null: no file
    QTest::addColumn<QString>("uid"); // empty: no card
    QTest::addColumn<QStringList>("emails");
    const QStringList bob
        = strings({"bob@example.com", "bob@work.example.com", "Ann@Example.org", "shared@example.org"});
    QTest::newRow("me names a card: addresses in card order") << QByteArray("bob-1\n") << "bob-1" << bob;
    QTest::newRow("padded UID, CRLF, second line ignored")
        << QByteArray("  ann-1 \r\nbob-1\r\n") << "ann-1" << strings({"ann@example.org", "shared@example.org"});
    QTest::newRow("no me file") << QByteArray() << QString() << QStringList();
    QTest::newRow("empty me file") << QByteArray("") << QString() << QStringList();
    QTest::newRow("me names no card") << QByteArray("gone-7\n") << QString() << QStringList();
}

void TestAddressBook::me()
{
    QFETCH(QByteArray, meFile);
    QFETCH(QString, uid);
    QFETCH(QStringList, emails);
    ThrowAwayHome home;
    copyFixtures(home);
    QFile::remove(home.contactsPath() + QStringLiteral("/me"));
    if (!meFile.isNull()) {
        home.writeFile(QStringLiteral(".local/share/contacts/me"), meFile);
    }
    if (meFile.trimmed().startsWith("gone")) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("gone-7")));
    }
    const std::optional<Person> me = VdirAddressBook(home.contactsPath()).me();
    QCOMPARE(me.has_value(), !uid.isEmpty());
    if (me) {
        QCOMPARE(me->uid, uid);
        QCOMPARE(me->emails, emails);
    }
}

void TestAddressBook::malformedFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("warns");
    QTest::addColumn<QString>("address"); // looked up afterwards
    QTest::addColumn<QString>("firstName"); // of the one card expected; null: no card

    const QByteArray good = card("g-1", "Good;Gina;;;", "gina@example.org");
    QByteArray junk;
    for (int i = 0; i < 4096; ++i) {
        junk.append(char(0x80 + (i * 37) % 0x7f));
    }
    QTest::newRow("empty file") << QByteArray() << true << "gina@example.org" << QString();
    QTest::newRow("binary junk") << junk << true << "gina@example.org" << QString();
    QTest::newRow("NUL byte: cards before it kept")
        << good + card("n-2", "Nul;Nina;;;", QByteArray("nina@ex\0ample.org", 17)) << true << "gina@example.org"
        << "Gina";
    QTest::newRow("NUL byte: card holding it dropped")
        << good + card("n-2", "Nul;Nina;;;", QByteArray("nina@ex\0ample.org", 17)) << true << "nina@ex" << QString();
    QTest::newRow("truncated second card") << good + "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:t-2\r\nEMAIL:tom@example.org"
                                           << true << "tom@example.org" << QString();
    QTest::newRow("Latin-1 text") << card("l-1", "M\xfcller;J\xfcrgen;;;", "j@example.org") << true << "j@example.org"
                                  << QString::fromUtf8("Jürgen");
    QTest::newRow("byte-order mark") << "\xEF\xBB\xBF" + good << false << "gina@example.org"
                                     << "Gina";
    QTest::newRow("bare CR line ends") << QByteArray(good).replace("\r\n", "\r") << false << "gina@example.org"
                                       << "Gina";
    QTest::newRow("file over the size cap")
        << good + QByteArray(VdirAddressBook::maximumCardFileSize, ' ') << true << "gina@example.org" << QString();
}

void TestAddressBook::malformedFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, warns);
    QFETCH(QString, address);
    QFETCH(QString, firstName);
    ThrowAwayHome home;
    copyFixtures(home);
    home.writeFile(QStringLiteral(".local/share/contacts/home/bad.vcf"), content);
    const QStringList before = snapshot(home.contactsPath());
    if (warns) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("home/bad\\.vcf")));
    }

    VdirAddressBook book(home.contactsPath());
    const QList<Person> found = book.peopleWithEmail(address);
    QCOMPARE(found.size(), firstName.isNull() ? 0 : 1);
    if (!found.isEmpty()) {
        QCOMPARE(found.first().firstName, firstName);
    }
    // The good cards around the bad file are still read, and nothing was written.
    QCOMPARE(uids(book.peopleWithEmail(QStringLiteral("shared@example.org"))), (strings({"ann-1", "zoe-1", "bob-1"})));
    QCOMPARE(snapshot(home.contactsPath()), before);
}

void TestAddressBook::unreadableCollection()
{
    if (geteuid() == 0) {
        QSKIP("file permissions do not bind the super-user");
    }
    ThrowAwayHome home;
    copyFixtures(home);
    const QString work = home.contactsPath() + QStringLiteral("/work");
    QVERIFY(QFile::setPermissions(work, QFileDevice::WriteOwner));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("contacts/work")));
    const QStringList found
        = uids(VdirAddressBook(home.contactsPath()).peopleWithEmail(QStringLiteral("shared@example.org")));
    QFile::setPermissions(work, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCOMPARE(found, (strings({"ann-1", "zoe-1"})));
}

void TestAddressBook::sharedFollowsDataHome()
{
    ThrowAwayHome home;
    QCOMPARE(AddressBook::sharedAddressBook(), nullptr);

    copyFixtures(home);
    AddressBook *book = AddressBook::sharedAddressBook();
    QVERIFY(book);
    QCOMPARE(book->me()->uid, QStringLiteral("bob-1"));

    // Another data folder gives another book; the first one stays usable.
    home.writeFile(QStringLiteral("other/contacts/c/x.vcf"), card("x-1", "X;Xena;;;", "xena@example.org"));
    home.writeFile(QStringLiteral("other/contacts/me"), "x-1");
    home.setEnv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("other"))));
    AddressBook *other = AddressBook::sharedAddressBook();
    QVERIFY(other && other != book);
    QCOMPARE(other->me()->uid, QStringLiteral("x-1"));
    QCOMPARE(book->me()->uid, QStringLiteral("bob-1"));

    // An injected book wins until it is taken back.
    VdirAddressBook injected(home.contactsPath());
    AddressBook::setSharedAddressBook(&injected);
    QCOMPARE(AddressBook::sharedAddressBook(), &injected);
    AddressBook::setSharedAddressBook(nullptr);
    QCOMPARE(AddressBook::sharedAddressBook(), other);
}

QTEST_GUILESS_MAIN(TestAddressBook)
#include "tst_addressbook.moc"
