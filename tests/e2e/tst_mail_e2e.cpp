// Reminders from the user's own mail account on a computer without any sendmail, end to end: real
// SMTP servers on 127.0.0.1 with logins and STARTTLS on a certificate this test makes (trusted
// through SSL_CERT_FILE for this run only), a real keyring (gnome-keyring) and a real Evolution
// Data Server registry on the private session bus that dbus-run-session gives this test, a
// stand-in for GNOME Online Accounts on the same bus, the pane's "Add Mail Account" dialog
// offscreen, and the real agent. The test functions build on one another, in order.
#include "ComKestramoPreferenceQuorvelPref.h"
#include "addmailaccountdialog.h"
#include "agentruns.h"
#include "bundle.h"
#include "caldavserver.h"
#include "datatable.h"
#include "failurenotice.h"
#include "mailaccountstore.h"
#include "mailapplication.h"
#include "passwordstore.h"
#include "runoutcome.h"

#include <QApplication>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

namespace {
const QString ann = QStringLiteral("ann@example.org");
const QString annPassword = QStringLiteral("ann-app-password");
const QString annId = QStringLiteral("smtp-ann@example.org");
// The desktop's accounts, as Evolution keeps them in its registry's folder.
const QString eveTransport = QStringLiteral("ruvelant-eds-transport");
const QString zoeTransport = QStringLiteral("ruvelant-goa-transport");

// What secret-tool finds in the keyring for the attributes.
QByteArray keyringPassword(const QStringList &attributes)
{
    QProcess lookup;
    lookup.start(QStringLiteral("secret-tool"), QStringList {QStringLiteral("lookup")} + attributes);
    lookup.waitForFinished(30000);
    return lookup.exitCode() == 0 ? lookup.readAllStandardOutput() : QByteArray();
}

bool storeInKeyring(const QStringList &attributes, const QByteArray &password)
{
    QProcess store;
    store.start(QStringLiteral("secret-tool"),
                QStringList {QStringLiteral("store"), QStringLiteral("--label=test")} + attributes);
    store.write(password);
    store.closeWriteChannel();
    return store.waitForFinished(30000) && store.exitCode() == 0;
}

// An event of the searched day in calendar "home" with its attendees; the file's name is uid.ics.
QByteArray eventFile(const QByteArray &uid, const QByteArrayList &attendees)
{
    QByteArray lines;
    for (const QByteArray &attendee : attendees)
        lines += "ATTENDEE:mailto:" + attendee + "\r\n";
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid
        + "\r\nDTSTAMP:20100101T000000Z\r\nSUMMARY:" + uid
        + "\r\nDTSTART:" + searchedDay().toString(QStringLiteral("yyyyMMdd")).toLatin1()
        + "T090000\r\nDURATION:PT1H\r\n" + lines + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

// Ruvelant's account of ann, with the host and port given.
MailAccount annAccount(const QString &host, int port)
{
    MailAccount account;
    account.id = annId;
    account.address = ann;
    account.host = host;
    account.port = port;
    account.security = MailSecurity::StartTls;
    account.userName = ann;
    return account;
}
} // namespace

Q_DECLARE_METATYPE(QByteArrayList)

class MailAccountsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_bundle;
    std::unique_ptr<SmtpSink> m_annSink; // STARTTLS, ann's password
    std::unique_ptr<SmtpSink> m_eveSink; // STARTTLS, eve's password (the desktop's account)
    std::unique_ptr<SmtpSink> m_zoeSink; // STARTTLS, zoe's OAuth2 token (the desktop's Online Accounts account)
    QProcess m_keyring;
    QProcess m_registry;
    QProcess m_onlineAccounts;

    QString text(const QString &key) const { return m_bundle->localizedStringForKey(key, QString()); }

    std::unique_ptr<ComKestramoPreferenceQuorvelPref> openPane()
    {
        Bundle::setMainBundle(m_bundle.get()); // the pane's code is linked into this test
        auto pane = std::make_unique<ComKestramoPreferenceQuorvelPref>(m_bundle->bundlePath());
        if (QWidget *view = pane->loadMainView())
            view->show();
        return pane;
    }

