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
