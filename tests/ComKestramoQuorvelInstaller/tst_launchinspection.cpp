// What the installer finds at launch: version normalization and comparison, the launch
// inspection for every situation of the installed pane, and the texts it shows in each language.
#include "ActionController.h"
#include "Model.h"
#include "bundle.h"
#include "stringstable.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QMetaProperty>
#include <QTest>

#include <memory>

namespace {
QString operator""_qs(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

QByteArray infoPlist(const QByteArray &entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>com.kestramo.ruvelant</string>"
        + entries + "</dict></plist>\n";
}
QByteArray versioned(const QByteArray &version)
{
    return infoPlist("<key>CFBundleVersion</key><string>" + version + "</string>");
}
const QString builtInstaller = buildPath(QStringLiteral("RuvelantInstaller.app"));

// Every change signal of the model, as "property=value", in the order they came.
class ChangeRecorder : public QObject
{
    Q_OBJECT
public:
    explicit ChangeRecorder(Model *model) : m_model(model)
    {
        const QMetaObject *meta = model->metaObject();
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            connect(model, meta->property(i).notifySignal(), this,
                    metaObject()->method(metaObject()->indexOfSlot("changed()")));
        }
    }
    QStringList changes;

public Q_SLOTS:
    void changed()
    {
        const QMetaObject *meta = m_model->metaObject();
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            const QMetaProperty property = meta->property(i);
            if (property.notifySignalIndex() == senderSignalIndex()) {
                const QVariant value = property.read(m_model);
                changes.append(QLatin1String(property.name()) + QLatin1Char('=')
                               + (value.userType() == QMetaType::Bool ? QLatin1String(value.toBool() ? "true" : "false")
                                                                      : value.toString()));
            }
        }
    }

private:
    Model *m_model;
};
} // namespace

class LaunchInspectionTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_installer;

    // An installer bundle that carries the given version, with the built strings tables or none.
    void useInstaller(const QByteArray &version, bool strings)
    {
        m_home->writeFile(QStringLiteral("Installer.app/Contents/Info.plist"), versioned(version));
        for (const char *language : {"en", "fr", "de"}) {
            const QString table
                = QStringLiteral("/Contents/Resources/%1.lproj/Localizable.strings").arg(QLatin1String(language));
            if (strings) {
                m_home->writeFile(QStringLiteral("Installer.app") + table, readFile(builtInstaller + table));
            }
        }
        m_installer = std::make_unique<Bundle>(m_home->filePath(QStringLiteral("Installer.app")));
        Bundle::setMainBundle(m_installer.get());
    }
    // A pane at path below the home: a bundle with that Info.plist, or a plain file ("file").
    void makePane(const QString &path, const QByteArray &info)
    {
        if (info == "file") {
            m_home->writeFile(path, "not a bundle");
        } else if (!info.isNull()) {
            m_home->writeFile(path + QStringLiteral("/Contents/Info.plist"), info);
        }
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->setEnv("RUVELANT_SYSTEM_ROOT", QFile::encodeName(m_home->filePath(QStringLiteral("system"))));
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
            QTest::newRow(qPrintable("\""_qs + QLatin1String(row[0]) + "\""_qs))
                << QString::fromLatin1(row[0]) << QString::fromLatin1(row[1]);
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
        QTest::newRow("anything after an unreadable 0") << "5.0"_qs
                                                        << "0"_qs << true;
        QTest::newRow("0.0.1 after -1") << "0.0.1"_qs
                                        << "-1"_qs << true;
        // Beyond five digits the text orders by its first characters.
        QTest::newRow("100000 orders before 99999") << "100000"_qs
                                                    << "99999"_qs << false;
    }
    void verifyIfInstallerVersion()
    {
        QFETCH(QString, carried);
        QFETCH(QString, installed);
        QFETCH(bool, moreRecent);
        QCOMPARE(ActionController::verifyIfInstallerVersion(carried, installed), moreRecent);
    }

    // The launch inspection's settings, in order, for each place and version of the pane.
    void launchInspection_data()
    {
        QTest::addColumn<QByteArray>("user"); // Info.plist of a pane in the user's folder
        QTest::addColumn<QByteArray>("system"); // ... in the system folder
        QTest::addColumn<QByteArray>("carried");
        QTest::addColumn<bool>("strings");
        QTest::addColumn<QStringList>("found"); // applicationAlreadyInstalled, ...InUserHome
        QTest::addColumn<bool>("update");
        QTest::addColumn<QString>("versionMessage");
        QTest::addColumn<QString>("message");
        const QByteArray none;
        const QStringList user {"true"_qs, "true"_qs}, system {"true"_qs, "false"_qs}, nowhere {"false"_qs, "true"_qs};
        const QString notInstalled
            = "Ruvelant is not installed. Press Install to add its pane to System Preferences."_qs;
        const QString upToDate = "Ruvelant is installed in your preference panes and up to date. Install puts it in "
                                 "place again; Uninstall switches the reminders off and removes it."_qs;
        const QString update = "Ruvelant %1 is installed in your preference panes. Version %2 is ready to replace "
                               "it: press Install to update."_qs;
        const QString systemUpToDate = "Ruvelant is installed for all users, in the system's preference panes, and up "
                                       "to date. Install or Uninstall removes that copy; Install then puts Ruvelant "
                                       "in your own preference panes."_qs;
        const QString systemUpdate = "Ruvelant %1 is installed for all users, in the system's preference panes. "
                                     "Version %2 is ready: Install removes the system's copy and puts the new version "
                                     "in your own preference panes; Uninstall removes the system's copy."_qs;
        QTest::newRow("nowhere") << none << none << QByteArray("5.0") << true << nowhere << true << "v.5.0 "_qs
                                 << notInstalled;
        QTest::newRow("user 1.9, carried 1.10") << versioned("1.9") << none << QByteArray("1.10") << true << user
                                                << true << "v.1.9 --> v.1.10"_qs << update.arg("1.9"_qs, "1.10"_qs);
        QTest::newRow("user 1.2, carried 1.2.0")
            << versioned("1.2") << none << QByteArray("1.2.0") << true << user << false << "v.1.2 "_qs << upToDate;
        QTest::newRow("user 2.0, carried 1.9.9")
            << versioned("2.0") << none << QByteArray("1.9.9") << true << user << false << "v.2.0 "_qs << upToDate;
        QTest::newRow("user 1.2.3.9, carried 1.2.3") << versioned("1.2.3.9") << none << QByteArray("1.2.3") << true
                                                     << user << false << "v.1.2.3.9 "_qs << upToDate;
        QTest::newRow("user 1.2b3, carried 1.2")
            << versioned("1.2b3") << none << QByteArray("1.2") << true << user << false << "v.1.2b3 "_qs << upToDate;
        QTest::newRow("system 1.0, carried 5.0")
            << none << versioned("1.0") << QByteArray("5.0") << true << system << true << "v.1.0 --> v.5.0"_qs
            << systemUpdate.arg("1.0"_qs, "5.0"_qs);
        QTest::newRow("system 5.0, carried 5.0") << none << versioned("5.0") << QByteArray("5.0") << true << system
                                                 << false << "v.5.0 "_qs << systemUpToDate;
        QTest::newRow("user 5.0 decides over system 1.0") << versioned("5.0") << versioned("1.0") << QByteArray("5.0")
                                                          << true << user << false << "v.5.0 "_qs << upToDate;
        QTest::newRow("unreadable Info.plist") << QByteArray("<plist><dict>") << none << QByteArray("5.0") << true
                                               << user << true << "v.? --> v.5.0"_qs << update.arg("?"_qs, "5.0"_qs);
        QTest::newRow("no CFBundleVersion") << infoPlist("") << none << QByteArray("5.0") << true << user << true
                                            << "v.? --> v.5.0"_qs << update.arg("?"_qs, "5.0"_qs);
        QTest::newRow("a number as CFBundleVersion")
            << infoPlist("<key>CFBundleVersion</key><integer>9</integer>") << none << QByteArray("5.0") << true << user
            << true << "v.? --> v.5.0"_qs << update.arg("?"_qs, "5.0"_qs);
        QTest::newRow("a plain file in the system folder")
            << none << QByteArray("file") << QByteArray("5.0") << true << system << true << "v.? --> v.5.0"_qs
            << systemUpdate.arg("?"_qs, "5.0"_qs);
        QTest::newRow("no strings table, update")
            << versioned("1.0") << none << QByteArray("5.0") << false << user << true << "v.1.0 --> v.5.0"_qs
            << "ApplicationInstalled_UpdateAvailable"_qs;
        QTest::newRow("no strings table, nowhere")
            << none << none << QByteArray("5.0") << false << nowhere << true << "v.5.0 "_qs
            << "ApplicationNotInstalled_UpdateAvailable"_qs;
    }
    void launchInspection()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, system);
        QFETCH(QByteArray, carried);
        QFETCH(bool, strings);
        QFETCH(QStringList, found);
        QFETCH(bool, update);
        QFETCH(QString, versionMessage);
        QFETCH(QString, message);
        useInstaller(carried, strings);
        makePane(QStringLiteral("Library/PreferencePanes/Ruvelant.prefPane"), user);
        makePane(QStringLiteral("system/Library/PreferencePanes/Ruvelant.prefPane"), system);

        Model model;
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
            "applicationAlreadyInstalled="_qs + found.at(0),
            "applicationAlreadyInstalledInUserHome="_qs + found.at(1),
            "applicationUpdateNecessary="_qs + (update ? "true"_qs : "false"_qs),
            "versionMessage="_qs + versionMessage,
            "message="_qs + message,
            "applicationInitCompleted=true"_qs,
        };
        QCOMPARE(recorder.changes, expected);
        QVERIFY(!model.applicationInstallationOrUnistallationInProgress());
    }

    // Each language has every text of the English table, and the two texts with versions show
    // them in order.
    void stringsTables_data()
    {
        QTest::addColumn<QByteArray>("language");
        QTest::newRow("en") << QByteArray("en_GB.UTF-8");
        QTest::newRow("fr") << QByteArray("fr_FR.UTF-8");
        QTest::newRow("de") << QByteArray("de_DE.UTF-8");
    }
    void stringsTables()
    {
        QFETCH(QByteArray, language);
        const auto table = [](const QByteArray &code) {
            const QString path = QStringLiteral("%1/Contents/Resources/%2.lproj/Localizable.strings")
                                     .arg(builtInstaller, QString::fromLatin1(code));
            QString error;
            const QHash<QString, QString> entries = StringsTable::parse(readFile(path), &error);
            return error.isEmpty() ? entries : QHash<QString, QString>();
        };
        const QHash<QString, QString> english = table("en");
        const QHash<QString, QString> own = table(language.left(2));
        QVERIFY(english.size() >= 9);
        QCOMPARE(QSet<QString>(own.keyBegin(), own.keyEnd()), QSet<QString>(english.keyBegin(), english.keyEnd()));

        m_home->setEnv("LANG", language);
        Bundle built(builtInstaller);
        Bundle::setMainBundle(&built);
        const QString carried = built.objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString();
        QCOMPARE(carried,
                 Bundle(buildPath(QStringLiteral("Ruvelant.prefPane")))
                     .objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion"))
                     .toString());
        const QStringList places {QStringLiteral("Library"), QStringLiteral("system/Library")};
        const QStringList keys {QStringLiteral("ApplicationInstalled_UpdateAvailable"),
                                QStringLiteral("ApplicationInstalled_UninstallWrongLocation_UpdateAvailable")};
        for (int i = 0; i < places.size(); ++i) {
            const QString text = own.value(keys.at(i));
            QVERIFY2(text.contains(QStringLiteral("%1")) && text.contains(QStringLiteral("%2")), qPrintable(text));
            makePane(places.at(i) + QStringLiteral("/PreferencePanes/Ruvelant.prefPane"), versioned("0.9.8"));
            Model model;
            ActionController controller;
            controller.setModel(&model);
            controller.applicationDidFinishLaunching(nullptr);
            QCOMPARE(model.message(), text.arg(QStringLiteral("0.9.8"), carried));
            QVERIFY(QDir(m_home->filePath(QStringLiteral("Library/PreferencePanes"))).removeRecursively());
        }
    }
};

QTEST_GUILESS_MAIN(LaunchInspectionTest)
#include "tst_launchinspection.moc"
