// What the installer finds at launch: version normalization and comparison, the launch
// inspection for every place and version of the installed pane, and its strings tables.
#include "ActionController.h"
#include "Model.h"
#include "bundle.h"
#include "stringstable.h"
#include "throwawayhome.h"

#include <QFile>
#include <QMetaProperty>
#include <QTest>

#include <memory>

namespace {
QString operator""_qs(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

const QString builtInstaller = buildPath("RuvelantInstaller.app"_qs);

QByteArray versioned(const QByteArray &version)
{
    return "<plist version=\"1.0\"><dict><key>CFBundleVersion</key><string>" + version + "</string></dict></plist>";
}

QHash<QString, QString> stringsTable(const char *language)
{
    return StringsTable::parse(
        readFile(builtInstaller + "/Contents/Resources/%1.lproj/Localizable.strings"_qs.arg(QLatin1String(language))));
}

// The English text of key, given the installed and the carried version when it takes them.
QString english(const char *key, const char *installed = nullptr, const char *carried = nullptr)
{
    const QString text = stringsTable("en").value(QLatin1String(key));
    return installed ? text.arg(QLatin1String(installed), QLatin1String(carried)) : text;
}

// Every change signal of a model, as "property=value", in the order they came.
class ChangeRecorder : public QObject
{
    Q_OBJECT
public:
    explicit ChangeRecorder(Model *model)
    {
        for (int i = model->metaObject()->propertyOffset(); i < model->metaObject()->propertyCount(); ++i) {
            connect(model, model->metaObject()->property(i).notifySignal(), this,
                    metaObject()->method(metaObject()->indexOfSlot("changed()")));
        }
    }
    QStringList changes;

public Q_SLOTS:
    void changed()
    {
        const QMetaObject *meta = sender()->metaObject();
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            if (meta->property(i).notifySignalIndex() == senderSignalIndex()) {
                const QVariant value = meta->property(i).read(sender());
                changes.append(QLatin1String(meta->property(i).name()) + QLatin1Char('=')
                               + (value.userType() == QMetaType::Bool ? (value.toBool() ? "true"_qs : "false"_qs)
                                                                      : value.toString()));
            }
        }
    }
};
} // namespace

class LaunchInspectionTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_installer;

    // A pane at path below the home: a bundle with that Info.plist, or a plain file ("file").
    void makePane(const QString &path, const QByteArray &info)
    {
        if (info == "file") {
            m_home->writeFile(path, "not a bundle");
        } else if (!info.isNull()) {
            m_home->writeFile(path + "/Contents/Info.plist"_qs, info);
        }
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->setEnv("RUVELANT_SYSTEM_ROOT", QFile::encodeName(m_home->filePath("system"_qs)));
    }
    void cleanup()
    {
        Bundle::setMainBundle(nullptr);
        m_installer.reset();
        m_home.reset();
    }

    void normalizeVersion_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("normalized");
        const char *const rows[][2] = {
            {"1", "00001.00000.00000"},
            {"1.2", "00001.00002.00000"},
            {"1.10", "00001.00010.00000"},
            {"1.2.3.4", "00001.00002.00003"},
            {"", "00000.00000.00000"},
            {".", "00000.00000.00000"},
            {"1..2", "00001.00000.00002"},
            {"1.", "00001.00000.00000"},
            {"2b3", "00002.00000.00000"},
            {"1.2b3", "00001.00002.00000"},
            {"beta", "00000.00000.00000"},
            {"-3", "-00003.00000.00000"},
            {"+4.-5", "00004.-00005.00000"},
            {"123456.7", "123456.00007.00000"},
            {" 7. \t8", "00007.00008.00000"},
            {"1,5.2", "00001.00002.00000"},
            {"99999999999999999999", "9223372036854775807.00000.00000"},
        };
        for (const auto &row : rows) {
            QTest::newRow(row[0]) << QString::fromLatin1(row[0]) << QString::fromLatin1(row[1]);
        }
    }
    void normalizeVersion()
    {
        QFETCH(QString, version);
        QFETCH(QString, normalized);
        QCOMPARE(ActionController::normalizeVersion(version), normalized);
    }

    void verifyIfInstallerVersion_data()
    {
        QTest::addColumn<QString>("carried");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<bool>("moreRecent");
        QTest::newRow("1.10 after 1.9") << "1.10"_qs
                                        << "1.9"_qs << true;
        QTest::newRow("1.2.0 equals 1.2") << "1.2.0"_qs
                                          << "1.2"_qs << false;
        QTest::newRow("1.9.9 before 2.0") << "1.9.9"_qs
                                          << "2.0"_qs << false;
        QTest::newRow("a fourth component is ignored") << "1.2.3"_qs
                                                       << "1.2.3.9"_qs << false;
        QTest::newRow("1.2b3 equals 1.2") << "1.2b3"_qs
                                          << "1.2"_qs << false;
        QTest::newRow("5.0 after an unreadable 0") << "5.0"_qs
                                                   << "0"_qs << true;
        QTest::newRow("0.0.1 after -1") << "0.0.1"_qs
                                        << "-1"_qs << true;
        QTest::newRow("six digits order by their first") << "100000"_qs
                                                         << "99999"_qs << false;
    }
    void verifyIfInstallerVersion()
    {
        QFETCH(QString, carried);
        QFETCH(QString, installed);
        QFETCH(bool, moreRecent);
        QCOMPARE(ActionController::verifyIfInstallerVersion(carried, installed), moreRecent);
    }

    // The launch inspection's settings, in their order, for each place and version of the pane.
    void launchInspection_data()
    {
        QTest::addColumn<QByteArray>("user"); // Info.plist of a pane in the user's folder
        QTest::addColumn<QByteArray>("system"); // ... in the system folder
        QTest::addColumn<QByteArray>("carried");
        QTest::addColumn<bool>("strings"); // the installer has its strings tables
        QTest::addColumn<QString>("found"); // applicationAlreadyInstalled, ...InUserHome
        QTest::addColumn<bool>("update");
        QTest::addColumn<QString>("versionMessage");
        QTest::addColumn<QString>("message");
        const QByteArray none;
        const QByteArray noVersion("<plist version=\"1.0\"><dict/></plist>");
        const QString user = "true true"_qs, system = "true false"_qs, nowhere = "false true"_qs;
        const QString upToDate = english("ApplicationInstalled_UpToDate");
        QTest::newRow("nowhere") << none << none << QByteArray("5.0") << true << nowhere << true << "v.5.0 "_qs
                                 << english("ApplicationNotInstalled_UpdateAvailable");
        QTest::newRow("user 1.9, carried 1.10")
            << versioned("1.9") << none << QByteArray("1.10") << true << user << true << "v.1.9 --> v.1.10"_qs
            << english("ApplicationInstalled_UpdateAvailable", "1.9", "1.10");
        QTest::newRow("user 1.2, carried 1.2.0")
            << versioned("1.2") << none << QByteArray("1.2.0") << true << user << false << "v.1.2 "_qs << upToDate;
        QTest::newRow("user 2.0, carried 1.9.9")
            << versioned("2.0") << none << QByteArray("1.9.9") << true << user << false << "v.2.0 "_qs << upToDate;
        QTest::newRow("user 1.2.3.9, carried 1.2.3") << versioned("1.2.3.9") << none << QByteArray("1.2.3") << true
                                                     << user << false << "v.1.2.3.9 "_qs << upToDate;
        QTest::newRow("system 1.0, carried 5.0")
            << none << versioned("1.0") << QByteArray("5.0") << true << system << true << "v.1.0 --> v.5.0"_qs
            << english("ApplicationInstalled_UninstallWrongLocation_UpdateAvailable", "1.0", "5.0");
        QTest::newRow("system 5.0, carried 5.0")
            << none << versioned("5.0") << QByteArray("5.0") << true << system << false << "v.5.0 "_qs
            << english("ApplicationInstalled_UninstallWrongLocation_UpToDate");
        QTest::newRow("user 5.0 decides over system 1.0") << versioned("5.0") << versioned("1.0") << QByteArray("5.0")
                                                          << true << user << false << "v.5.0 "_qs << upToDate;
        const QString unknown = english("ApplicationInstalled_UpdateAvailable", "?", "5.0");
        QTest::newRow("unreadable Info.plist") << QByteArray("<plist><dict>") << none << QByteArray("5.0") << true
                                               << user << true << "v.? --> v.5.0"_qs << unknown;
        QTest::newRow("no CFBundleVersion")
            << noVersion << none << QByteArray("5.0") << true << user << true << "v.? --> v.5.0"_qs << unknown;
        QTest::newRow("a number as CFBundleVersion")
            << QByteArray("<plist><dict><key>CFBundleVersion</key><integer>9</integer></dict></plist>") << none
            << QByteArray("5.0") << true << user << true << "v.? --> v.5.0"_qs << unknown;
        QTest::newRow("a plain file in the system folder")
            << none << QByteArray("file") << QByteArray("5.0") << true << system << true << "v.? --> v.5.0"_qs
            << english("ApplicationInstalled_UninstallWrongLocation_UpdateAvailable", "?", "5.0");
        QTest::newRow("no strings table, update")
            << versioned("1.0") << none << QByteArray("5.0") << false << user << true << "v.1.0 --> v.5.0"_qs
            << "ApplicationInstalled_UpdateAvailable"_qs;
    }
    void launchInspection()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, system);
        QFETCH(QByteArray, carried);
        QFETCH(bool, strings);
        QFETCH(QString, found);
        QFETCH(bool, update);
        QFETCH(QString, versionMessage);
        QFETCH(QString, message);
        m_home->writeFile("Installer.app/Contents/Info.plist"_qs, versioned(carried));
        if (strings) {
            m_home->writeFile("Installer.app/Contents/Resources/en.lproj/Localizable.strings"_qs,
                              readFile(builtInstaller + "/Contents/Resources/en.lproj/Localizable.strings"_qs));
        }
        m_installer = std::make_unique<Bundle>(m_home->filePath("Installer.app"_qs));
        Bundle::setMainBundle(m_installer.get());
        makePane("Library/PreferencePanes/Ruvelant.prefPane"_qs, user);
        makePane("system/Library/PreferencePanes/Ruvelant.prefPane"_qs, system);

        Model model; // all flags false, all texts null
        for (int i = model.metaObject()->propertyOffset(); i < model.metaObject()->propertyCount(); ++i) {
            const QVariant value = model.metaObject()->property(i).read(&model);
            QVERIFY(value.userType() == QMetaType::Bool ? !value.toBool() : value.toString().isNull());
        }
        ActionController controller;
        controller.setModel(&model);
        ChangeRecorder recorder(&model);
        controller.applicationDidFinishLaunching(nullptr);
        const QStringList expected {
            "applicationInitCompleted=false"_qs,
            "applicationInstallationOrUnistallationCompleted=false"_qs,
            "applicationAlreadyInstalled="_qs + found.section(QLatin1Char(' '), 0, 0),
            "applicationAlreadyInstalledInUserHome="_qs + found.section(QLatin1Char(' '), 1, 1),
            "applicationUpdateNecessary="_qs + (update ? "true"_qs : "false"_qs),
            "versionMessage="_qs + versionMessage,
            "message="_qs + message,
            "applicationInitCompleted=true"_qs,
        };
        QCOMPARE(recorder.changes, expected);
    }

    // Each language has every text of the English table, and the two texts with versions take
    // both; the installer carries the pane of its own version.
    void stringsTables()
    {
        const QHash<QString, QString> english = stringsTable("en");
        QVERIFY(english.size() >= 9);
        for (const char *language : {"fr", "de"}) {
            const QHash<QString, QString> own = stringsTable(language);
            QCOMPARE(QSet<QString>(own.keyBegin(), own.keyEnd()), QSet<QString>(english.keyBegin(), english.keyEnd()));
            for (const char *key : {"ApplicationInstalled_UpdateAvailable",
                                    "ApplicationInstalled_UninstallWrongLocation_UpdateAvailable"}) {
                const QString text = own.value(QLatin1String(key));
                QVERIFY2(text.contains("%1"_qs) && text.contains("%2"_qs), qPrintable(text));
            }
        }
        QCOMPARE(Bundle(builtInstaller).objectForInfoDictionaryKey("CFBundleVersion"_qs),
                 Bundle(buildPath("Ruvelant.prefPane"_qs)).objectForInfoDictionaryKey("CFBundleVersion"_qs));
    }
};

QTEST_GUILESS_MAIN(LaunchInspectionTest)
#include "tst_launchinspection.moc"
