#include "bundle.h"
#include "datatable.h"
#include "propertylist.h"
#include "stringstable.h"
#include "throwawayhome.h"

#include <QTest>

class BundleTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stringsTable_data()
    {
        dataTable<QString, QString, QString, int>("strings/lookups.txt", {"file", "key", "value", "errorLine"});
    }
    void stringsTable()
    {
        QFETCH(QString, file);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(int, errorLine);
        QString error;
        const auto table
            = StringsTable::parse(readFile(QFINDTESTDATA(QStringLiteral("../data/strings/") + file)), &error);
        if (errorLine) {
            QVERIFY2(error.startsWith(QStringLiteral("line %1:").arg(errorLine)), qPrintable(error));
        } else {
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        QCOMPARE(table.value(key), value);
        QCOMPARE(table.contains(key), !value.isNull());
    }

    void localizedTextFollowsLanguage_data()
    {
        dataTable<QString, QString, QString>("bundle/localized.txt", {"lang", "key", "expected"});
    }
    void localizedTextFollowsLanguage()
    {
        QFETCH(QString, lang);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        ThrowAwayHome home("UTC", lang.toLatin1());
        QCOMPARE(Bundle(QFINDTESTDATA("../data/bundle/Ruvelant.prefPane")).localizedStringForKey(key), expected);
    }

    void pluralForms_data()
    {
        dataTable<QString, QString, int, QString>("bundle/plurals.txt", {"lang", "key", "count", "expected"});
    }
    void pluralForms()
    {
        QFETCH(QString, lang);
        QFETCH(QString, key);
        QFETCH(int, count);
        QFETCH(QString, expected);
        ThrowAwayHome home("UTC", lang.toLatin1());
        QCOMPARE(Bundle(buildPath(QStringLiteral("Ruvelant.prefPane"))).localizedStringForKey(key, count), expected);
    }

    void bundleOfBinaryAndInfo()
    {
        ThrowAwayHome home;
        const QString app = home.filePath(QStringLiteral("Tool.app"));
        home.writeFile(
            QStringLiteral("Tool.app/Contents/Info.plist"),
            PropertyList::toXml(QVariantMap {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("x.y")}}));
        home.writeFile(QStringLiteral("Tool.app/Contents/Resources/Credits.rtfd"), "credits");
        QCOMPARE(Bundle::bundlePathForBinary(app + QStringLiteral("/Contents/MacOS/Tool")), app);
        // A bare executable's bundle is the folder that holds it.
        QCOMPARE(Bundle::bundlePathForBinary(app + QStringLiteral("/Contents/Resources/Agent")),
                 app + QStringLiteral("/Contents/Resources"));
        Bundle bundle(app);
        QCOMPARE(bundle.bundleIdentifier(), QStringLiteral("x.y"));
        QCOMPARE(bundle.pathForResource(QStringLiteral("Credits"), QStringLiteral("rtfd")),
                 app + QStringLiteral("/Contents/Resources/Credits.rtfd"));
        QVERIFY(bundle.pathForResource(QStringLiteral("Missing"), QStringLiteral("zip")).isEmpty());
        Bundle bare(app + QStringLiteral("/Contents/Resources"));
        QVERIFY(bare.infoDictionary().isEmpty());
        QCOMPARE(bare.resourcePath(), bare.bundlePath());
    }
};

QTEST_GUILESS_MAIN(BundleTest)
#include "tst_bundle.moc"
