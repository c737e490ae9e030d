// Calendar accounts below the window: folder names that never clash, an accounts file that one
// bad calendar never makes unreadable, vdirsyncer pairs that ask the account's own origin only,
// and the password where no keyring runs, in a file that only the user can read.
#include "accountsetup.h"
#include "addaccountdialog.h"
#include "bundle.h"
#include "caldavaccounts.h"
#include "datatable.h"
#include "passwordstore.h"
#include "secretservice.h"
#include "throwawayhome.h"
#include "vdirsyncerconfig.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

namespace {
CalDavAccount account(const QString &user, const QString &url, const QStringList &collections)
{
    CalDavAccount account;
    account.userName = user;
    account.url = url;
    for (const QString &collection : collections)
        account.calendars.append({collection, QString(), QString(), QString()});
    return account;
}
// An accounts file of two accounts, the first with a calendar whose fields are given.
QByteArray accountsFile(const QByteArray &collection, const QByteArray &folder, const QByteArray &url)
{
    const QByteArray calendar = "<dict><key>collection</key><string>" + collection
        + "</string><key>folder</key><string>" + folder + "</string><key>url</key><string>" + url + "</string></dict>";
    const QByteArray good = "<dict><key>collection</key><string>work</string><key>folder</key><string>a-work</string>"
                            "</dict>";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
           "<dict><key>id</key><string>a</string><key>url</key><string>https://cal.example.com/a/</string>"
           "<key>calendars</key><array>"
        + good + calendar
        + "</array></dict>"
          "<dict><key>id</key><string>b</string><key>url</key><string>https://cal.example.com/b/</string>"
          "<key>calendars</key><array><dict><key>collection</key><string>work</string><key>folder</key>"
          "<string>b-work</string></dict></array></dict></array></plist>\n";
}

QStringList folders(const CalDavAccount &account)
{
    QStringList result;
    for (const CalDavCalendar &calendar : account.calendars)
        result.append(calendar.folder);
    return result;
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

    // A calendar that cannot be used is left out of its account; the file stays readable, the
    // other calendars and accounts stay as they were. An address on another origin is not used.
    void badCalendarInTheFile_data()
    {
        QTest::addColumn<QByteArray>("collection");
        QTest::addColumn<QByteArray>("folder");
        QTest::addColumn<QByteArray>("url");
        QTest::addColumn<QStringList>("kept"); // the folders of the first account, as read
        QTest::addColumn<QString>("secondUrl"); // the address of its second calendar, when kept
        const QByteArray url = "https://cal.example.com/a/home/";
        QTest::newRow("empty name") << QByteArray() << QByteArray("a-x") << url << QStringList {"a-work"_qs}
                                    << QString();
        QTest::newRow("folder outside the calendars folder")
            << QByteArray("home") << QByteArray("../a-home") << url << QStringList {"a-work"_qs} << QString();
        QTest::newRow("address on another origin")
            << QByteArray("home") << QByteArray("a-home") << QByteArray("https://cal.example.com:8443/a/home/")
            << QStringList {"a-work"_qs, "a-home"_qs} << "https://cal.example.com/a/home/"_qs;
        QTest::newRow("a good calendar") << QByteArray("home") << QByteArray("a-home") << url
                                         << QStringList {"a-work"_qs, "a-home"_qs} << QString::fromLatin1(url);
    }
    void badCalendarInTheFile()
    {
        QFETCH(QByteArray, collection);
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, url);
        QFETCH(QStringList, kept);
        QFETCH(QString, secondUrl);
        ThrowAwayHome home;
        home.writeFile(".config/ruvelant/accounts.plist"_qs, accountsFile(collection, folder, url));
        QList<CalDavAccount> accounts;
        QString error;
        QVERIFY2(CalDavAccounts::load(&accounts, &error), qPrintable(error));
        QCOMPARE(accounts.size(), 2);
        QCOMPARE(folders(accounts.at(0)), kept);
        QCOMPARE(folders(accounts.at(1)), QStringList {"b-work"_qs});
        if (kept.size() == 2)
            QCOMPARE(CalDavAccounts::calendarUrl(accounts.at(0), accounts.at(0).calendars.at(1)), secondUrl);
    }

