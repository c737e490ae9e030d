// Calendars from a CalDAV account, end to end: a real Radicale on 127.0.0.1 with passwords, the
// pane's "Add Account" dialog offscreen, the password in a real keyring (gnome-keyring on the
// private session bus that dbus-run-session gives this test), real vdirsyncer runs, the real agent
// and a real mail chain. The test functions build on one another, in order.
#include "ComKestramoPreferenceQuorvelPref.h"
#include "accountlistmodel.h"
#include "accountsetup.h"
#include "addaccountdialog.h"
#include "agentruns.h"
#include "bundle.h"
#include "caldavserver.h"
#include "calendarsync.h"
#include "datatable.h"
#include "passwordstore.h"
#include "preferenceservice.h"
#include "privatefile.h"
#include "syncschedule.h"
#include "syncstatus.h"
#include "vdirsyncerconfig.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {
const QString syncProgram = buildPath("Ruvelant.prefPane/Contents/Resources/RuvelantSync"_qs);

QString day()
{
    return searchedDay().toString("yyyyMMdd"_qs);
}

QByteArray eventFile(const QByteArray &uid, const QByteArray &title, const QByteArray &attendee)
{
    return readFile(RUVELANT_SOURCE_DIR "/tests/data/caldav/event.ics"_qs)
        .replace("@UID@", uid)
        .replace("@TITLE@", title)
        .replace("@ATTENDEE@", attendee)
        .replace("@DAY@", day().toLatin1());
}

// What secret-tool finds in the keyring for the account.
QByteArray keyringPassword(const QString &accountId)
{
    QProcess lookup;
    lookup.start("secret-tool"_qs, QStringList {"lookup"_qs} + PasswordStore::attributes(accountId));
    lookup.waitForFinished(30000);
    return lookup.exitCode() == 0 ? lookup.readAllStandardOutput() : QByteArray();
}

// Runs the sync program to its end; its exit code.
int syncToEnd(const QStringList &arguments = {})
{
    QString errors;
    const int code = finish(*startProgram("Ruvelant.prefPane/Contents/Resources/RuvelantSync", arguments), &errors);
    if (!errors.isEmpty())
        qInfo().noquote() << errors;
    return code;
}

// Waits until the sync of account has ended after moment.
bool syncEnded(const QString &id, const QDateTime &after)
{
    for (int i = 0; i < 600; ++i) {
        const SyncOutcome outcome = SyncStatus::load().value(id);
        if (outcome.finished.isValid() && outcome.finished >= after && !outcome.isRunning())
            return true;
        QTest::qWait(100);
    }
    return false;
}
} // namespace

class CalDavTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<CalDavServer> m_server;
    std::unique_ptr<CalDavServer> m_tlsServer;
    std::unique_ptr<SmtpSink> m_sink;
    std::unique_ptr<Bundle> m_bundle;
    QProcess m_keyring;
    QProcess m_webServer; // answers HTTP, but no CalDAV
    quint16 m_webPort = 0;

    QString text(const QString &key) const { return m_bundle->localizedStringForKey(key, QString()); }

    // Fills in the dialog as a person does and presses "Find Calendars"; then waits for the answer.
    void find(AddAccountDialog &dialog, const QString &address, const QString &user, const QString &password)
    {
        QTest::keyClicks(dialog.findChild<QLineEdit *>("addressEdit"_qs), address);
        QTest::keyClicks(dialog.findChild<QLineEdit *>("userEdit"_qs), user);
        QTest::keyClicks(dialog.findChild<QLineEdit *>("passwordEdit"_qs), password);
        QTest::mouseClick(dialog.findChild<QPushButton *>("findButton"_qs), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.findChild<QPushButton *>("findButton"_qs)->isEnabled(), 60000);
    }

    // Adds the account in the dialog as a person does, checking the calendars it shows.
    void addInDialog(AddAccountDialog &dialog, const QString &user, const QStringList &expectedCalendars)
    {
        find(dialog, m_server->url(), user, user + "-password"_qs);
        auto *list = dialog.findChild<QListWidget *>("calendarsList"_qs);
        QStringList shown;
        for (int i = 0; i < list->count(); ++i)
            shown.append(list->item(i)->text());
        shown.sort();
        QCOMPARE(shown, expectedCalendars);
        QTest::mouseClick(dialog.findChild<QPushButton *>("addButton"_qs), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isHidden(), 60000);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.warning(), QString());
    }

    // The pane as the host shows it.
    std::unique_ptr<ComKestramoPreferenceQuorvelPref> openPane()
    {
        Bundle::setMainBundle(m_bundle.get()); // the pane's code is linked into this test
        auto pane = std::make_unique<ComKestramoPreferenceQuorvelPref>(m_bundle->bundlePath());
        if (QWidget *view = pane->loadMainView())
            view->show();
        return pane;
    }

    static QString accountId(const QString &user)
    {
        for (const CalDavAccount &account : AccountSetup::accounts())
            if (account.userName == user)
                return account.id;
        return QString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session, as ctest does");
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", bus); // the private bus, for the programs started here
        m_bundle = std::make_unique<Bundle>(buildPath("Ruvelant.prefPane"_qs));
        // A keyring of this home, unlocked with its password as a login would.
        m_keyring.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_keyring.start("gnome-keyring-daemon"_qs, {"--foreground"_qs, "--unlock"_qs, "--components=secrets"_qs});
        m_keyring.write("login password");
        m_keyring.closeWriteChannel();
        QTRY_VERIFY_WITH_TIMEOUT(
            QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.secrets"_qs), 30000);

        m_server = std::make_unique<CalDavServer>(
            m_home->filePath("radicale"_qs),
            QHash<QString, QString> {{"alice"_qs, "alice-password"_qs}, {"bob"_qs, "bob-password"_qs}});
        QVERIFY(m_server->start());
        m_tlsServer = std::make_unique<CalDavServer>(m_home->filePath("radicale-tls"_qs),
                                                     QHash<QString, QString> {{"alice"_qs, "alice-password"_qs}}, true);
        QVERIFY(m_tlsServer->start());
        m_webPort = freePort();
        m_webServer.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_webServer.setStandardErrorFile(QProcess::nullDevice());
        m_webServer.start("python3"_qs,
                          {"-m"_qs, "http.server"_qs, "--bind"_qs, "127.0.0.1"_qs, "--directory"_qs, m_home->path(),
                           QString::number(m_webPort)});
        QVERIFY(m_webServer.waitForStarted());
        // Python takes its time to start on a busy machine: a row must not find the port closed.
        const auto listening = [this] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_webPort);
            return socket.waitForConnected(100);
        };
        QTRY_VERIFY_WITH_TIMEOUT(listening(), 30000);

        // alice: "Work" with an event on the day the agent searches, and "Home"; bob: his own "Work".
        QVERIFY(m_server->makeCalendar("alice"_qs, "work"_qs, "Work"_qs));
        QVERIFY(m_server->makeCalendar("alice"_qs, "home"_qs, "Home"_qs));
        QVERIFY(m_server->makeCalendar("bob"_qs, "work"_qs, "Work"_qs));
        QCOMPARE(m_server->request("PUT", "/alice/work/board.ics"_qs, "alice"_qs,
                                   eventFile("board", "Board meeting", "ann@example.org")),
                 201);
        QCOMPARE(m_server->request("PUT", "/bob/work/review.ics"_qs, "bob"_qs,
                                   eventFile("review", "Review", "zoe@example.org")),
                 201);

        m_sink = std::make_unique<SmtpSink>(*m_home);
        QVERIFY(m_sink->start());
    }

    void cleanupTestCase()
    {
        Bundle::setMainBundle(nullptr);
        m_webServer.kill();
        m_webServer.waitForFinished();
        m_keyring.terminate();
        m_keyring.waitForFinished();
        m_sink.reset();
        m_tlsServer.reset();
        m_server.reset();
        m_home.reset();
    }

    // The usual failures get their own plain words, and nothing is written.
    void discoveryFailures_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("failure");
        row("wrong password", m_server->url(), "not-the-password", "WrongPassword");
        row("nothing listens there", QStringLiteral("http://127.0.0.1:%1/").arg(freePort()), "alice-password",
            "Unreachable");
        row("self-signed certificate", m_tlsServer->url(), "alice-password", "UntrustedCertificate");
        row("a web server, not CalDAV", QStringLiteral("http://127.0.0.1:%1/").arg(m_webPort), "alice-password",
            "NotCalDav");
    }
    void discoveryFailures()
    {
        QFETCH(QString, address);
        QFETCH(QString, password);
        QFETCH(QString, failure);
        AccountSetup setup(syncProgram);
        AddAccountDialog dialog(m_bundle.get(), &setup);
        dialog.show();
        find(dialog, address, "alice"_qs, password);
        const QString shown = dialog.findChild<QLabel *>("statusLabel"_qs)->text();
        const QString expected = text("CalDavFailure"_qs + failure).toHtmlEscaped();
        QVERIFY2(!expected.isEmpty() && shown.startsWith(expected), qPrintable(shown));
        QVERIFY(!dialog.findChild<QPushButton *>("addButton"_qs)->isEnabled());
        QVERIFY(!QFileInfo::exists(CalDavAccounts::path()));
        QVERIFY(!QFileInfo::exists(VdirsyncerConfig::path()));
    }

    // From an empty pane to reminders: the account added through the pane's dialog, its calendars
    // in the vdir and ticked in the pane, the agent reminds and marks, the mark reaches the server,
    // and a rename on the server sends nothing again.
    void accountFromThePaneToReminders()
    {
        storePreferences({{"activeCalendars"_qs, QStringList()}});
        auto pane = openPane();
        QWidget *view = pane->mainView();
        QVERIFY(view);
        QTimer::singleShot(0, this, [this] {
            auto *dialog = qobject_cast<AddAccountDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            addInDialog(*dialog, "alice"_qs, {"Home"_qs, "Work"_qs});
            if (dialog->isVisible())
                dialog->reject();
        });
        QTest::mouseClick(view->findChild<QPushButton *>("addAccountButton"_qs), Qt::LeftButton);
        const QString id = accountId("alice"_qs);
        QCOMPARE(id, "alice_127_0_0_1"_qs);
        // Its calendars are calendars of the pane, by their titles; the user ticks "Work".
        auto *calendars = view->findChild<QTableView *>("calendarsTable"_qs);
        QTRY_COMPARE(calendars->model()->rowCount(), 2);
        const auto workRow = [calendars] {
            return calendars->model()->match(calendars->model()->index(0, 1), Qt::DisplayRole, "Work"_qs, 1,
                                             Qt::MatchExactly);
        };
        QTRY_COMPARE(workRow().size(), 1);
        calendars->setFocus();
        calendars->setCurrentIndex(workRow().first().siblingAtColumn(0));
        QTest::keyClick(calendars->viewport(), Qt::Key_Space);
        PreferenceService domain("com.kestramo.ruvelant"_qs);
        QCOMPARE(domain.value("activeCalendars"_qs).toStringList(), QStringList {"alice_127_0_0_1-work"_qs});
        // The account's line says when it was synced and how it went.
        auto *accounts = view->findChild<QTableView *>("accountsTable"_qs);
        QTRY_COMPARE_WITH_TIMEOUT(accounts->model()->index(0, AccountListModel::OutcomeColumn).data().toString(),
                                  text("SyncSucceeded"_qs), 60000);
        pane.reset();

        // The password is in the keyring, nowhere on disk; the sync runs every 15 minutes.
        QCOMPARE(keyringPassword(id), QByteArray("alice-password"));
        QVERIFY(!QFileInfo::exists(PasswordStore::passwordFile(id)));
        QVERIFY(!readFile(VdirsyncerConfig::path()).contains("alice-password"));
        QVERIFY(!readFile(CalDavAccounts::path()).contains("alice-password"));
        const QByteArray timer = readFile(m_home->filePath(".config/systemd/user/com.kestramo.RuvelantSync.timer"_qs));
        QVERIFY2(timer.contains("OnUnitActiveSec=900\n"), timer.constData());
        QVERIFY(readFile(m_home->filePath("timers"_qs)).contains("com.kestramo.RuvelantSync.timer"));

        // The sync that adding started brought the calendars, with their titles.
        QCOMPARE(SyncStatus::load().value(id).failure, CalDavFailure::None);
        const QString work = m_home->calendarsPath() + "/alice_127_0_0_1-work"_qs;
        QCOMPARE(readFile(work + "/displayname"_qs), QByteArray("Work"));
        QCOMPARE(readFile(m_home->calendarsPath() + "/alice_127_0_0_1-home/displayname"_qs), QByteArray("Home"));
        QVERIFY(readFile(work + "/board.ics"_qs).contains("SUMMARY:Board meeting"));

        // The real agent reminds and marks, and the sync it starts puts the mark on the server.
        const QDateTime beforeRun = QDateTime::currentDateTimeUtc();
        // (the pane's agent without its closing pause, beside the sync program that it starts)
        const QString quick = writeQuickPane(*m_home, "Quick.prefPane"_qs) + "/Contents/Resources/"_qs;
        QVERIFY(QFile::link(syncProgram, quick + CalendarSync::programName()));
        QProcess agent;
        agent.start(quick + "RuvelantAgent"_qs, QStringList());
        QCOMPARE(finish(agent), 0);
        QCOMPARE(deliveries(*m_sink), (QHash<QString, int> {{"ann@example.org"_qs, 1}}));
        QVERIFY(readFile(work + "/board.ics"_qs).contains("(*)"));
        QVERIFY(syncEnded(id, beforeRun));
        QByteArray onServer;
        QCOMPARE(m_server->request("GET", "/alice/work/board.ics"_qs, "alice"_qs, {}, &onServer), 200);
        QVERIFY2(onServer.contains("(*)"), onServer.constData());

        // The organiser renames the event on the server, from a copy without the mark, while a
        // program here changed it too: the server's version wins. It is a new version without the
        // mark, as one whose mark was removed in a calendar program is: the next run reminds its
        // attendee again, once, and marks it again.
        m_home->writeFile(".local/share/calendars/alice_127_0_0_1-work/board.ics"_qs,
                          QByteArray(onServer).replace("SUMMARY:Board meeting", "SUMMARY:Board meeting (local)"));
        const int renamed = m_server->request(
            "PUT", "/alice/work/board.ics"_qs, "alice"_qs,
            onServer.replace("SUMMARY:Board meeting", "SUMMARY:Board meeting (moved)").replace("(*)", ""));
        QVERIFY2(renamed / 100 == 2, qPrintable(QString::number(renamed)));
        // A calendar made on the server arrives; one deleted there leaves the account.
        QVERIFY(m_server->makeCalendar("alice"_qs, "trips"_qs, "Trips"_qs));
        QCOMPARE(m_server->request("DELETE", "/alice/home/"_qs, "alice"_qs), 200);
        QCOMPARE(syncToEnd(), 0);
        QCOMPARE(readFile(m_home->calendarsPath() + "/alice_127_0_0_1-trips/displayname"_qs), QByteArray("Trips"));
        QVERIFY(!readFile(VdirsyncerConfig::path()).contains("alice_127_0_0_1-home"));
        QVERIFY(readFile(work + "/board.ics"_qs).contains("SUMMARY:Board meeting (moved)"));
        QCOMPARE(SyncStatus::load().value(id).failure, CalDavFailure::None);
        QVERIFY(!readFile(work + "/board.ics"_qs).contains("(*)"));
        QCOMPARE(runToEnd(), 0);
        QCOMPARE(deliveries(*m_sink), (QHash<QString, int> {{"ann@example.org"_qs, 2}}));
        QVERIFY(readFile(work + "/board.ics"_qs).contains("(*)"));
        QCOMPARE(syncToEnd(), 0);
        QCOMPARE(m_server->request("GET", "/alice/work/board.ics"_qs, "alice"_qs, {}, &onServer), 200);
        QVERIFY2(onServer.contains("SUMMARY:Board meeting (moved)") && onServer.contains("(*)"), onServer.constData());
    }

    // A second account with a calendar of the same name keeps a folder of its own.
    void sameCalendarNameInTwoAccounts()
    {
        AccountSetup setup(syncProgram);
        AddAccountDialog dialog(m_bundle.get(), &setup);
        dialog.show();
        addInDialog(dialog, "bob"_qs, {"Work"_qs});
        const QString id = accountId("bob"_qs);
        QCOMPARE(id, "bob_127_0_0_1"_qs);
        QVERIFY(syncEnded(id, QDateTime()));
        QVERIFY(readFile(m_home->calendarsPath() + "/bob_127_0_0_1-work/review.ics"_qs).contains("SUMMARY:Review"));
        QVERIFY(!QFileInfo::exists(m_home->calendarsPath() + "/bob_127_0_0_1-work/board.ics"_qs));
        QVERIFY(QFileInfo::exists(m_home->calendarsPath() + "/alice_127_0_0_1-work/board.ics"_qs));
    }

    // A password changed on the server: the account's line says so, in plain words.
    void refusedPasswordIsShown()
    {
        m_server->setPassword("bob"_qs, "changed"_qs);
        QCOMPARE(syncToEnd({"bob_127_0_0_1"_qs}), 1);
        QCOMPARE(SyncStatus::load().value("bob_127_0_0_1"_qs).failure, CalDavFailure::WrongPassword);
        AccountListModel list;
        list.setTexts({{"CalDavFailureWrongPassword"_qs, text("CalDavFailureWrongPassword"_qs)}});
        QCOMPARE(list.index(1, AccountListModel::OutcomeColumn).data().toString(),
                 text("CalDavFailureWrongPassword"_qs));
    }

    // Removing an account takes its password, its pair and (when asked) its folders away; the
    // last one takes the schedule too.
    void removeAccounts()
    {
        // From the pane, which asks first whether the calendar folders go too: they do.
        auto pane = openPane();
        QWidget *view = pane->mainView();
        QVERIFY(view);
        auto *accounts = view->findChild<QTableView *>("accountsTable"_qs);
        view->findChild<QTabWidget *>("tabs"_qs)->setCurrentWidget(view->findChild<QWidget *>("accountsTab"_qs));
        QTRY_COMPARE(accounts->model()->rowCount(), 2);
        accounts->selectRow(
            accounts->model()
                ->match(accounts->model()->index(0, 0), Qt::DisplayRole, "bob@127.0.0.1"_qs, 1, Qt::MatchExactly)
                .value(0)
                .row());
        QString asked;
        QTimer::singleShot(0, this, [&asked] {
            auto *question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(question);
            asked = question->text();
            for (QAbstractButton *button : question->buttons())
                if (question->buttonRole(button) == QMessageBox::DestructiveRole)
                    button->click();
        });
        QTest::mouseClick(view->findChild<QPushButton *>("removeAccountButton"_qs), Qt::LeftButton);
        QVERIFY2(asked.contains(m_home->calendarsPath()), qPrintable(asked));
        QTRY_VERIFY(!QFileInfo::exists(m_home->calendarsPath() + "/bob_127_0_0_1-work"_qs));
        QTRY_COMPARE(view->findChild<QLabel *>("accountsStatusLabel"_qs)->text(),
                     text("AccountRemoved"_qs).arg("bob@127.0.0.1"_qs));
        pane.reset();
        QVERIFY(keyringPassword("bob_127_0_0_1"_qs).isEmpty());
        QVERIFY(!readFile(VdirsyncerConfig::path()).contains("bob"));
        QVERIFY(QFileInfo::exists(SyncSchedule::plistPath()));

        AccountSetup setup(syncProgram);
        QSignalSpy finished(&setup, &AccountSetup::finished);
        setup.remove("alice_127_0_0_1"_qs, false);
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.takeFirst(), (QVariantList {true, QString()}));
        QVERIFY(QFileInfo::exists(m_home->calendarsPath() + "/alice_127_0_0_1-work/board.ics"_qs));
        QVERIFY(!QFileInfo::exists(VdirsyncerConfig::path()));
        QVERIFY(!QFileInfo::exists(SyncSchedule::plistPath()));
        QVERIFY(!readFile(m_home->filePath("timers"_qs)).contains("RuvelantSync"));
    }

    // An account synced before each calendar had a pair of its own: its first sync now goes on
    // from the record that the account's pair kept, so an event deleted on the server meanwhile
    // is deleted here too, and not put back on the server.
    void earlierSyncRecordIsKept()
    {
        QVERIFY(m_server->makeCalendar("alice"_qs, "old"_qs, "Old"_qs));
        for (const QByteArray &uid : {QByteArray("gone"), QByteArray("kept")}) {
            QCOMPARE(m_server->request("PUT", "/alice/old/"_qs + QString::fromLatin1(uid) + ".ics"_qs, "alice"_qs,
                                       eventFile(uid, uid, "ann@example.org")),
                     201);
        }
        CalDavAccount account;
        account.id = "earlier"_qs;
        account.url = m_server->url() + "alice/"_qs;
        account.userName = "alice"_qs;
        account.passwordInFile = true;
        account.calendars = {{"old"_qs, "Old"_qs, "earlier-old"_qs, QString()}};
        QString error;
        QVERIFY(PrivateFile::write(PasswordStore::passwordFile(account.id), "alice-password", &error));
        QVERIFY(CalDavAccounts::save({account}, &error));
        m_home->copyFixture("caldav/earlier"_qs, "earlier"_qs,
                            {{"@STATUS@", QFile::encodeName(VdirsyncerConfig::statusPath())},
                             {"@CALENDARS@", QFile::encodeName(m_home->calendarsPath())},
                             {"@URL@", account.url.toUtf8()},
                             {"@PASSWORD@", QFile::encodeName(PasswordStore::passwordFile(account.id))}});
        QDir().mkpath(m_home->calendarsPath() + "/earlier-old"_qs);
        for (const char *command : {"discover", "sync"}) {
            QProcess vdirsyncer;
            vdirsyncer.setProcessChannelMode(QProcess::ForwardedChannels);
            vdirsyncer.start("vdirsyncer"_qs, {"-c"_qs, m_home->filePath("earlier/config"_qs), QLatin1String(command)});
            vdirsyncer.closeWriteChannel();
            QVERIFY(vdirsyncer.waitForFinished(180000));
            QCOMPARE(vdirsyncer.exitCode(), 0);
        }
        const QString gone = m_home->calendarsPath() + "/earlier-old/gone.ics"_qs;
        QVERIFY(QFileInfo::exists(gone));
        QVERIFY(QFileInfo::exists(VdirsyncerConfig::statusPath() + "earlier/earlier-old.items"_qs));

        QCOMPARE(m_server->request("DELETE", "/alice/old/gone.ics"_qs, "alice"_qs), 200);
        QCOMPARE(syncToEnd({"earlier"_qs}), 0);
        QVERIFY(!QFileInfo::exists(gone));
        QCOMPARE(m_server->request("GET", "/alice/old/gone.ics"_qs, "alice"_qs), 404);
        QVERIFY(QFileInfo::exists(m_home->calendarsPath() + "/earlier-old/kept.ics"_qs));
    }
};

QTEST_MAIN(CalDavTest)
#include "tst_caldav.moc"