    static QString sources() { return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/evolution/sources/"_qs; }

    // The desktop's accounts: eve's (a password) and zoe's (from Online Accounts, OAuth2).
    void writeDesktopAccounts()
    {
        const auto source = [this](const QString &uid, const QByteArray &text) {
            m_home->writeFile(".config/evolution/sources/"_qs + uid + ".source"_qs, text);
        };
        source("ruvelant-eds-account"_qs,
               "[Data Source]\nDisplayName=eve@example.org\nEnabled=true\nParent=\n\n"
               "[Mail Account]\nBackendName=none\nIdentityUid=ruvelant-eds-identity\n");
        source("ruvelant-eds-identity"_qs,
               "[Data Source]\nDisplayName=eve@example.org\nEnabled=true\nParent=ruvelant-eds-account\n\n"
               "[Mail Identity]\nAddress=eve@example.org\nName=Eve Example\n\n"
               "[Mail Submission]\nTransportUid=ruvelant-eds-transport\n");
        source(eveTransport,
               "[Data Source]\nDisplayName=eve@example.org\nEnabled=true\nParent=ruvelant-eds-account\n\n"
               "[Mail Transport]\nBackendName=smtp\n\n[Authentication]\nHost=127.0.0.1\nPort="
                   + QByteArray::number(m_eveSink->port())
                   + "\nUser=eve\nMethod=PLAIN\n\n[Security]\nMethod=starttls-on-standard-port\n");
        // Online Accounts' account, as its module of the registry writes it: a source above the
        // mail sources that names the account. (Its [Collection] part is left out: the registry
        // exports a collection only with its provider's module, which would go to the network.)
        source("ruvelant-goa-collection"_qs,
               "[Data Source]\nDisplayName=zoe@example.org\nEnabled=true\nParent=\n\n"
               "[GNOME Online Accounts]\nAccountId=account_1\n");
        source("ruvelant-goa-account"_qs,
               "[Data Source]\nDisplayName=zoe@example.org\nEnabled=true\nParent=ruvelant-goa-collection\n\n"
               "[Mail Account]\nBackendName=imapx\nIdentityUid=ruvelant-goa-identity\n");
        source("ruvelant-goa-identity"_qs,
               "[Data Source]\nDisplayName=zoe@example.org\nEnabled=true\nParent=ruvelant-goa-collection\n\n"
               "[Mail Identity]\nAddress=zoe@example.org\nName=Zoe\n\n"
               "[Mail Submission]\nTransportUid=ruvelant-goa-transport\n");
        source(zoeTransport,
               "[Data Source]\nDisplayName=zoe@example.org\nEnabled=true\nParent=ruvelant-goa-collection\n\n"
               "[Mail Transport]\nBackendName=smtp\n\n[Authentication]\nHost=127.0.0.1\nPort="
                   + QByteArray::number(m_zoeSink->port())
                   + "\nUser=zoe@example.org\nMethod=XOAUTH2\n\n[Security]\nMethod=starttls-on-standard-port\n");
    }

    // Starts a program of the private session that claims a bus name, and waits for the name.
    static bool startService(QProcess &process, const QString &program, const QStringList &arguments,
                             const QString &name)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(program, arguments);
        for (int i = 0; i < 300; ++i) {
            if (QDBusConnection::sessionBus().interface()->isServiceRegistered(name))
                return true;
            QTest::qWait(100);
        }
        return false;
    }

    // The run's hand-over failures by the words of the log, and what the desktop would be told.
    QStringList notifications() const
    {
        const RunOutcome outcome
            = RunOutcome::lastRun(SentReminders::readLogText(m_home->filePath("Library/Logs"_qs), "helper_agentrun"_qs),
                                  QDate::currentDate());
        QStringList titles;
        const QStringList arguments = FailureNotice::notifierArguments(outcome, *m_bundle);
        for (int i = 0; i + 1 < arguments.size(); ++i)
            if (arguments.at(i) == "--text"_qs)
                titles << arguments.at(i + 1);
        return titles;
    }

