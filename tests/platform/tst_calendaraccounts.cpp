// Calendar accounts below the window: folder names that never clash, and the password where no
// keyring runs, in a file that only the user can read.
#include "accountsetup.h"
#include "addaccountdialog.h"
#include "bundle.h"
#include "caldavaccounts.h"
#include "datatable.h"
#include "passwordstore.h"
#include "secretservice.h"
#include "throwawayhome.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {
CalDavAccount account(const QString &user, const QString &url, const QStringList &collections)
{
    CalDavAccount account;
    account.userName = user;
    account.url = url;
    for (const QString &collection : collections)
        account.calendars.append({collection, QString(), QString()});
    return account;
}
} // namespace

class CalendarAccountsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A new account's id and folders clash with no other account's and no folder already there.
    void names_data()
    {
        QTest::addColumn<QStringList>("present"); // folders already in the calendars folder
        QTest::addColumn<QString>("user");
        QTest::addColumn<QStringList>("collections");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("folders");
        const QStringList none;
        QTest::newRow("first account") << none << "dora@example.com"_qs
                                       << QStringList {"work"_qs, "Personal Calendar"_qs} << "dora_cal_example_com"_qs
                                       << QStringList {"dora_cal_example_com-work"_qs,
                                                       "dora_cal_example_com-personal_calendar"_qs};
        QTest::newRow("same user and server again")
            << none << "Alice"_qs << QStringList {"work"_qs} << "alice_cal_example_com_2"_qs
            << QStringList {"alice_cal_example_com_2-work"_qs};
        QTest::newRow("the user's own folder of that name")
            << QStringList {"bob_cal_example_com-work"_qs} << "bob"_qs
            << QStringList {"work"_qs, "Work"_qs, "4f2a-ÜÜ"_qs} << "bob_cal_example_com"_qs
            << QStringList {"bob_cal_example_com-work-2"_qs, "bob_cal_example_com-work-3"_qs,
                            "bob_cal_example_com-4f2a"_qs};
    }
    void names()
    {
        QFETCH(QStringList, present);
        QFETCH(QString, user);
        QFETCH(QStringList, collections);
        QFETCH(QString, id);
        QFETCH(QStringList, folders);
        ThrowAwayHome home;
        for (const QString &folder : present)
            QDir().mkpath(home.calendarsPath() + QLatin1Char('/') + folder);
        const QString url = "https://cal.example.com/dav/"_qs;
        CalDavAccount first = account("alice"_qs, url, {"work"_qs});
        CalDavAccounts::assignNames(&first, {}, home.calendarsPath());
        CalDavAccount added = account(user, url, collections);
        CalDavAccounts::assignNames(&added, {first}, home.calendarsPath());
        QCOMPARE(added.id, id);
        QStringList assigned;
        for (const CalDavCalendar &calendar : added.calendars)
            assigned.append(calendar.folder);
        QCOMPARE(assigned, folders);
    }

    // What the keyring said when it did not take a password, in the words the window uses.
    void keyringFailure_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("failure");
        row("a new keyring's password was asked, and cancelled",
            "Object does not exist at path “/org/freedesktop/secrets/collection/login”",
            int(PasswordStore::KeyringNotUnlocked));
        row("the keyring stayed locked", "Cannot create an item in a locked collection",
            int(PasswordStore::KeyringNotUnlocked));
        row("the question was dismissed", "The prompt was dismissed", int(PasswordStore::KeyringNotUnlocked));
        row("no keyring on the bus",
            "GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: The name org.freedesktop.secrets was not provided "
            "by any .service files",
            int(PasswordStore::KeyringNotRunning));
        row("the keyring could not be started",
            "GDBus.Error:org.freedesktop.DBus.Error.Spawn.ChildExited: Process org.freedesktop.secrets exited with "
            "status 1",
            int(PasswordStore::KeyringNotRunning));
        row("no answer in time", "the keyring did not answer within two minutes", int(PasswordStore::KeyringNoAnswer));
        row("anything else", "password is too long", int(PasswordStore::KeyringOther));
    }
    void keyringFailure()
    {
        QFETCH(QString, error);
        QFETCH(int, failure);
        QCOMPARE(int(PasswordStore::keyringFailure(error)), failure);
    }

    // The dialog grows with its messages: every text whole, every field at its own height, also
    // once a message comes below the fields after it was shown.
    void dialogKeepsEverythingWhole()
    {
        ThrowAwayHome home;
        home.setEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(home.filePath("no-bus"_qs)));
        const Bundle bundle(buildPath("Ruvelant.prefPane"_qs));
        AccountSetup setup {QString()};
        AddAccountDialog dialog(&bundle, &setup);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const auto everythingWhole = [&dialog] {
            for (const QLabel *label : dialog.findChildren<QLabel *>()) {
                if (label->isVisible() && label->wordWrap() && label->height() < label->heightForWidth(label->width()))
                    return false;
            }
            for (const QLineEdit *field : dialog.findChildren<QLineEdit *>()) {
                if (field->height() < field->sizeHint().height())
                    return false;
            }
            return true;
        };
        QTRY_VERIFY(everythingWhole());
        const int before = dialog.height();
        QTest::mouseClick(dialog.findChild<QPushButton *>("findButton"_qs), Qt::LeftButton); // no fields filled in
        QVERIFY(!dialog.findChild<QLabel *>("statusLabel"_qs)->text().isEmpty());
        QTRY_VERIFY(dialog.height() > before);
        QTRY_VERIFY(everythingWhole());
    }

    // Without a keyring the window says so and asks before the password goes into a file; the
    // file is the user's alone, and the command that the sync runs reads the password back.
    void passwordFileWithoutKeyring()
    {
        ThrowAwayHome home;
        home.setEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(home.filePath("no-bus"_qs)));
        QVERIFY(!SecretService::isAvailable());
        const Bundle bundle(buildPath("Ruvelant.prefPane"_qs));
        AccountSetup setup {QString()};
        AddAccountDialog dialog(&bundle, &setup);
        dialog.show();
        QVERIFY(dialog.findChild<QCheckBox *>("passwordFileCheckBox"_qs)->isVisible());
        const QString note = dialog.findChild<QLabel *>("keyringLabel"_qs)->text();
        QVERIFY2(note.startsWith(bundle.localizedStringForKey("AccountNoKeyring"_qs).section("%1"_qs, 0, 0))
                     && note.contains(home.filePath(".config/ruvelant/passwords/"_qs)),
                 qPrintable(note));

        CalDavAccount stored = account("alice"_qs, "https://cal.example.com/"_qs, {});
        stored.id = "alice_cal_example_com"_qs;
        stored.passwordInFile = true;
        const QString password = "pä$$ wörd;'\"*"_qs;
        PasswordStore store;
        QSignalSpy finished(&store, &PasswordStore::finished);
        store.store(stored, password);
        QVERIFY(finished.wait());
        QCOMPARE(finished.takeFirst(), (QVariantList {true, QString()}));
        const QFileInfo file(PasswordStore::passwordFile(stored.id));
        QCOMPARE(file.permissions() & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(QFileInfo(file.absolutePath()).permissions() & 0x7077,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QStringList command = PasswordStore::fetchCommand(stored);
        QProcess fetch;
        fetch.start(command.takeFirst(), command);
        QVERIFY(fetch.waitForFinished());
        QCOMPARE(QString::fromUtf8(fetch.readAllStandardOutput()), password);

        store.remove(stored);
        QVERIFY(finished.wait());
        QVERIFY(!QFileInfo::exists(file.filePath()));
    }
};

QTEST_MAIN(CalendarAccountsTest)
#include "tst_calendaraccounts.moc"
