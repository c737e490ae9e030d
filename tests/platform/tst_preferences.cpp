#include "ComKestramoPreferencesUtils.h"
#include "preferenceservice.h"
#include "propertylist.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>
#include <memory>

namespace {
const QString domainName = QStringLiteral("com.kestramo.ruvelant");

// What another process would find in the domain's file right now.
QVariantMap onDisk(const ThrowAwayHome &home)
{
    QVariant root;
    const QString path = home.preferencesPath() + QStringLiteral("/com.kestramo.ruvelant.plist");
    if (!QFile::exists(path)) {
        return {};
    }
    if (!PropertyList::readFile(path, &root)) {
        return {{QStringLiteral("<unreadable>"), true}};
    }
    return root.toMap();
}

void storeFromAnotherProcess(const QString &key, const QVariant &value)
{
    PreferenceService other(domainName);
    other.setValue(key, value);
    QVERIFY(other.synchronize());
}
} // namespace

class PreferencesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sharedInstance()
    {
        QCOMPARE(ComKestramoPreferencesUtils::sharedPreferences(), ComKestramoPreferencesUtils::sharedPreferences());
    }

    void defaultStoredOnlyAtSynchronize()
    {
        ThrowAwayHome home;
        auto *prefs = ComKestramoPreferencesUtils::sharedPreferences();
        QCOMPARE(prefs->valueFromPreferencesWithKey(QStringLiteral("daysBeforeEventStart"), QStringLiteral("4")),
                 QVariant(QStringLiteral("4")));
        QVERIFY(onDisk(home).isEmpty());
        prefs->synchronize();
        QCOMPARE(onDisk(home).value(QStringLiteral("daysBeforeEventStart")), QVariant(QStringLiteral("4")));
    }

    void existingValueNeverOverwrittenByRead_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QVariant>("defaultValue");
        QTest::newRow("text 0 stays text") << QVariant(QStringLiteral("0")) << QVariant(false);
        QTest::newRow("boolean false") << QVariant(false) << QVariant(true);
        QTest::newRow("integer") << QVariant(qlonglong(7)) << QVariant(QStringLiteral("4"));
        QTest::newRow("array of texts") << QVariant(QVariantList {QStringLiteral("a"), QStringLiteral("b")})
                                        << QVariant(QVariantList());
    }
    void existingValueNeverOverwrittenByRead()
    {
        QFETCH(QVariant, stored);
        QFETCH(QVariant, defaultValue);
        ThrowAwayHome home;
        storeFromAnotherProcess(QStringLiteral("key"), stored);
        auto *prefs = ComKestramoPreferencesUtils::sharedPreferences();
        const QVariant read = prefs->valueFromPreferencesWithKey(QStringLiteral("key"), defaultValue);
        QCOMPARE(read.userType(), stored.userType());
        QCOMPARE(read, stored);
        prefs->synchronize();
        const QVariant after = onDisk(home).value(QStringLiteral("key"));
        QCOMPARE(after.userType(), stored.userType());
        QCOMPARE(after, stored);
    }

    void absentValueRemovesKey()
    {
        ThrowAwayHome home;
        storeFromAnotherProcess(QStringLiteral("mailTitle"), QStringLiteral("Hi"));
        auto *prefs = ComKestramoPreferencesUtils::sharedPreferences();
        prefs->setPrefernceValue(QVariant(), QStringLiteral("mailTitle"));
        prefs->synchronize();
        QVERIFY(!onDisk(home).contains(QStringLiteral("mailTitle")));
        QCOMPARE(prefs->valueFromPreferencesWithKey(QStringLiteral("mailTitle"), QStringLiteral("default")),
                 QVariant(QStringLiteral("default")));
        prefs->synchronize();
        QCOMPARE(onDisk(home).value(QStringLiteral("mailTitle")), QVariant(QStringLiteral("default")));
    }

    void unreadableFileIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("junk") << QByteArray("this is not a property list\x01\x02");
        QTest::newRow("truncated xml") << QByteArray(
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>");
        QTest::newRow("array at the top") << PropertyList::toXml(QVariantList {1, 2});
    }
    void unreadableFileIsKeptAside()
    {
        QFETCH(QByteArray, content);
        ThrowAwayHome home;
        home.writeFile(QStringLiteral("Library/Preferences/com.kestramo.ruvelant.plist"), content);
        PreferenceService service(domainName);
        QVERIFY(!service.value(QStringLiteral("a")).isValid());
        service.setValue(QStringLiteral("quorvelEnabled"), false);
        QVERIFY(service.synchronize());
        QCOMPARE(onDisk(home).value(QStringLiteral("quorvelEnabled")), QVariant(false));
        const QStringList kept
            = QDir(home.preferencesPath()).entryList({QStringLiteral("com.kestramo.ruvelant.plist.unreadable-*")});
        QCOMPARE(kept.size(), 1);
        QFile aside(home.preferencesPath() + QLatin1Char('/') + kept.first());
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), content);
    }

    void unwritableFolderKeepsValuesInMemory()
    {
        ThrowAwayHome home;
        // A file where the Library folder should be: the preferences folder cannot be made (even as root).
        home.writeFile(QStringLiteral("Library"), "in the way");
        PreferenceService service(domainName);
        service.setValue(QStringLiteral("daysBeforeEventStart"), QStringLiteral("3"));
        QString error;
        QVERIFY(!service.synchronize(&error));
        QVERIFY2(error.contains(QStringLiteral("Library/Preferences")), qPrintable(error));
        QCOMPARE(service.value(QStringLiteral("daysBeforeEventStart")), QVariant(QStringLiteral("3")));
    }

    void concurrentWritersLoseNothing()
    {
        ThrowAwayHome home;
        const int perWriter = 60;
        std::vector<std::unique_ptr<QProcess>> writers;
        for (const QString &prefix : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
            auto process = std::make_unique<QProcess>();
            process->start(buildPath(QStringLiteral("tests/helpers/helper_prefwriter")),
                           {domainName, prefix, QString::number(perWriter)});
            writers.push_back(std::move(process));
        }
        // The defaults program races the writers too.
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(QProcess::execute(buildPath(QStringLiteral("bin/defaults")),
                                       {QStringLiteral("write"), domainName, QStringLiteral("d%1").arg(i),
                                        QStringLiteral("-int"), QString::number(i)}),
                     0);
        }
        for (auto &writer : writers) {
            QVERIFY(writer->waitForFinished(120000));
            QCOMPARE(writer->exitCode(), 0);
        }
        const QVariantMap disk = onDisk(home);
        for (const QString &prefix : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
            for (int i = 0; i < perWriter; ++i) {
                QVERIFY2(disk.contains(prefix + QString::number(i)), qPrintable(prefix + QString::number(i)));
            }
        }
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(disk.value(QStringLiteral("d%1").arg(i)), QVariant(qlonglong(i)));
        }
    }

    void killedWriterLeavesAReadableFile()
    {
        ThrowAwayHome home;
        for (int round = 0; round < 15; ++round) {
            QProcess writer;
            writer.start(
                buildPath(QStringLiteral("tests/helpers/helper_prefwriter")),
                {domainName, QStringLiteral("r%1_").arg(round), QStringLiteral("40"), QStringLiteral("--big")});
            QVERIFY(writer.waitForStarted());
            QTest::qWait(20 + QRandomGenerator::global()->bounded(200));
            ::kill(static_cast<pid_t>(writer.processId()), SIGKILL);
            QVERIFY(writer.waitForFinished());
            const QVariantMap disk = onDisk(home);
            QVERIFY2(!disk.contains(QStringLiteral("<unreadable>")), "a killed writer left a broken file");
        }
    }
};

QTEST_GUILESS_MAIN(PreferencesTest)
#include "tst_preferences.moc"
