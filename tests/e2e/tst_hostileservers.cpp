// Calendar accounts whose server misbehaves, end to end: the real sync program with real
// vdirsyncer, and the pane's "Add Account" dialog offscreen, against a scripted server on two
// origins of 127.0.0.1 (tests/support/scripteddav.py). The password never reaches the other
// origin unless the user confirmed it, no answer holds a sync for long, one sync of an account
// runs at a time, and calendar names that no file can keep change nothing.
#include "accountsetup.h"
#include "addaccountdialog.h"
#include "bundle.h"
#include "caldavaccounts.h"
#include "calendarsync.h"
#include "filelock.h"
#include "passwordstore.h"
#include "privatefile.h"
#include "scripteddavserver.h"
#include "syncstatus.h"
#include "throwawayhome.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>

Q_DECLARE_METATYPE(CalDavFailure)

namespace {
const char syncProgram[] = "Ruvelant.prefPane/Contents/Resources/RuvelantSync";

// Keeps the account <id> of the user alice, whose calendar home is on serverUrl, as the pane does
// (its password in a file).
void keepAccount(const QString &id, const QString &serverUrl, QList<CalDavAccount> *accounts)
{
    CalDavAccount account;
    account.id = id;
    account.address = serverUrl;
    account.url = serverUrl + "calendars/alice/"_qs;
    account.userName = "alice"_qs;
    account.passwordInFile = true;
    account.calendars = {{"work"_qs, "Work"_qs, id + "-work"_qs, QString()}};
    accounts->append(account);
    QString error;
    QVERIFY2(PrivateFile::write(PasswordStore::passwordFile(id), "alice-password", &error), qPrintable(error));
    QVERIFY2(CalDavAccounts::save(*accounts, &error), qPrintable(error));
}

int sync(const QStringList &accounts = {})
{
    QString errors;
    const int code = finish(*startProgram(syncProgram, accounts), &errors);
    if (!errors.isEmpty())
        qInfo().noquote() << errors;
    return code;
}

// Trusts the scripted server's certificate in this process, while it lives.
class Trust
{
public:
    explicit Trust(const QString &certificate) : m_before(QSslConfiguration::defaultConfiguration())
    {
        QSslConfiguration trusting = m_before;
        trusting.addCaCertificates(QSslCertificate::fromPath(certificate));
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    ~Trust() { QSslConfiguration::setDefaultConfiguration(m_before); }

private:
    QSslConfiguration m_before;
};
} // namespace

class HostileServersTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A sync follows no server to another origin on its own: it fails with a line that says
    // where the server sends on to. vdirsyncer gets each calendar's address and looks for none.
    void syncKeepsThePasswordAtHome_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<CalDavFailure>("failure");
        QTest::newRow("redirect to another port") << "redirect"_qs << 1 << CalDavFailure::ServerMoved;
        QTest::newRow("calendar home on another origin") << "home-elsewhere"_qs << 1 << CalDavFailure::ServerMoved;
        QTest::newRow("calendars on another origin shown to vdirsyncer")
            << "elsewhere-for-sync"_qs << 0 << CalDavFailure::None;
    }
    void syncKeepsThePasswordAtHome()
    {
        QFETCH(QString, scenario);
        QFETCH(int, exitCode);
        QFETCH(CalDavFailure, failure);
        ThrowAwayHome home;
        ScriptedDavServer server(scenario);
        QVERIFY(server.start());
        QList<CalDavAccount> accounts;
        keepAccount("alice"_qs, server.url(), &accounts);
        QCOMPARE(sync(), exitCode);
        QCOMPARE(server.requestsWithCredentials(server.otherPort()), 0);
        const SyncOutcome outcome = SyncStatus::load().value("alice"_qs);
        QCOMPARE(outcome.failure, failure);
        if (failure == CalDavFailure::ServerMoved)
            QVERIFY2(outcome.detail.contains(server.otherUrl()), qPrintable(outcome.detail));
        else
            QVERIFY(QFileInfo::exists(home.calendarsPath() + "/alice-work/displayname"_qs));
    }

    // A server that answers without end, or with more than any PROPFIND needs, ends the sync at
    // once (the bounds themselves are tested with the discovery).
    void answersPastTheBound_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::newRow("150 MB answers") << "huge"_qs;
        QTest::newRow("an answer without end") << "endless"_qs;
    }
    void answersPastTheBound()
    {
        QFETCH(QString, scenario);
        ThrowAwayHome home;
        ScriptedDavServer server(scenario);
        QVERIFY(server.start());
        QList<CalDavAccount> accounts;
        keepAccount("alice"_qs, server.url(), &accounts);
        QCOMPARE(sync(), 1);
        QCOMPARE(SyncStatus::load().value("alice"_qs).failure, CalDavFailure::NotCalDav);
    }

    // While an account is being synced, a second sync of it waits for the first to end; a sync
    // of another account goes on.
    void oneSyncAtATimePerAccount()
    {
        ThrowAwayHome home;
        ScriptedDavServer server("plain"_qs);
        QVERIFY(server.start());
        QList<CalDavAccount> accounts;
        keepAccount("alice"_qs, server.url(), &accounts);
        keepAccount("bob"_qs, server.otherUrl(), &accounts);
        const quint16 port = QUrl(server.url()).port();
        QDir().mkpath(QFileInfo(CalendarSync::lockPath()).absolutePath());
        auto syncing = std::make_unique<FileLock>(CalendarSync::lockPath("alice"_qs));
        QVERIFY(syncing->isLocked());
        auto waiting = startProgram(syncProgram, {"alice"_qs}, false);
        QVERIFY(waiting->waitForStarted());
        QCOMPARE(sync({"bob"_qs}), 0);
        QCOMPARE(waiting->state(), QProcess::Running);
        QCOMPARE(server.requestsWithCredentials(port), 0);
        syncing.reset();
        QCOMPARE(finish(*waiting), 0);
        QVERIFY(server.requestsWithCredentials(port) > 0);
        QCOMPARE(SyncStatus::load().value("alice"_qs).failure, CalDavFailure::None);
    }

    // Calendars whose names hold a NUL or control characters are left out: every sync of every
    // account goes on, and each calendar keeps its one folder.
    void namesThatCannotBeKept()
    {
        ThrowAwayHome home;
        ScriptedDavServer server("names"_qs);
        QVERIFY(server.start());
        QList<CalDavAccount> accounts;
        keepAccount("alice"_qs, server.url(), &accounts);
        keepAccount("bob"_qs, server.otherUrl(), &accounts);
        for (int run = 0; run < 3; ++run)
            QCOMPARE(sync(), 0);
        QString error;
        QVERIFY2(CalDavAccounts::load(&accounts, &error), qPrintable(error));
        QCOMPARE(QDir(home.calendarsPath()).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
                 (QStringList {"alice-work"_qs, "bob-work"_qs}));
    }

    // In the dialog, a server that sends on to another origin is followed only over https and
    // once the user said so; the account then lives there.
    void dialogAsksBeforeAnotherOrigin_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("confirm");
        QTest::newRow("over http it does not ask") << false << false;
        QTest::newRow("over https the user says no") << true << false;
        QTest::newRow("over https the user confirms") << true << true;
    }
    void dialogAsksBeforeAnotherOrigin()
    {
        QFETCH(bool, tls);
        QFETCH(bool, confirm);
        ThrowAwayHome home;
        home.setEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(home.filePath("no-bus"_qs)));
        home.copyFixture("launchctl/bin"_qs, "bin"_qs);
        for (const char *program : {"bin/systemctl", "bin/crontab"})
            QFile::setPermissions(home.filePath(QLatin1String(program)), QFile::ReadOwner | QFile::ExeOwner);
        home.setEnv("PATH", QFile::encodeName(home.filePath("bin"_qs)) + ':' + qgetenv("PATH"));
        ScriptedDavServer server("redirect"_qs, tls);
        QVERIFY(server.start());
        const Trust trust(tls ? server.certificatePath() : QString());
        const Bundle bundle(buildPath("Ruvelant.prefPane"_qs));
        AccountSetup setup {QString()};
        AddAccountDialog dialog(&bundle, &setup);
        dialog.show();
        QTest::keyClicks(dialog.findChild<QLineEdit *>("addressEdit"_qs), server.url());
        QTest::keyClicks(dialog.findChild<QLineEdit *>("userEdit"_qs), "alice"_qs);
        QTest::keyClicks(dialog.findChild<QLineEdit *>("passwordEdit"_qs), "alice-password"_qs);
        QTest::mouseClick(dialog.findChild<QPushButton *>("findButton"_qs), Qt::LeftButton);
        const QString question = bundle.localizedStringForKey("AccountMovedQuestion"_qs).arg(server.otherUrl());
        if (tls) {
            QTRY_VERIFY_WITH_TIMEOUT(dialog.findChild<QMessageBox *>(), 60000);
            auto *box = dialog.findChild<QMessageBox *>();
            QCOMPARE(box->text(), question);
            QCOMPARE(server.requestsWithCredentials(server.otherPort()), 0);
            for (QAbstractButton *button : box->buttons())
                if ((box->buttonRole(button) == QMessageBox::AcceptRole) == confirm)
                    button->click();
        }
        QTRY_VERIFY_WITH_TIMEOUT(dialog.findChild<QPushButton *>("findButton"_qs)->isEnabled(), 60000);
        QVERIFY(!dialog.findChild<QMessageBox *>() || !dialog.findChild<QMessageBox *>()->isVisible());
        if (!confirm) {
            const QString shown = dialog.findChild<QLabel *>("statusLabel"_qs)->text();
            QVERIFY2(shown.startsWith(bundle.localizedStringForKey("CalDavFailureServerMoved"_qs).toHtmlEscaped()),
                     qPrintable(shown));
            QCOMPARE(server.requestsWithCredentials(server.otherPort()), 0);
            QVERIFY(!dialog.findChild<QPushButton *>("addButton"_qs)->isEnabled());
            return;
        }
        QCOMPARE(dialog.findChild<QListWidget *>("calendarsList"_qs)->item(0)->text(), "Work"_qs);
        dialog.findChild<QCheckBox *>("passwordFileCheckBox"_qs)->setChecked(true);
        QTest::mouseClick(dialog.findChild<QPushButton *>("addButton"_qs), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isHidden(), 60000);
        const QList<CalDavAccount> accounts = AccountSetup::accounts();
        QCOMPARE(accounts.size(), 1);
        QCOMPARE(accounts.first().url, server.otherUrl() + "calendars/alice/"_qs);
        QCOMPARE(accounts.first().calendars.first().url, server.otherUrl() + "calendars/alice/work/"_qs);
    }
};

QTEST_MAIN(HostileServersTest)
#include "tst_hostileservers.moc"
