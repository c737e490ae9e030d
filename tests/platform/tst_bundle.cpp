#include "bundle.h"
#include "propertylist.h"
#include "stringstable.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>

class BundleTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stringsTable_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value"); // null: the key has no entry
        QTest::addColumn<int>("errorLine"); // 0: the table is well formed
        const QString good = QStringLiteral("good.strings");
        QTest::newRow("utf-8 text") << good << "greeting" << QStringLiteral("Bonjour à tous") << 0;
        QTest::newRow("escaped quotes") << good << "quote"
                                        << "She said \"hi\"" << 0;
        QTest::newRow("newline and tab") << good << "lines"
                                         << "one\ntwo\tthree" << 0;
        QTest::newRow("backslash, spaces around =") << good << "backslash"
                                                    << "a\\b" << 0;
        QTest::newRow("unicode escapes") << good << "unicode" << QStringLiteral("café — ok") << 0;
        QTest::newRow("separators inside quotes") << good << "key with spaces"
                                                  << "value; with = signs" << 0;
        QTest::newRow("unquoted words") << good << "bareKey"
                                        << "bareValue" << 0;
        QTest::newRow("key alone maps to itself") << good << "same"
                                                  << "same" << 0;
        QTest::newRow("unclosed quote keeps earlier") << "broken.strings"
                                                      << "first"
                                                      << "kept" << 4;
        QTest::newRow("unclosed quote loses later") << "broken.strings"
                                                    << "after" << QString() << 4;
        QTest::newRow("missing semicolon keeps earlier") << "nosemicolon.strings"
                                                         << "first"
                                                         << "kept" << 3;
        QTest::newRow("missing semicolon loses later") << "nosemicolon.strings"
                                                       << "after" << QString() << 3;
    }
    void stringsTable()
    {
        QFETCH(QString, file);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(int, errorLine);
        QFile fixture(QFINDTESTDATA(QStringLiteral("../data/strings/") + file));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        QString error;
        const auto table = StringsTable::parse(fixture.readAll(), &error);
        if (errorLine) {
            QVERIFY2(error.startsWith(QStringLiteral("line %1:").arg(errorLine)), qPrintable(error));
        } else {
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        QCOMPARE(table.value(key), value);
        QCOMPARE(table.contains(key), !value.isNull());
    }

    void utf16TableWithByteOrderMark()
    {
        QByteArray data("\xFF\xFE", 2);
        for (const QChar c : QStringLiteral("\"k\" = \"Grüße\";")) {
            data.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
        }
        QCOMPARE(StringsTable::parse(data).value(QStringLiteral("k")), QStringLiteral("Grüße"));
    }

    void localizedTextFollowsLanguage_data()
    {
        QTest::addColumn<QByteArray>("lang");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("french") << QByteArray("fr_FR.UTF-8") << "hello"
                                << "Bonjour";
        QTest::newRow("french falls back to english per key") << QByteArray("fr_FR.UTF-8") << "only"
                                                              << "English only";
        QTest::newRow("german has no table") << QByteArray("de_DE.UTF-8") << "hello"
                                             << "Hello";
        QTest::newRow("C locale") << QByteArray("C") << "hello"
                                  << "Hello";
        QTest::newRow("missing key yields the key") << QByteArray("fr_FR.UTF-8") << "nope"
                                                    << "nope";
        QTest::newRow("broken table: later key falls back") << QByteArray("ja_JP.UTF-8") << "after"
                                                            << "after";
        QTest::newRow("broken table: earlier entries kept") << QByteArray("ja_JP.UTF-8") << "hello"
                                                            << "こんにちは";
    }
    void localizedTextFollowsLanguage()
    {
        QFETCH(QByteArray, lang);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        ThrowAwayHome home("UTC", lang);
        const QString resources = QStringLiteral("Ruvelant.prefPane/Contents/Resources/");
        home.writeFile(resources + QStringLiteral("en.lproj/Localizable.strings"),
                       "\"hello\" = \"Hello\";\n\"only\" = \"English only\";");
        home.writeFile(resources + QStringLiteral("fr.lproj/Localizable.strings"), "\"hello\" = \"Bonjour\";");
        home.writeFile(resources + QStringLiteral("ja.lproj/Localizable.strings"),
                       "\"hello\" = \"こんにちは\";\n\"oops\" = ;\n\"after\" = \"後\";\n");
        QCOMPARE(Bundle(home.filePath(QStringLiteral("Ruvelant.prefPane"))).localizedStringForKey(key), expected);
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