    // A calendar whose name no file could keep never reaches the accounts file; a calendar found
    // again keeps its folder, sync after sync.
    void namesThatCannotBeKept_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("kept");
        QTest::newRow("a NUL alone") << QString(QChar(0)) << false;
        QTest::newRow("a NUL inside") << "a"_qs + QChar(0) + "b"_qs << false;
        QTest::newRow("a control character") << "c\x01"
                                                "d"_qs
                                             << false;
        QTest::newRow("a C1 control character") << "e"_qs + QChar(0x85) + "f"_qs << false;
        QTest::newRow("a non-character") << QString(QChar(0xfffe)) << false;
        QTest::newRow("half a surrogate pair") << "g"_qs + QChar(0xd800) << false;
        QTest::newRow("letters of every kind") << "Üñï cødé 日本 ☃ %20"_qs << true;
    }
    void namesThatCannotBeKept()
    {
        QFETCH(QString, name);
        QFETCH(bool, kept);
        ThrowAwayHome home;
        QList<CalDavCalendar> found {{"work"_qs, "Work"_qs, QString(), QString()},
                                     {name, "Odd"_qs, QString(), QString()}};
        CalDavAccount account = ::account("alice"_qs, "https://cal.example.com/"_qs, {});
        QStringList before;
        for (int sync = 0; sync < 3; ++sync) {
            QList<CalDavAccount> accounts;
            QString error;
            QVERIFY2(CalDavAccounts::load(&accounts, &error), qPrintable(error));
            if (sync > 0) {
                QCOMPARE(accounts.size(), 1);
                account = accounts.first();
            }
            CalDavAccounts::updateCalendars(&account, found, {}, home.calendarsPath());
            for (const QString &folder : folders(account))
                QDir().mkpath(home.calendarsPath() + QLatin1Char('/') + folder);
            QVERIFY(CalDavAccounts::save({account}, &error));
            if (sync == 0)
                before = folders(account);
            QCOMPARE(folders(account), before);
        }
        QCOMPARE(before.size(), kept ? 2 : 1);
        QCOMPARE(account.calendars.last().collection, kept ? name : "work"_qs);
    }

    // vdirsyncer gets each calendar at its own address on the account's origin, in a pair of its
    // own whose name is one vdirsyncer takes and no other calendar's folder gives.
    void syncConfiguration()
    {
        CalDavAccount account = ::account("alice"_qs, "https://cal.example.com/dav/alice/"_qs, {});
        account.id = "a"_qs;
        const QStringList folderNames {"a-b"_qs, "a_2db"_qs, "a_b"_qs, "a__b"_qs, "a-b-2"_qs, "a-ü"_qs};
        for (const QString &folder : folderNames)
            account.calendars.append({folder, QString(), folder, QString()});
        account.calendars[0].url = "https://cal.example.com/elsewhere/b/"_qs;
        account.calendars[1].url = "https://cal.example.com:8443/dav/alice/a_2db/"_qs;
        const QStringList pairs = VdirsyncerConfig::pairNames(account);
        QCOMPARE(pairs.size(), folderNames.size() - 1);
        QCOMPARE(QSet<QString>(pairs.cbegin(), pairs.cend()).size(), pairs.size());
        for (const QString &pair : pairs)
            QVERIFY2(QRegularExpression("^[A-Za-z0-9_]+$"_qs).match(pair).hasMatch(), qPrintable(pair));
        const QString text = VdirsyncerConfig::text({account}, "/calendars"_qs);
        QStringList urls;
        const QRegularExpression urlLine("^url = \"(.*)\"$"_qs, QRegularExpression::MultilineOption);
        for (auto it = urlLine.globalMatch(text); it.hasNext();)
            urls.append(it.next().captured(1));
        QCOMPARE(
            urls,
            (QStringList {"https://cal.example.com/elsewhere/b/"_qs, "https://cal.example.com/dav/alice/a_b/"_qs,
                          "https://cal.example.com/dav/alice/a__b/"_qs, "https://cal.example.com/dav/alice/a-b-2/"_qs,
                          "https://cal.example.com/dav/alice/a-%C3%BC/"_qs}));
        QVERIFY(!text.contains("discover"_qs) && text.count("collections = null"_qs) == pairs.size());
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
