#include "bundle.h"
#include "propertylist.h"
#include "stringstable.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>

namespace {
QByteArray readFixture(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class BundleTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readsRealTable_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("utf-8 text") << "greeting" << QStringLiteral("Bonjour à tous");
        QTest::newRow("escaped quotes") << "quote"
                                        << "She said \"hi\"";
        QTest::newRow("newline and tab") << "lines"
                                         << "one\ntwo\tthree";
        QTest::newRow("backslash, spaces around =") << "backslash"
                                                    << "a\\b";
        QTest::newRow("unicode escapes") << "unicode" << QStringLiteral("café — ok");
        QTest::newRow("separators inside quotes") << "key with spaces"
                                                  << "value; with = signs";
        QTest::newRow("unquoted words") << "bareKey"
                                        << "bareValue";
        QTest::newRow("key alone maps to itself") << "same"
                                                  << "same";
        QTest::newRow("japanese") << "japanese" << QStringLiteral("予定のお知らせ");
    }
    void readsRealTable()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QString error;
        const auto table = StringsTable::parse(readFixture(QFINDTESTDATA("../data/strings/good.strings")), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(table.value(key), value);
    }

    void brokenTableKeepsWhatCameBefore_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("line");
        QTest::newRow("unclosed quote") << "broken.strings" << 4;
        QTest::newRow("missing semicolon") << "nosemicolon.strings" << 3;
    }
    void brokenTableKeepsWhatCameBefore()
    {
        QFETCH(QString, file);
        QFETCH(int, line);
        QString error;
        const auto table
            = StringsTable::parse(readFixture(QFINDTESTDATA(QStringLiteral("../data/strings/") + file)), &error);
        QVERIFY2(error.startsWith(QStringLiteral("line %1:").arg(line)), qPrintable(error));
        QCOMPARE(table.value(QStringLiteral("first")), QStringLiteral("kept"));
        QVERIFY(!table.contains(QStringLiteral("after")));
    }

    void utf16TableWithByteOrderMark()
    {
        const QString text = QStringLiteral("\"k\" = \"Grüße\";");
        QByteArray data("\xFF\xFE", 2);
        for (const QChar c : text) {
            data.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
        }
        QCOMPARE(StringsTable::parse(data).value(QStringLiteral("k")), QStringLiteral("Grüße"));
    }

    void localizedTextFollowsLanguage_data()
    {
        QTest::addColumn<QByteArray>("lang");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("english");
        const QByteArray english = "\"hello\" = \"Hello\";\n\"only\" = \"English only\";";
        QTest::newRow("french") << QByteArray("fr_FR.UTF-8") << "hello"
                                << "Bonjour" << english;
        QTest::newRow("french falls back to english per key") << QByteArray("fr_FR.UTF-8") << "only"
                                                              << "English only" << english;
        QTest::newRow("german has no table") << QByteArray("de_DE.UTF-8") << "hello"
                                             << "Hello" << english;
        QTest::newRow("C locale") << QByteArray("C") << "hello"
                                  << "Hello" << english;
        QTest::newRow("missing key yields the key") << QByteArray("fr_FR.UTF-8") << "nope"
                                                    << "nope" << english;
        QTest::newRow("broken table: key falls back") << QByteArray("ja_JP.UTF-8") << "after"
                                                      << "after" << english;
        QTest::newRow("broken table: earlier entries kept") << QByteArray("ja_JP.UTF-8") << "hello"
                                                            << "こんにちは" << english;
    }
    void localizedTextFollowsLanguage()
    {
        QFETCH(QByteArray, lang);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QFETCH(QByteArray, english);
        ThrowAwayHome home("UTC", lang);
        const QString pane = QStringLiteral("Ruvelant.prefPane/Contents/");
        home.writeFile(pane + QStringLiteral("Resources/en.lproj/Localizable.strings"), english);
        home.writeFile(pane + QStringLiteral("Resources/fr.lproj/Localizable.strings"), "\"hello\" = \"Bonjour\";");
        home.writeFile(pane + QStringLiteral("Resources/ja.lproj/Localizable.strings"),
                       "\"hello\" = \"こんにちは\";\n\"oops\" = ;\n\"after\" = \"後\";\n");
        Bundle bundle(home.filePath(QStringLiteral("Ruvelant.prefPane")));
        QCOMPARE(bundle.localizedStringForKey(key), expected);
    }

    void bundleOfBinaryAndInfo()
    {
        ThrowAwayHome home;
        const QString app = home.filePath(QStringLiteral("Tool.app"));
        home.writeFile(QStringLiteral("Tool.app/Contents/Info.plist"),
                       PropertyList::toXml(QVariantMap {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("x.y")},
                                                        {QStringLiteral("CFBundleVersion"), QStringLiteral("1.2")}}));
        home.writeFile(QStringLiteral("Tool.app/Contents/Resources/Credits.rtfd"), "credits");
        home.writeFile(QStringLiteral("Tool.app/Contents/Resources/Ruvelant"), "agent");
        QCOMPARE(Bundle::bundlePathForBinary(app + QStringLiteral("/Contents/MacOS/Tool")), app);
        // A bare executable's bundle is the folder that holds it.
        QCOMPARE(Bundle::bundlePathForBinary(app + QStringLiteral("/Contents/Resources/Ruvelant")),
                 app + QStringLiteral("/Contents/Resources"));

        Bundle bundle(app);
        QCOMPARE(bundle.bundleIdentifier(), QStringLiteral("x.y"));
        QCOMPARE(bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")), QVariant(QStringLiteral("1.2")));
        QCOMPARE(bundle.resourcePath(), app + QStringLiteral("/Contents/Resources"));
        QCOMPARE(bundle.pathForResource(QStringLiteral("Credits"), QStringLiteral("rtfd")),
                 app + QStringLiteral("/Contents/Resources/Credits.rtfd"));
        QVERIFY(bundle.pathForResource(QStringLiteral("Missing"), QStringLiteral("zip")).isEmpty());

        Bundle bare(app + QStringLiteral("/Contents/Resources"));
        QVERIFY(bare.infoDictionary().isEmpty());
        QCOMPARE(bare.resourcePath(), bare.bundlePath());
    }

    void mainBundleKnowsItsExecutable()
    {
        const QString exe
            = Bundle::mainBundle()->objectForInfoDictionaryKey(QStringLiteral("CFBundleExecutablePath")).toString();
        QVERIFY(exe.endsWith(QStringLiteral("/tst_bundle")));
        QCOMPARE(Bundle::bundleForCode(reinterpret_cast<const void *>(&readFixture)), Bundle::mainBundle());
    }
};

QTEST_GUILESS_MAIN(BundleTest)
#include "tst_bundle.moc"
