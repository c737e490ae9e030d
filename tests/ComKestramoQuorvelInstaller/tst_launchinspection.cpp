// What the installer finds at launch: version normalization and comparison, the launch
// inspection for every place and version of the installed pane, and its strings tables.
#include "ActionController.h"
#include "Model.h"
#include "bundle.h"
#include "datatable.h"
#include "stringstable.h"
#include "throwawayhome.h"

#include <QFile>
#include <QMetaProperty>
#include <QRegularExpression>
#include <QTest>

#include <memory>

namespace {
const QString builtInstaller = buildPath("RuvelantInstaller.app"_qs);

QByteArray versioned(const QString &version)
{
    return "<plist version=\"1.0\"><dict><key>CFBundleVersion</key><string>" + version.toUtf8()
        + "</string></dict></plist>";
}

QHash<QString, QString> stringsTable(const char *language)
{
    return StringsTable::parse(
        readFile(builtInstaller + "/Contents/Resources/%1.lproj/Localizable.strings"_qs.arg(QLatin1String(language))));
}

} // namespace

class LaunchInspectionTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_installer;
    QStringList m_changes; // of the model's properties, as "property=value", in the order they came

    // A pane at path below the home, as a column of the table gives it (see the table's file).
    void makePane(const QString &path, const QString &info)
    {
        if (info == "file"_qs) {
            m_home->writeFile(path, "not a bundle");
        } else if (info != "-"_qs) {
            m_home->writeFile(path + "/Contents/Info.plist"_qs,
                              info.startsWith(QLatin1Char('<')) ? info.toUtf8() : versioned(info));
        }
    }

public Q_SLOTS: // not a test: notes a change signal of the model
    void changed()
    {
        const QMetaObject *meta = sender()->metaObject();
        for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
            if (meta->property(i).notifySignalIndex() == senderSignalIndex())
                m_changes.append(QLatin1String(meta->property(i).name()) + QLatin1Char('=')
                                 + meta->property(i).read(sender()).toString());
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
        QTest::addColumn<QStringList>("row"); // version | normalized
        for (const QStringList &row : tableRows("installer/versions.txt"))
            QTest::newRow(qPrintable(row.first())) << row;
    }
    void normalizeVersion()
    {
        QFETCH(QStringList, row);
        QCOMPARE(ActionController::normalizeVersion(row.at(0)), row.at(1));
    }

    // The launch inspection's settings, in their order, for each place and version of the pane
    // (tests/data/installer/launchinspection.txt); the comparison of versions shows in the update.
    void launchInspection_data()
    {
        QTest::addColumn<QStringList>("row");
        for (const QStringList &row : tableRows("installer/launchinspection.txt"))
            QTest::newRow(qPrintable(row.first())) << row;
    }
    void launchInspection()
    {
        QFETCH(QStringList, row); // name | user | system | carried | strings | found | update | versions | message
        m_home->writeFile("Installer.app/Contents/Info.plist"_qs, versioned(row.at(3)));
        if (row.at(4) == "yes"_qs) {
            m_home->writeFile("Installer.app/Contents/Resources/en.lproj/Localizable.strings"_qs,
                              readFile(builtInstaller + "/Contents/Resources/en.lproj/Localizable.strings"_qs));
        }
        m_installer = std::make_unique<Bundle>(m_home->filePath("Installer.app"_qs));
        Bundle::setMainBundle(m_installer.get());
        makePane("Library/PreferencePanes/Ruvelant.prefPane"_qs, row.at(1));
        makePane("system/Library/PreferencePanes/Ruvelant.prefPane"_qs, row.at(2));

        Model model; // all flags false, all texts null; each change noted by changed()
        m_changes.clear();
        for (int i = model.metaObject()->propertyOffset(); i < model.metaObject()->propertyCount(); ++i) {
            const QMetaProperty property = model.metaObject()->property(i);
            const QVariant value = property.read(&model);
            QVERIFY(value.userType() == QMetaType::Bool ? !value.toBool() : value.toString().isNull());
            connect(&model, property.notifySignal(), this,
                    metaObject()->method(metaObject()->indexOfSlot("changed()")));
        }
        ActionController controller;
        controller.setModel(&model);
        controller.applicationDidFinishLaunching(nullptr);
        const QStringList message = row.at(8).split(QLatin1Char(' ')); // the key, then the versions
        QString text = row.at(4) == "yes"_qs ? stringsTable("en").value(message.first()) : message.first();
        if (message.size() == 3)
            text = text.arg(message.at(1), message.at(2));
        const QStringList expected {
            "applicationInitCompleted=false"_qs,
            "applicationInstallationOrUnistallationCompleted=false"_qs,
            "applicationAlreadyInstalled="_qs + row.at(5).section(QLatin1Char(' '), 0, 0),
            "applicationAlreadyInstalledInUserHome="_qs + row.at(5).section(QLatin1Char(' '), 1, 1),
            "applicationUpdateNecessary="_qs + row.at(6),
            "versionMessage="_qs + row.at(7),
            "message="_qs + text,
            "applicationInitCompleted=true"_qs,
        };
        QCOMPARE(m_changes, expected);
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