    bool marked(const QString &uid) const
    {
        return readFile(m_home->calendarsPath() + "/home/"_qs + uid + ".ics"_qs).contains("(*)");
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session, as ctest does");
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", bus); // the private bus, for the programs started here
        // No sendmail anywhere: the programs' PATH has none, nor have the usual places.
        QVERIFY2(MailApplication::findSendmail().isEmpty() || !QFileInfo::exists("/usr/sbin/sendmail"_qs),
                 "a sendmail program is installed on this computer");
        m_home->setEnv("PATH", "/usr/bin:/bin");
        QVERIFY(MailApplication::findSendmail().isEmpty());
        // The registry's settings and modules of this test alone: nothing of the desktop's.
        m_home->setEnv("GSETTINGS_BACKEND", "memory");
        QDir().mkpath(m_home->filePath("no-registry-modules"_qs));
        m_home->setEnv("EDS_REGISTRY_MODULES", QFile::encodeName(m_home->filePath("no-registry-modules"_qs)));
        m_bundle = std::make_unique<Bundle>(buildPath("Ruvelant.prefPane"_qs));

        // A keyring of this home, unlocked with its password as a login would.
        m_keyring.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_keyring.start("gnome-keyring-daemon"_qs, {"--foreground"_qs, "--unlock"_qs, "--components=secrets"_qs});
        m_keyring.write("login password");
        m_keyring.closeWriteChannel();
        QTRY_VERIFY_WITH_TIMEOUT(
            QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.secrets"_qs), 30000);

        // The servers, on one certificate that only this run trusts.
        SmtpSink::Options options;
        options.security = SmtpSink::Options::StartTls;
        options.sendmail = false;
        options.login = ann + ":"_qs + annPassword;
        m_annSink = std::make_unique<SmtpSink>(*m_home, "ann-server"_qs);
        QVERIFY(m_annSink->start(options));
        m_home->setEnv("SSL_CERT_FILE", QFile::encodeName(m_annSink->certificatePath()));
        options.login = "eve:eve-password"_qs;
        m_eveSink = std::make_unique<SmtpSink>(*m_home, "eve-server"_qs);
        QDir().mkpath(m_home->filePath("eve-server"_qs));
        QVERIFY(QFile::copy(m_annSink->certificatePath(), m_eveSink->certificatePath()));
        QVERIFY(QFile::copy(m_annSink->keyPath(), m_eveSink->keyPath()));
        QVERIFY(m_eveSink->start(options));
        options.login.clear();
        options.xoauth2 = "zoe@example.org:token-1"_qs;
        m_zoeSink = std::make_unique<SmtpSink>(*m_home, "zoe-server"_qs);
        QDir().mkpath(m_home->filePath("zoe-server"_qs));
        QVERIFY(QFile::copy(m_annSink->certificatePath(), m_zoeSink->certificatePath()));
        QVERIFY(QFile::copy(m_annSink->keyPath(), m_zoeSink->keyPath()));
        QVERIFY(m_zoeSink->start(options));

        // The desktop: Evolution Data Server's registry with eve's and zoe's accounts (eve's
        // password in the keyring, as Evolution keeps it), and Online Accounts with zoe's token.
        writeDesktopAccounts();
        QVERIFY(storeInKeyring({"e-source-uid"_qs, eveTransport}, "eve-password"));
        QVERIFY(startService(m_registry, "/usr/libexec/evolution-source-registry"_qs, {},
                             "org.gnome.evolution.dataserver.Sources5"_qs));
        QVERIFY(startService(m_onlineAccounts, "/usr/bin/python3"_qs,
                             {RUVELANT_SOURCE_DIR "/tests/support/onlineaccounts.py"_qs, "account_1"_qs,
                              "zoe@example.org"_qs, "token-1"_qs, m_home->filePath("goa-calls"_qs)},
                             "org.gnome.OnlineAccounts"_qs));

        // The user's own card, whose addresses are the senders to choose from.
        m_home->writeFile(".local/share/contacts/default/me.vcf"_qs,
                          "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:me\r\nN:Example;Ann;;;\r\nFN:Ann Example\r\n"
                          "EMAIL:ann@example.org\r\nEMAIL:eve@example.org\r\nEMAIL:zoe@example.org\r\nEND:VCARD\r\n");
        m_home->writeFile(".local/share/contacts/me"_qs, "me\n");
        storePreferences({{"senderEmail"_qs, ann}, {"sendMissedReminders"_qs, false}});
        m_home->writeFile(".local/share/calendars/home/displayname"_qs, "Home\n");
    }

    void cleanupTestCase()
    {
        Bundle::setMainBundle(nullptr);
        for (QProcess *process : {&m_onlineAccounts, &m_registry, &m_keyring}) {
            process->terminate();
            process->waitForFinished();
        }
        m_zoeSink.reset();
        m_eveSink.reset();
        m_annSink.reset();
        m_home.reset();
    }

    // From a pane that says no account sends from the sender, to reminders going out through the
    // account added in its dialog: a wrong password is said so and keeps nothing; the test
    // message goes the way reminders go; the password is in the keyring and nowhere on disk.
    void accountFromThePaneToReminders()
    {
        auto pane = openPane();
        QWidget *view = pane->mainView();
        auto *status = view->findChild<QLabel *>("mailStatusLabel"_qs);
        auto *add = view->findChild<QPushButton *>("mailStatusAddButton"_qs);
        QTRY_VERIFY2_WITH_TIMEOUT(status->text().startsWith(text("MailStatusNoAccountForSender"_qs).arg(ann)),
                                  qPrintable(status->text()), 20000);
        QVERIFY(add->isVisible());

        QString shownAfterWrongPassword;
        QTimer::singleShot(0, this, [&] {
            auto *dialog = qobject_cast<AddMailAccountDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QTest::keyClicks(dialog->findChild<QLineEdit *>("addressEdit"_qs), ann);
            QCOMPARE(dialog->findChild<QLineEdit *>("userEdit"_qs)->text(), ann);
            QTest::keyClicks(dialog->findChild<QLineEdit *>("serverEdit"_qs), "127.0.0.1"_qs);
            auto *port = dialog->findChild<QSpinBox *>("portSpinBox"_qs);
            port->setFocus();
            port->selectAll();
            QTest::keyClicks(port, QString::number(m_annSink->port()));
            QCOMPARE(port->value(), int(m_annSink->port()));
            QCOMPARE(dialog->findChild<QComboBox *>("securityComboBox"_qs)->currentIndex(), 1); // STARTTLS
            auto *password = dialog->findChild<QLineEdit *>("passwordEdit"_qs);
            auto *statusLabel = dialog->findChild<QLabel *>("statusLabel"_qs);
            auto *addButton = dialog->findChild<QPushButton *>("addButton"_qs);
            QTest::keyClicks(password, "not-the-password"_qs);
            QTest::mouseClick(addButton, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(addButton->isEnabled(), 60000);
            shownAfterWrongPassword = statusLabel->text();
            QVERIFY(!QFileInfo::exists(MailAccountStore::path()));

            password->clear();
            QTest::keyClicks(password, annPassword);
            QTest::mouseClick(dialog->findChild<QPushButton *>("testButton"_qs), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(statusLabel->text().startsWith(
                                         text("MailAccountTestTaken"_qs).arg("127.0.0.1"_qs, ann).toHtmlEscaped()),
                                     60000);
            QCOMPARE(deliveries(*m_annSink), (QHash<QString, int> {{ann, 1}}));
            QVERIFY(!QFileInfo::exists(MailAccountStore::path())); // a test keeps nothing

            QTest::mouseClick(addButton, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(dialog->isHidden(), 60000);
            QCOMPARE(dialog->result(), int(QDialog::Accepted));
        });
        QTest::mouseClick(add, Qt::LeftButton);
        SmtpFailure loginRefused;
        loginRefused.server = "127.0.0.1:1"_qs;
        loginRefused.account = ann;
        const QString refused = loginRefused.inWords(text("SmtpFailureLoginRefused"_qs));
        QVERIFY2(shownAfterWrongPassword.startsWith(refused.toHtmlEscaped()), qPrintable(shownAfterWrongPassword));

        // Kept: the account without its password, the password in the keyring only.
        QList<MailAccount> stored;
        QVERIFY(MailAccountStore::load(&stored, nullptr));
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored.first().id, annId);
        QCOMPARE(keyringPassword(PasswordStore::attributes(annId)), annPassword.toUtf8());
        QVERIFY(!readFile(MailAccountStore::path()).contains(annPassword.toUtf8()));
        QVERIFY(!QFileInfo::exists(PasswordStore::passwordFile(annId)));
        QTRY_COMPARE_WITH_TIMEOUT(
            status->text(), text("MailStatusAccount"_qs).arg(ann, "127.0.0.1:%1"_qs.arg(m_annSink->port())), 20000);
        QVERIFY(!add->isVisible());
        pane.reset();

        // The next run sends the reminder, as the agent builds it, from ann's account.
        m_home->writeFile(".local/share/calendars/home/dentist.ics"_qs, eventFile("dentist", {"bob@example.org"}));
        QCOMPARE(runToEnd(), 0);
        const QList<QByteArray> raw = m_annSink->rawMessages();
        QCOMPARE(deliveries(*m_annSink), (QHash<QString, int> {{ann, 1}, {"bob@example.org"_qs, 1}}));
        QCOMPARE(SmtpSink::header(raw.last(), "X-AuthLogin"), ann.toUtf8());
        QCOMPARE(SmtpSink::header(raw.last(), "X-MailFrom"), ann.toUtf8());
        QCOMPARE(SmtpSink::header(raw.last(), "From"), ann.toUtf8());
        QCOMPARE(SmtpSink::header(raw.last(), "To"), QByteArray("bob@example.org"));
        // The templates of the settings ("On <<date>>", "Dear <<first>> <<last>>,...").
        QVERIFY(m_annSink->messages().last()->subject()->asUnicodeString().startsWith("On "_qs));
        QVERIFY(m_annSink->messages().last()->decodedContent().startsWith("Dear"));
        QVERIFY(marked("dentist"_qs));
    }

    // How each failure leaves the event, what the next run (with the fault put right, where it
    // can be) does, and what the desktop is told.
    void failures_data()
    {
        QTest::addColumn<QString>("host"); // the account's server while the fault lasts
        QTest::addColumn<int>("port"); // 0: the server's own; -1: a port where nothing listens
        QTest::addColumn<QByteArray>("password"); // in the keyring while the fault lasts
        QTest::addColumn<QByteArrayList>("attendees");
        QTest::addColumn<QString>("logged"); // in the failure line
        QTest::addColumn<bool>("markedAfterFirst");
        QTest::addColumn<bool>("deliveredNext"); // the next run, the fault put right, delivers
        QTest::addColumn<QString>("told"); // the kind of the one notification; empty: none

        const QByteArray right = annPassword.toUtf8();
        row("wrong password", "127.0.0.1", 0, QByteArray("wrong"),
            QByteArrayList {"carl@example.org", "cleo@example.org"}, "login refused at AUTH: 535", false, true,
            "LoginRefused");
        row("4xx answer to RCPT TO", "127.0.0.1", 0, right, QByteArrayList {"busy@example.org"},
            "try again later at RCPT TO: 450", false, false, "TryAgainLater");
        row("5xx answer to RCPT TO", "127.0.0.1", 0, right, QByteArrayList {"refused@example.org"},
            "recipient refused at RCPT TO: 550", true, false, "RecipientRefused");
        row("connection refused", "127.0.0.1", -1, right, QByteArrayList {"dan@example.org", "dora@example.org"},
            "not reachable", false, true, "Unreachable");
        row("name does not resolve", "mail.ruvelant.invalid", 0, right, QByteArrayList {"ed@example.org"},
            "name not found", false, true, "HostUnknown");
    }
    void failures()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QByteArray, password);
        QFETCH(QByteArrayList, attendees);
        QFETCH(QString, logged);
        QFETCH(bool, markedAfterFirst);
        QFETCH(bool, deliveredNext);
        QFETCH(QString, told);
        const int serverPort = m_annSink->port();
        QVERIFY(MailAccountStore::save({annAccount(host,
                                                   port == 0      ? serverPort
                                                       : port < 0 ? int(freePort())
                                                                  : port)},
                                       nullptr));
        QVERIFY(storeInKeyring(PasswordStore::attributes(annId), password));
        const QString uid = QString::fromLatin1(attendees.first().split('@').first()) + "-event"_qs;
        m_home->writeFile(".local/share/calendars/home/"_qs + uid + ".ics"_qs, eventFile(uid.toLatin1(), attendees));
        const auto before = deliveries(*m_annSink);

        QCOMPARE(runToEnd(), 0);
        QCOMPARE(deliveries(*m_annSink), before);
        QVERIFY2(marked(uid) == markedAfterFirst,
                 qPrintable(agentLog(*m_home, "helper_agentrun").join(QLatin1Char('\n'))));
        const QStringList log = agentLog(*m_home, "helper_agentrun");
        const QString line
            = "Failed to hand over the reminder to '%1': SMTP server "_qs.arg(QString::fromLatin1(attendees.first()));
        const auto failed
            = std::find_if(log.crbegin(), log.crend(), [&](const QString &record) { return record.contains(line); });
        QVERIFY2(failed != log.crend() && failed->contains(logged),
                 qPrintable(log.mid(log.size() - 12).join(QLatin1Char('\n'))));
        // The desktop is told once, in plain words, however many reminders it kept back.
        const QStringList told1 = notifications();
        QCOMPARE(told1.size(), 1);
        QVERIFY2(told1.first().startsWith(SmtpFailure::fromReason(failed->mid(failed->indexOf("SMTP server"_qs)))
                                              .inWords(text("SmtpFailure"_qs + told))),
                 qPrintable(told1.first()));
        // A failure of the account itself is met once: the other reminders fail without a try.
        if (attendees.size() > 1)
            QVERIFY(!log.filter("the account %1 is not tried again in this run"_qs.arg(ann)).isEmpty());

        // The fault put right: the password, the server.
        QVERIFY(MailAccountStore::save({annAccount("127.0.0.1"_qs, serverPort)}, nullptr));
        QVERIFY(storeInKeyring(PasswordStore::attributes(annId), annPassword.toUtf8()));
        const int linesBefore = agentLog(*m_home, "helper_agentrun").size();
        QCOMPARE(runToEnd(), 0);
        const QStringList next = agentLog(*m_home, "helper_agentrun").mid(linesBefore);
        const auto now = deliveries(*m_annSink);
        for (const QByteArray &attendee : attendees) {
            const QString address = QString::fromLatin1(attendee);
            QCOMPARE(now.value(address) - before.value(address), deliveredNext ? 1 : 0);
            // Refused for good: not tried again; the others are.
            QCOMPARE(next.filter("  ->"_qs + address).size(), markedAfterFirst ? 0 : 1);
        }
        QCOMPARE(marked(uid), markedAfterFirst || deliveredNext);
        // An event still due would fail again in the next rows' runs.
        QFile::remove(m_home->calendarsPath() + "/home/"_qs + uid + ".ics"_qs);
    }

    // A mail account of the desktop, as Evolution keeps it in EDS, is chosen by the sender, its
    // password taken from the keyring as Evolution keeps it.
    void desktopAccountChosenBySender()
    {
        storePreferences({{"senderEmail"_qs, "eve@example.org"_qs}, {"sendMissedReminders"_qs, false}});
        m_home->writeFile(".local/share/calendars/home/review.ics"_qs, eventFile("review", {"frank@example.org"}));
        QCOMPARE(runToEnd(), 0);
        QCOMPARE(deliveries(*m_eveSink), (QHash<QString, int> {{"frank@example.org"_qs, 1}}));
        const QByteArray raw = m_eveSink->rawMessages().last();
        QCOMPARE(SmtpSink::header(raw, "X-AuthLogin"), QByteArray("eve"));
        QCOMPARE(SmtpSink::header(raw, "X-MailFrom"), QByteArray("eve@example.org"));
        QVERIFY(marked("review"_qs));
    }

    // An account of Online Accounts logs in with the token that Online Accounts hands out at
    // that moment (XOAUTH2), which is kept nowhere.
    void onlineAccountsToken()
    {
        storePreferences({{"senderEmail"_qs, "zoe@example.org"_qs}, {"sendMissedReminders"_qs, false}});
        m_home->writeFile(".local/share/calendars/home/lunch.ics"_qs, eventFile("lunch", {"gina@example.org"}));
        QCOMPARE(runToEnd(), 0);
        const QStringList log = agentLog(*m_home, "helper_agentrun");
        QVERIFY2(marked("lunch"_qs), qPrintable(log.mid(log.size() - 6).join(QLatin1Char('\n'))));
        QCOMPARE(deliveries(*m_zoeSink), (QHash<QString, int> {{"gina@example.org"_qs, 1}}));
        QCOMPARE(SmtpSink::header(m_zoeSink->rawMessages().last(), "X-AuthLogin"), QByteArray("zoe@example.org"));
        QCOMPARE(readFile(m_home->filePath("goa-calls"_qs)), QByteArray("EnsureCredentials\nGetAccessToken\n"));
        QVERIFY(marked("lunch"_qs));
        QDirIterator files(m_home->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString file = files.next();
            QVERIFY2(!readFile(file).contains("token-1"), qPrintable(file));
        }
    }
};

QTEST_MAIN(MailAccountsTest)
#include "tst_mail_e2e.moc"
