// Ruvelant's vdirsyncer configuration as vdirsyncer itself reads it: every value comes back as it
// was given, whatever quotes, backslashes or line breaks it holds, and adds nothing.
#include "caldavaccounts.h"
#include "datatable.h"
#include "passwordstore.h"
#include "throwawayhome.h"
#include "vdirsyncerconfig.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

namespace {
// Reads the configuration file with vdirsyncer's own reader; prints what it holds as JSON.
const char *readBack = R"(
import json, sys
from vdirsyncer.cli.config import Config
with open(sys.argv[1]) as f:
    config = Config.from_fileobject(f)
print(json.dumps({
    "general": config.general,
    "storages": config.storages,
    "pairs": {name: {"a": pair.name_a, "b": pair.name_b, "collections": pair.collections}
              for name, pair in config.pairs.items()},
}))
)";

QJsonArray strings(const QStringList &texts)
{
    return QJsonArray::fromStringList(texts);
}
} // namespace

class VdirsyncerConfigTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void valuesReadBack_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("collection");
        row("plain values", "alice@example.com", "https://cal.example.com/dav/", "work");
        row("a double quote", "al\"ice", "https://cal.example.com/dav/\"x\"/", "work \"x\"");
        row("a backslash", "EXAMPLE\\alice", "https://cal.example.com/dav/a\\b/", "work\\");
        row("a line break that would start a section", "alice\n[storage x]\ntype = \"filesystem\"",
            "https://cal.example.com/dav/\r\n", "work\n[general]");
        row("a tab and letters other than ASCII", "jürgen\tmüller", "https://kalender.beispiel.de/dav/", "Büro");
    }
    void valuesReadBack()
    {
        QFETCH(QString, user);
        QFETCH(QString, url);
        QFETCH(QString, collection);
        ThrowAwayHome home;
        CalDavAccount account;
        account.id = QStringLiteral("alice_cal_example_com");
        account.userName = user;
        account.url = url;
        account.calendars.append(
            {collection, QStringLiteral("Work"), QStringLiteral("alice_cal_example_com-work"), QString()});
        const QString folder = home.filePath(QStringLiteral("my \"calendars\" \\ here"));
        home.writeFile(QStringLiteral("config"), VdirsyncerConfig::text({account}, folder).toUtf8());

        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"), QString::fromLatin1(readBack), home.filePath(QStringLiteral("config"))});
        QVERIFY(python.waitForFinished(60000));
        QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
        const QJsonObject read = QJsonDocument::fromJson(python.readAllStandardOutput()).object();

        // vdirsyncer drops the final slash of a folder's path.
        QCOMPARE(read.value("general"_qs).toObject().value("status_path"_qs).toString(),
                 QDir::cleanPath(VdirsyncerConfig::statusPath()));
        const CalDavCalendar &calendar = account.calendars.first();
        const QString pair = VdirsyncerConfig::pairName(calendar);
        const QJsonObject storages = read.value("storages"_qs).toObject();
        QCOMPARE(storages.keys(), (QStringList {pair + "_local"_qs, pair + "_server"_qs}));
        const QJsonObject local = storages.value(pair + "_local"_qs).toObject();
        QCOMPARE(local.value("path"_qs).toString(), folder + QLatin1Char('/') + calendar.folder);
        const QJsonObject server = storages.value(pair + "_server"_qs).toObject();
        QCOMPARE(server.value("url"_qs).toString(), CalDavAccounts::calendarUrl(account, calendar));
        QCOMPARE(server.value("username"_qs).toString(), user);
        QCOMPARE(server.value("password.fetch"_qs).toArray(),
                 strings(QStringList {"command"_qs} + PasswordStore::fetchCommand(account)));
        const QJsonObject pairs = read.value("pairs"_qs).toObject();
        QCOMPARE(pairs.keys(), QStringList {pair});
        QVERIFY(pairs.value(pair).toObject().value("collections"_qs).isNull());
    }
};

QTEST_GUILESS_MAIN(VdirsyncerConfigTest)
#include "tst_vdirsyncerconfig.moc"
