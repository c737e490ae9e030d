#include "ComKestramoPreferencesUtils.h"
#include "propertylist.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
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

    // A file that is there but cannot be read is never written over: not by the defaults of a
    // read, not by a set; the pending changes wait until it can be read again, or is gone.
    void unreadableFileIsLeftAsItIs_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("junk") << QByteArray("this is not a property list\x01\x02");
        QTest::newRow("truncated xml") << QByteArray(
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>");
        QTest::newRow("array at the top") << PropertyList::toXml(QVariantList {1, 2});
        QTest::newRow("larger than a reader takes")
            << QByteArray("<plist version=\"1.0\"><dict><key>quorvelEnabled</key><true/><key>mailContent</key><string>")
                + QByteArray(PropertyList::maxFileSize, 'x') + "</string></dict></plist>";
    }
    void unreadableFileIsLeftAsItIs()
    {
        QFETCH(QByteArray, content);
        ThrowAwayHome home;
        home.writeFile(QStringLiteral("Library/Preferences/com.kestramo.ruvelant.plist"), content);
        PreferenceService service(domainName);
        QVERIFY(!service.value(QStringLiteral("quorvelEnabled")).isValid());
        QVERIFY(service.readError().startsWith(QStringLiteral("Cannot read the preferences")));
        service.setDefaultValue(QStringLiteral("quorvelEnabled"), false);
        service.setValue(QStringLiteral("daysBeforeEventStart"), QStringLiteral("3"));
        QString error;
        QVERIFY(!service.synchronize(&error));
        QVERIFY2(error.contains(QStringLiteral("nothing was written")), qPrintable(error));
        QVERIFY(readFile(home.preferencesPath() + QStringLiteral("/com.kestramo.ruvelant.plist")) == content);
        QCOMPARE(QDir(home.preferencesPath()).entryList(QDir::Files),
                 (QStringList {"com.kestramo.ruvelant.plist"_qs, "com.kestramo.ruvelant.plist.lock"_qs}));

        QVERIFY(QFile::remove(home.preferencesPath() + QStringLiteral("/com.kestramo.ruvelant.plist")));
        QVERIFY(service.synchronize());
        QCOMPARE(onDisk(home), (QVariantMap {{"quorvelEnabled"_qs, false}, {"daysBeforeEventStart"_qs, "3"_qs}}));
    }

    // A file of an earlier version that holds a text XML cannot (a raw control character, or one
    // written as a character reference) does not make every later store fail: the text is kept
    // without that character, and the file written is one that strict readers take.
    void unwritableTextOfAnOlderFile_data()
    {
        QTest::addColumn<QByteArray>("title");
        QTest::addColumn<QByteArray>("key");
        QTest::newRow("raw control character") << QByteArray("a\001b") << QByteArray("mailTitle");
        QTest::newRow("character reference") << QByteArray("a&#27;b") << QByteArray("mailTitle");
        QTest::newRow("in a key") << QByteArray("ab") << QByteArray("mail&#1;Title");
    }
    void unwritableTextOfAnOlderFile()
    {
        QFETCH(QByteArray, title);
        QFETCH(QByteArray, key);
        ThrowAwayHome home;
        home.writeFile(QStringLiteral("Library/Preferences/com.kestramo.ruvelant.plist"),
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>" + key
                           + "</key><string>" + title + "</string><key>quorvelEnabled</key><true/></dict></plist>\n");
        PreferenceService service(domainName);
        QVERIFY(service.readError().isEmpty());
        service.setValue(QStringLiteral("daysBeforeEventStart"), QStringLiteral("3"));
        QString error;
        QVERIFY2(service.synchronize(&error), qPrintable(error));
        QCOMPARE(onDisk(home),
                 (QVariantMap {
                     {"mailTitle"_qs, "ab"_qs}, {"quorvelEnabled"_qs, true}, {"daysBeforeEventStart"_qs, "3"_qs}}));
        QCOMPARE(strictReaderRefusal(), QString());
    }

    // No writer can make a file that other programs refuse: a text that XML cannot hold, or a
    // file larger than a reader takes, is refused, and the file stays as it was.
    void writerRefusesWhatXmlCannotHold_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("refusal"); // empty: written
        const auto text = [](std::initializer_list<char16_t> units) {
            QString t;
            for (char16_t unit : units)
                t.append(QChar(unit));
            return QVariant(QVariantMap {{"mailTitle"_qs, t}});
        };
        QTest::newRow("control character U+0001")
            << text({'a', 0x0001, 'b'}) << "mailTitle: the text holds the control character U+0001 at character 2";
        QTest::newRow("escape U+001B") << text({0x001B, '['}) << "the control character U+001B at character 1";
        QTest::newRow("NUL") << text({'a', 0}) << "the control character U+0000 at character 2";
        QTest::newRow("U+FFFE") << text({0xFFFE}) << "the noncharacter U+FFFE";
        QTest::newRow("U+FFFF") << text({'x', 0xFFFF}) << "the noncharacter U+FFFF";
        QTest::newRow("lone high surrogate") << text({'a', 0xD83D, 'b'}) << "half of a surrogate pair (U+D83D)";
        QTest::newRow("lone low surrogate at the end") << text({0xDE00}) << "half of a surrogate pair (U+DE00)";
        QTest::newRow("after a pair, counted as one character")
            << text({0xD83D, 0xDE00, 0x0007}) << "U+0007 at character 2";
        QTest::newRow("in a key") << QVariant(QVariantMap {{QStringLiteral("a\x01"), 1}}) << "a key: ";
        QTest::newRow("in an item of a list")
            << QVariant(QVariantMap {{"activeCalendars"_qs, QStringList {"home"_qs, QStringLiteral("w\x02")}}})
            << "activeCalendars/1: the text holds the control character U+0002";
        QTest::newRow("larger than a reader takes")
            << QVariant(QVariantMap {{"mailContent"_qs, QString(PropertyList::maxFileSize, QLatin1Char('x'))}})
            << "more than the 16777216";
        QTest::newRow("tab, line feed, carriage return") << text({'a', '\t', 'b', '\n', 'c', '\r', 'd'}) << QString();
        QTest::newRow("DEL, U+FFFD, a character beyond the first plane")
            << text({0x7F, 0xFFFD, 0xD83D, 0xDE00}) << QString();
    }
    void writerRefusesWhatXmlCannotHold()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, refusal);
        ThrowAwayHome home;
        storePreferences();
        const QString path = home.preferencesPath() + QStringLiteral("/com.kestramo.ruvelant.plist");
        const QByteArray before = readFile(path);
        QString error;
        QCOMPARE(PropertyList::writeFile(path, value, &error), refusal.isEmpty());
        QVERIFY2(error.contains(refusal), qPrintable(error));
        if (refusal.isEmpty()) {
            QVariant back;
            QVERIFY(PropertyList::readFile(path, &back));
            QCOMPARE(back, value);
        } else {
            QVERIFY(readFile(path) == before);
        }
        QCOMPARE(strictReaderRefusal(), QString());
    }

    // A setting holds what its file can hold, up to maxTextSize bytes of UTF-8; a value past it
    // is refused when set, and the file keeps the value it had.
    void setRefusesWhatASettingCannotHold_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("refusal"); // empty: stored
        const int most = PreferenceService::maxTextSize;
        QTest::newRow("text of the most bytes") << "mailContent" << QVariant(QString(most, QLatin1Char('x'))) << "";
        QTest::newRow("one byte more") << "mailContent" << QVariant(QString(most + 1, QLatin1Char('x')))
                                       << "the text is 65537 bytes long, more than the 65536 (64 KiB)";
        QTest::newRow("bytes, not characters, count")
            << "mailContent" << QVariant(QString(most / 2 + 1, QChar(0xE9))) << "the text is 65538 bytes long";
        QTest::newRow("control character")
            << "mailTitle" << QVariant(QStringLiteral("Hi\x1b[31m")) << "the control character U+001B at character 3";
        QTest::newRow("in a key") << QStringLiteral("a\x01") << QVariant(true) << "the key: the text holds";
        QTest::newRow("in an item of a list")
            << "activeCalendars" << QVariant(QStringList {"home"_qs, QString(QChar(0xFFFF))})
            << "item 2: the text holds the noncharacter U+FFFF";
    }
    void setRefusesWhatASettingCannotHold()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QString, refusal);
        ThrowAwayHome home;
        storePreferences({{key, "before"_qs}});
        const QVariant before = onDisk(home).value(key);
        PreferenceService service(domainName);
        QString why;
        QCOMPARE(service.setValue(key, value, &why), refusal.isEmpty());
        QVERIFY2(refusal.isEmpty() ? why.isEmpty() : why.contains(refusal), qPrintable(why));
        QVERIFY(service.synchronize());
        QCOMPARE(onDisk(home).value(key), refusal.isEmpty() ? value : before);
        QCOMPARE(strictReaderRefusal(), QString());
    }

    // A value set as this process read it is not written over a value that another process
    // stored since: the newer one stays. What this process did change is written.
    void olderValueNeverReplacesNewer_data()
    {
        QTest::addColumn<QVariant>("read"); // invalid: missing
        QTest::addColumn<QVariant>("storedSince"); // by another process; invalid: removed
        QTest::addColumn<QVariant>("set");
        QTest::addColumn<QVariant>("expected");
        const QVariant missing;
        QTest::newRow("nobody stored since: written, a text 0 as a boolean")
            << QVariant("0"_qs) << QVariant("0"_qs) << QVariant(false) << QVariant(false);
        QTest::newRow("stored since: the newer value stays")
            << QVariant("On <<date>>"_qs) << QVariant("Soon"_qs) << QVariant("On <<date>>"_qs) << QVariant("Soon"_qs);
        QTest::newRow("removed since: stays removed") << QVariant("4"_qs) << missing << QVariant("4"_qs) << missing;
        QTest::newRow("missing, still missing: written") << missing << missing << QVariant("4"_qs) << QVariant("4"_qs);
        QTest::newRow("missing, stored since: the newer value stays")
            << missing << QVariant("2"_qs) << QVariant("4"_qs) << QVariant("2"_qs);
        QTest::newRow("list read back as it was set: written")
            << QVariant(QStringList {"home"_qs}) << QVariant(QStringList {"home"_qs})
            << QVariant(QStringList {"home"_qs, "work"_qs}) << QVariant(QVariantList {"home"_qs, "work"_qs});
        QTest::newRow("list reordered since: stays")
            << QVariant(QStringList {"a"_qs, "b"_qs}) << QVariant(QStringList {"b"_qs, "a"_qs})
            << QVariant(QStringList {"a"_qs, "b"_qs}) << QVariant(QVariantList {"b"_qs, "a"_qs});
    }
    void olderValueNeverReplacesNewer()
    {
        QFETCH(QVariant, read);
        QFETCH(QVariant, storedSince);
        QFETCH(QVariant, set);
        QFETCH(QVariant, expected);
        ThrowAwayHome home;
        const QString key = QStringLiteral("key");
        storePreferences({{key, read}});
        PreferenceService mine(domainName);
        QVERIFY(PropertyList::sameValue(mine.storedValue(key), read));
        QVERIFY(mine.setValueUnlessChanged(key, set, mine.storedValue(key)));
        PreferenceService other(domainName);
        other.setValue(key, storedSince);
        QVERIFY(other.synchronize());
        QVERIFY(mine.synchronize());
        QVERIFY(PropertyList::sameValue(onDisk(home).value(key), expected));
        QVERIFY(PropertyList::sameValue(mine.value(key), expected));
    }

    // The defaults program refuses what the file cannot hold, and never writes over a file it
    // cannot read; a file it cannot read is not "a domain that does not exist".
    void defaultsRefuses_data()
    {
        QTest::addColumn<QByteArray>("file"); // empty: the usual settings
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("said");
        const QStringList write {"write"_qs, domainName, "mailTitle"_qs};
        QTest::newRow("control character") << QByteArray() << write + QStringList {QStringLiteral("a\x01")}
                                           << "defaults: mailTitle cannot be stored: the text holds the control "
                                              "character U+0001 at character 2";
        QTest::newRow("text longer than a setting holds")
            << QByteArray() << write + QStringList {QString(PreferenceService::maxTextSize + 1, QLatin1Char('x'))}
            << "defaults: mailTitle cannot be stored: the text is 65537 bytes long";
        QTest::newRow("write over an unreadable file")
            << QByteArray("junk") << write + QStringList {"Hi"_qs} << "defaults: Cannot read the preferences ";
        QTest::newRow("read an unreadable file")
            << QByteArray("junk") << QStringList {"read"_qs, domainName} << "defaults: Cannot read the preferences ";
    }
    void defaultsRefuses()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, arguments);
        QFETCH(QString, said);
        ThrowAwayHome home;
        storePreferences();
        const QString path = home.preferencesPath() + QStringLiteral("/com.kestramo.ruvelant.plist");
        if (!file.isEmpty())
            home.writeFile(QStringLiteral("Library/Preferences/com.kestramo.ruvelant.plist"), file);
        const QByteArray before = readFile(path);
        QProcess defaults;
        defaults.start(buildPath(QStringLiteral("bin/defaults")), arguments);
        QString errors;
        QCOMPARE(finish(defaults, &errors), 1);
        QVERIFY2(errors.split(QLatin1Char('\n'))
                     .filter(QRegularExpression(QStringLiteral("^defaults: ")))
                     .value(0)
                     .startsWith(said),
                 qPrintable(errors));
        QVERIFY(readFile(path) == before);
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
            const qint64 pid = writer->processId(); // 0 once it has ended: never kill(0)
            if (pid > 0)
                ::kill(static_cast<pid_t>(pid), SIGKILL);
            QVERIFY(writer->waitForFinished());
            const QVariantMap disk = onDisk(home);
            QVERIFY2(!disk.contains(QStringLiteral("<unreadable>")), "a killed writer left a broken file");
        }
    }
};

QTEST_GUILESS_MAIN(PreferencesTest)
#include "tst_preferences.moc"
