// The mail accounts as the platform keeps and chooses them: which account sends for a sender, the
// account file, the settings an account may have, the big providers' servers, and the bound on
// asking the desktop's registry (a private session bus of this test's own).
#include "datatable.h"
#include "desktopmailaccounts.h"
#include "mailaccountsetup.h"
#include "mailaccountstore.h"
#include "mailproviders.h"
#include "mailroute.h"
#include "throwawayhome.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(MailRoute::Kind)
Q_DECLARE_METATYPE(MailSecurity)

namespace {
// "ann@example.org" of Ruvelant's, "*eve@example.org" of the desktop (the default when marked
// "**"), by the texts of a table's cell.
QList<MailAccount> accounts(const QStringList &texts, MailAccount::Origin origin)
{
    QList<MailAccount> list;
    for (QString text : texts) {
        MailAccount account;
        account.origin = origin;
        account.isDefault = text.startsWith(QLatin1String("**"));
        text.remove(QLatin1Char('*'));
        account.id = text;
        account.address = text;
        account.host = "smtp."_qs + text.section(QLatin1Char('@'), 1);
        account.port = 587;
        account.userName = text;
        list.append(account);
    }
    return list;
}
} // namespace

class TestMailRoute : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The account whose address is the sender's sends, the desktop's before Ruvelant's; with no
    // sender, the desktop's default, else Ruvelant's first; the sendmail program when no account
    // fits, and nothing when there is none either.
    void choose_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QStringList>("desktop");
        QTest::addColumn<QStringList>("own");
        QTest::addColumn<QString>("sendmail");
        QTest::addColumn<MailRoute::Kind>("kind");
        QTest::addColumn<QString>("sends"); // the account's address; for Sendmail the program
        QTest::addColumn<QString>("unmatched");
        const QStringList none;
        const QString sm = "/usr/sbin/sendmail"_qs;
        row("the sender's own account", "ann@example.org", none, QStringList {"bob@x.org"_qs, "ann@example.org"_qs}, sm,
            MailRoute::Account, "ann@example.org", "");
        row("the desktop's account before Ruvelant's", "ann@example.org", QStringList {"ann@example.org"_qs},
            QStringList {"ann@example.org"_qs}, "", MailRoute::Account, "ann@example.org", "");
        row("the address written otherwise, with white space", " ANN@Example.org ", none,
            QStringList {"ann@example.org"_qs}, "", MailRoute::Account, "ann@example.org", "");
        row("the sender with a name", "Ann <ann@example.org>", none, QStringList {"ann@example.org"_qs}, "",
            MailRoute::Account, "ann@example.org", "");
        row("no sender: the desktop's default", " ", QStringList {"*eve@d.org"_qs, "**zoe@d.org"_qs},
            QStringList {"ann@example.org"_qs}, sm, MailRoute::Account, "zoe@d.org", "");
        row("no sender, no desktop default: Ruvelant's first", "", QStringList {"eve@d.org"_qs},
            QStringList {"ann@example.org"_qs, "bob@x.org"_qs}, sm, MailRoute::Account, "ann@example.org", "");
        row("no sender, no account: sendmail", "", none, none, sm, MailRoute::Sendmail, sm, "");
        row("a sender without account: sendmail, not another account", "me@example.com", QStringList {"**eve@d.org"_qs},
            QStringList {"ann@example.org"_qs}, sm, MailRoute::Sendmail, sm, "me@example.com");
        row("a sender without account and no sendmail: nothing", "me@example.com", none,
            QStringList {"ann@example.org"_qs}, "", MailRoute::None, "", "me@example.com");
        row("an account of another address that contains the sender's", "ann@example.org", none,
            QStringList {"joann@example.org"_qs}, "", MailRoute::None, "", "ann@example.org");
        row("nothing at all", "", none, none, "", MailRoute::None, "", "");
    }
    void choose()
    {
        QFETCH(QString, sender);
        QFETCH(QStringList, desktop);
        QFETCH(QStringList, own);
        QFETCH(QString, sendmail);
        QFETCH(MailRoute::Kind, kind);
        QFETCH(QString, sends);
        QFETCH(QString, unmatched);
        const MailRoute route = MailRoute::choose(sender, accounts(desktop, MailAccount::Desktop),
                                                  accounts(own, MailAccount::Ruvelant), sendmail);
        QCOMPARE(route.kind, kind);
        QCOMPARE(route.kind == MailRoute::Sendmail ? route.sendmail : route.account.address, sends);
        QCOMPARE(route.unmatchedSender, unmatched);
        if (kind == MailRoute::Account && !desktop.isEmpty() && !own.isEmpty() && desktop.first() == own.first())
            QCOMPARE(route.account.origin, MailAccount::Desktop);
    }

    // What --server and the dialog take: a host name or address, an IPv6 address in brackets, an
    // optional port.
    void servers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        row("a name", "smtp.example.org", true, "smtp.example.org", 0);
        row("a name and port", "smtp.example.org:2525", true, "smtp.example.org", 2525);
        row("an IPv4 address", "127.0.0.1:25", true, "127.0.0.1", 25);
        row("an IPv6 address", "[::1]:587", true, "::1", 587);
        row("an international name", "mail.bücher.example", true, "mail.bücher.example", 0);
        row("a port out of range", "smtp.example.org:65536", false, "", 0);
        row("port zero", "smtp.example.org:0", false, "", 0);
        row("IPv6 without brackets", "::1:25", false, "", 0);
        row("a URL", "smtp://smtp.example.org", false, "", 0);
        row("white space inside", "smtp example.org", false, "", 0);
        row("a name in brackets", "[smtp.example.org]", false, "", 0);
        row("an empty label", "smtp..example.org", false, "", 0);
    }
    void servers()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QString, host);
        QFETCH(int, port);
        QString parsedHost;
        int parsedPort = -1;
        QCOMPARE(parseMailServer(text, &parsedHost, &parsedPort), valid);
        if (valid) {
            QCOMPARE(parsedHost, host);
            QCOMPARE(parsedPort, port);
        }
    }

    // An account of Ruvelant's never sends anything in the clear over the network.
    void problems_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<MailSecurity>("security");
        QTest::addColumn<QString>("problem"); // a part of it; empty: none
        row("STARTTLS", "ann@example.org", "smtp.example.org", 587, MailSecurity::StartTls, "");
        row("no TLS to this computer", "ann@example.org", "127.0.0.1", 25, MailSecurity::None, "");
        row("no TLS to localhost", "ann@example.org", "localhost", 25, MailSecurity::None, "");
        row("no TLS to another computer", "ann@example.org", "192.168.1.2", 25, MailSecurity::None,
            "only allowed to a server on this computer");
        row("no TLS to a name", "ann@example.org", "smtp.example.org", 25, MailSecurity::None,
            "only allowed to a server on this computer");
        row("two addresses", "ann@example.org, bob@example.org", "smtp.example.org", 587, MailSecurity::Tls,
            "is not one e-mail address");
        row("a port out of range", "ann@example.org", "smtp.example.org", 70000, MailSecurity::Tls, "is not a port");
    }
    void problems()
    {
        QFETCH(QString, address);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(MailSecurity, security);
        QFETCH(QString, problem);
        MailAccount account;
        account.address = address;
        account.host = host;
        account.port = port;
        account.security = security;
        account.userName = "ann"_qs;
        QVERIFY2(problem.isEmpty() ? account.problem().isEmpty() : account.problem().contains(problem),
                 qPrintable(account.problem()));
    }

    // The big providers by the domain of the address, in any case; others are not guessed.
    void providers_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<MailSecurity>("security");
        row("Gmail", "ann@gmail.com", "smtp.gmail.com", 465, MailSecurity::Tls);
        row("Gmail in capitals", "Ann@GMail.COM", "smtp.gmail.com", 465, MailSecurity::Tls);
        row("Outlook.com", "ann@hotmail.fr", "smtp-mail.outlook.com", 587, MailSecurity::StartTls);
        row("Posteo", "ann@posteo.net", "posteo.de", 465, MailSecurity::Tls);
        row("a subdomain of a provider is not the provider", "ann@mail.gmail.com", "", 0, MailSecurity::Tls);
        row("another domain", "ann@example.org", "", 0, MailSecurity::Tls);
    }
    void providers()
    {
        QFETCH(QString, address);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(MailSecurity, security);
        MailProviders::Provider provider;
        QCOMPARE(MailProviders::forAddress(address, &provider), !host.isEmpty());
        if (!host.isEmpty()) {
            QCOMPARE(provider.host, host);
            QCOMPARE(provider.port, port);
            QCOMPARE(provider.security, security);
        }
    }

    // The account file: read back as written, with no password; one that cannot be read is never
    // written over (an account is then not added, nor its password kept).
    void accountFile()
    {
        ThrowAwayHome home;
        QList<MailAccount> written = accounts({"ann@example.org"_qs, "bob@example.org"_qs}, MailAccount::Ruvelant);
        written[0].id = MailAccountStore::newId(written[0].address, {});
        written[1].id = MailAccountStore::newId("ANN@example.org"_qs, {written[0]});
        QCOMPARE(written[0].id, "smtp-ann@example.org"_qs);
        QCOMPARE(written[1].id, "smtp-ann@example.org-2"_qs); // same address otherwise written: an id of its own
        written[1].name = "Bob"_qs;
        written[1].security = MailSecurity::Tls;
        written[1].passwordInFile = true;
        QVERIFY(MailAccountStore::save(written, nullptr));
        QList<MailAccount> read;
        QVERIFY(MailAccountStore::load(&read, nullptr));
        QCOMPARE(read.size(), 2);
        QCOMPARE(read[1].id, written[1].id);
        QCOMPARE(read[1].name, "Bob"_qs);
        QCOMPARE(read[1].security, MailSecurity::Tls);
        QCOMPARE(read[1].passwordInFile, true);
        QCOMPARE(read[0].serverText(), "smtp.example.org"_qs);

        // An id that would lead out of the passwords' folder makes the file unreadable.
        const QByteArray damaged = readFile(MailAccountStore::path()).replace("smtp-ann@example.org-2", "../../x");
        home.writeFile(".config/ruvelant/mail-accounts.plist"_qs, damaged);
        QString error;
        QVERIFY(!MailAccountStore::load(&read, &error));
        QVERIFY2(error.contains("no valid id"_qs), qPrintable(error));
        MailAccountSetup setup;
        QSignalSpy finished(&setup, &MailAccountSetup::finished);
        MailAccount added = accounts({"carl@example.org"_qs}, MailAccount::Ruvelant).first();
        added.passwordInFile = true;
        setup.add(added, "secret"_qs);
        QVERIFY(finished.wait());
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(readFile(MailAccountStore::path()), damaged);
        QVERIFY(!QFileInfo::exists(home.filePath(".config/ruvelant/passwords"_qs)));
    }

    // A registry that is there but never answers costs the caller its bound, not D-Bus's own
    // time limit (25 s), and gives no desktop accounts.
    void registryThatDoesNotAnswer()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session, as ctest does");
        QProcess stuck;
        stuck.setProcessChannelMode(QProcess::ForwardedChannels);
        stuck.start("/usr/bin/python3"_qs,
                    {"-c"_qs,
                     "import dbus, dbus.service, time; bus = dbus.SessionBus(); "
                     "name = dbus.service.BusName('org.gnome.evolution.dataserver.Sources5', bus); "
                     "time.sleep(120)"_qs});
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     "org.gnome.evolution.dataserver.Sources5"_qs),
                                 30000);
        QElapsedTimer waited;
        waited.start();
        QString problem;
        const QList<DesktopMailIdentity> found = DesktopMailAccounts::read(std::chrono::milliseconds(2000), &problem);
        const qint64 elapsed = waited.elapsed();
        stuck.kill();
        stuck.waitForFinished();
        QVERIFY(found.isEmpty());
        QVERIFY2(problem.contains("did not answer within 2 seconds"_qs), qPrintable(problem));
        QVERIFY2(elapsed < 20000, qPrintable(QString::number(elapsed)));
    }
};

QTEST_GUILESS_MAIN(TestMailRoute)
#include "tst_mailroute.moc"
