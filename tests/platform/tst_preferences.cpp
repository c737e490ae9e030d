#include "ComKestramoPreferencesUtils.h"
#include "propertylist.h"
#include "storedpreferences.h"
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
} // namespace

class PreferencesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A read returns a stored value as it is (type included) and leaves it; a missing or removed
    // key gets the default, which is stored at the next synchronize and not before.
    void valueFromPreferences_data()
    {
        QTest::addColumn<QVariant>("stored"); // invalid: none
        QTest::addColumn<QVariant>("defaultValue");
        QTest::addColumn<bool>("remove");
        const auto row = [](const char *name, const QVariant &stored, const QVariant &defaultValue,
                            bool remove = false) { QTest::newRow(name) << stored << defaultValue << remove; };
        row("text 0 stays text", QStringLiteral("0"), false);
        row("boolean false", false, true);
        row("integer", qlonglong(7), QStringLiteral("4"));
        row("array of texts", QVariantList {QStringLiteral("a"), QStringLiteral("b")}, QVariantList());
        row("missing", QVariant(), QStringLiteral("4"));
        row("removed", QStringLiteral("Hi"), QStringLiteral("default"), true);
    }
    void valueFromPreferences()
    {
        QFETCH(QVariant, stored);
        QFETCH(QVariant, defaultValue);
        QFETCH(bool, remove);
        ThrowAwayHome home;
        storePreferences({{QStringLiteral("key"), stored}});
        auto *prefs = ComKestramoPreferencesUtils::sharedPreferences();
        QCOMPARE(ComKestramoPreferencesUtils::sharedPreferences(), prefs);
        if (remove) {
            prefs->setPrefernceValue(QVariant(), QStringLiteral("key"));
            prefs->synchronize();
            stored = QVariant();
        }
        const QVariant expected = stored.isValid() ? stored : defaultValue;
        QCOMPARE(onDisk(home).value(QStringLiteral("key")), stored);
        const QVariant read = prefs->valueFromPreferencesWithKey(QStringLiteral("key"), defaultValue);
        QCOMPARE(read.userType(), expected.userType());
        QCOMPARE(read, expected);
        QCOMPARE(onDisk(home).value(QStringLiteral("key")), stored);
        prefs->synchronize();
        const QVariant after = onDisk(home).value(QStringLiteral("key"));
        QCOMPARE(after.userType(), expected.userType());
        QCOMPARE(after, expected);
    }

    // The default that a read hands out for a missing key is stored only if the key is still
    // missing: a value that another process stores meanwhile wins.
    void defaultLosesToAValueStoredMeanwhile()
    {
        ThrowAwayHome home;
        storePreferences({{QStringLiteral("activeCalendars"), QVariant()}});
        auto *prefs = ComKestramoPreferencesUtils::sharedPreferences();
        QCOMPARE(prefs->valueFromPreferencesWithKey(QStringLiteral("activeCalendars"), QStringList()),
                 QVariant(QStringList()));
        storePreferences(); // "home", by another process
        prefs->synchronize();
        QCOMPARE(onDisk(home).value(QStringLiteral("activeCalendars")).toStringList(),
                 QStringList {QStringLiteral("home")});
    }

    void seesLaterChangesOfOtherProcesses()
    {
        ThrowAwayHome home;
        storePreferences({{QStringLiteral("daysBeforeEventStart"), QStringLiteral("4")}});
        PreferenceService mine(domainName);
        mine.setValue(QStringLiteral("mine"), true);
        QCOMPARE(mine.value(QStringLiteral("daysBeforeEventStart")), QVariant(QStringLiteral("4")));
        storePreferences({{QStringLiteral("daysBeforeEventStart"), QStringLiteral("2")}});
        QCOMPARE(mine.value(QStringLiteral("daysBeforeEventStart")), QVariant(QStringLiteral("2")));
        QCOMPARE(mine.value(QStringLiteral("mine")), QVariant(true)); // still pending, still seen
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
        QCOMPARE(readFile(home.preferencesPath() + QLatin1Char('/') + kept.first()), content);
    }

    // A domain file linked into place from elsewhere is written at its target; the link stays.
    void linkedFileIsWrittenThrough()
    {
        ThrowAwayHome home;
        home.writeFile(QStringLiteral("dotfiles/ruvelant.plist"), PropertyList::toXml(QVariantMap {{"a"_qs, 1}}));
        QVERIFY(QDir().mkpath(home.preferencesPath()));
        const QString link = home.preferencesPath() + QStringLiteral("/com.kestramo.ruvelant.plist");
        QVERIFY(QFile::link(home.filePath(QStringLiteral("dotfiles/ruvelant.plist")), link));
        PreferenceService service(domainName);
        service.setValue(QStringLiteral("quorvelEnabled"), true);
        QVERIFY(service.synchronize());
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(onDisk(home), (QVariantMap {{"a"_qs, 1}, {"quorvelEnabled"_qs, true}}));
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
        const QStringList prefixes {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
        std::vector<std::unique_ptr<QProcess>> writers;
        for (const QString &prefix : prefixes) {
            writers.push_back(
                startProgram("tests/helpers/helper_prefwriter", {domainName, prefix, QStringLiteral("60")}));
        }
        // The defaults program races the writers too.
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(QProcess::execute(buildPath(QStringLiteral("bin/defaults")),
                                       {QStringLiteral("write"), domainName, QStringLiteral("d%1").arg(i),
                                        QStringLiteral("-int"), QString::number(i)}),
                     0);
        }
        for (auto &writer : writers) {
            QCOMPARE(finish(*writer, nullptr, 120000), 0);
        }
        const QVariantMap disk = onDisk(home);
        for (int i = 0; i < 60; ++i) {
            for (const QString &prefix : prefixes) {
                QVERIFY2(disk.contains(prefix + QString::number(i)), qPrintable(prefix + QString::number(i)));
            }
            QCOMPARE(disk.value(QStringLiteral("d%1").arg(i)), i < 20 ? QVariant(qlonglong(i)) : QVariant());
        }
    }

    void killedWriterLeavesAReadableFile()
    {
        ThrowAwayHome home;
        for (int round = 0; round < 15; ++round) {
            const auto writer = startProgram(
                "tests/helpers/helper_prefwriter",
                {domainName, QStringLiteral("r%1_").arg(round), QStringLiteral("40"), QStringLiteral("--big")});
            QVERIFY(writer->waitForStarted());
            QTest::qWait(20 + QRandomGenerator::global()->bounded(200));
            ::kill(static_cast<pid_t>(writer->processId()), SIGKILL);
            QVERIFY(writer->waitForFinished());
            const QVariantMap disk = onDisk(home);
            QVERIFY2(!disk.contains(QStringLiteral("<unreadable>")), "a killed writer left a broken file");
        }
    }
};

QTEST_GUILESS_MAIN(PreferencesTest)
#include "tst_preferences.moc"
