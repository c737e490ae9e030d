// The pane as a person uses it: the real interface file loaded from the built bundle, its
// widgets driven offscreen, the results read where other programs read them.
#include "ComKestramoLocaliztedTooltips.h"
#include "ComKestramoPreferenceQuorvelController.h"
#include "ComKestramoPreferenceQuorvelPref.h"
#include "bundle.h"
#include "helpbook.h"
#include "mailapplication.h"
#include "propertylist.h"
#include "recordingviewer.h"
#include "smtpsink.h"
#include "standarderrorcapture.h"
#include "storedpreferences.h"
#include "stringstable.h"
#include "throwawayhome.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <functional>
#include <memory>

using PaneAction = std::function<void(QWidget *view)>;
Q_DECLARE_METATYPE(PaneAction)

namespace {
const QString builtPane = buildPath(QStringLiteral("Ruvelant.prefPane"));

template<typename Widget> Widget *widget(QWidget *view, const char *name)
{
    auto *found = view->findChild<Widget *>(QLatin1String(name));
    if (!found) {
        qFatal("the pane has no %s", name);
    }
    return found;
}

// The text of key in the pane's English strings table, read from the source.
QString englishText(const QString &key)
{
    return StringsTable::parse(
               readFile(QStringLiteral(RUVELANT_SOURCE_DIR "/resources/pane/en.lproj/Localizable.strings")))
        .value(key);
}

// The preference domain as the file holds it.
QVariantMap storedDomain(const ThrowAwayHome &home)
{
    QVariant value;
    PropertyList::readFile(home.filePath(QStringLiteral("Library/Preferences/com.kestramo.ruvelant.plist")), &value);
    return value.toMap();
}

// The message box shown on the pane's window, if any.
QMessageBox *sheet(QWidget *view)
{
    const auto boxes = view->window()->findChildren<QMessageBox *>();
    return boxes.isEmpty() ? nullptr : boxes.last();
}
} // namespace

class PaneTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_bundle;
    std::unique_ptr<ComKestramoPreferenceQuorvelPref> m_pane;
    QWidget *m_view = nullptr;

    // Opens the pane of the bundle at path, as the host does.
    void openPane(const QString &path = builtPane)
    {
        m_bundle = std::make_unique<Bundle>(path);
        Bundle::setMainBundle(m_bundle.get()); // the pane's code is linked into this test
        m_pane = std::make_unique<ComKestramoPreferenceQuorvelPref>(path);
        m_view = m_pane->loadMainView();
        QVERIFY2(m_view, qPrintable(m_pane->errorString()));
        m_view->show();
    }

    // A copy of the pane bundle that holds only its information and interface file: no strings
    // tables, no credits, no agent.
    QString barePane()
    {
        const QString path = m_home->filePath(QStringLiteral("Bare.prefPane"));
        m_home->writeFile(QStringLiteral("Bare.prefPane/Contents/Info.plist"),
                          readFile(builtPane + QStringLiteral("/Contents/Info.plist")));
        m_home->writeFile(
            QStringLiteral("Bare.prefPane/Contents/Resources/ComKestramoPreferenceQuorvelPref.ui"),
            readFile(builtPane + QStringLiteral("/Contents/Resources/ComKestramoPreferenceQuorvelPref.ui")));
        return path;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->writeFile(QStringLiteral(".local/share/calendars/home/displayname"), "Home\n");
        m_home->writeFile(QStringLiteral(".local/share/calendars/work/displayname"), "Work\n");
        m_home->writeFile(QStringLiteral(".local/share/contacts/me"), "me\n");
        m_home->writeFile(
            QStringLiteral(".local/share/contacts/default/me.vcf"),
            "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:me\r\nN:Self;Me;;;\r\nFN:Me Self\r\nEMAIL:me@example.com\r\n"
            "EMAIL:me@work.example\r\nEND:VCARD\r\n");
        // Stand-ins of the user's scheduler (systemctl, crontab) that keep their state in the home.
        m_home->copyFixture(QStringLiteral("launchctl/bin"), QStringLiteral("bin"));
        for (const char *program : {"bin/systemctl", "bin/crontab"}) {
            QFile::setPermissions(m_home->filePath(QLatin1String(program)), QFile::ReadOwner | QFile::ExeOwner);
        }
        m_home->setEnv("PATH", QFile::encodeName(m_home->filePath(QStringLiteral("bin"))) + ':' + qgetenv("PATH"));
    }

    void cleanup()
    {
        m_pane.reset();
        m_view = nullptr;
        Bundle::setMainBundle(nullptr);
        m_bundle.reset();
        m_home.reset();
    }

    // Each control's tooltip is its key's text, looked up at every request (the key when the
    // table lacks it).
    void tooltips_data()
    {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("control");
        const char *rows[][3] = {{"enableRuvelant", "tooltipEnableRuvelant", "enableCheckBox"},
                                 {"emailSubject", "tooltipEmailSubject", "mailTitleEdit"},
                                 {"emailFrom", "tooltipEmailFrom", "senderComboBox"},
                                 {"emailContent", "tooltipEmailContent", "mailContentEdit"},
                                 {"daysList", "tooltipDaysList", "daysComboBox"},
                                 {"insertDate", "tooltipInsertDate", "insertDateButton"},
                                 {"insertTime", "tooltipInsertTime", "insertTimeButton"},
                                 {"insertLastName", "tooltipInsertLastName", "insertLastNameButton"},
                                 {"insertFirstName", "tooltipInsertFirstName", "insertFirstNameButton"},
                                 {"alertNow", "tooltipAlertNow", "alertNowButton"},
                                 {"showLog", "tooltipShowLog", "showLogButton"},
                                 {"calendarsTable", "tooltipCalendarsTable", "calendarsTable"}};
        for (const auto &row : rows) {
            QTest::newRow(row[0]) << QByteArray(row[0]) << QString::fromLatin1(row[1]) << QByteArray(row[2]);
        }
    }
    void tooltips()
    {
        QFETCH(QByteArray, property);
        QFETCH(QString, key);
        QFETCH(QByteArray, control);
        openPane();
        const QString text = englishText(key);
        QVERIFY(!text.isEmpty());
        auto *tooltips = m_pane->findChild<ComKestramoLocaliztedTooltips *>();
        QCOMPARE(tooltips->property(property).toString(), text);
        QWidget *tied = widget<QWidget>(m_view, control.constData());
        QCOMPARE(tied->toolTip(), text);
        QCOMPARE(tied->accessibleDescription(), text);
        QVERIFY(!tied->accessibleName().isEmpty());

        const Bundle bare(barePane());
        Bundle::setMainBundle(const_cast<Bundle *>(&bare));
        QCOMPARE(tooltips->property(property).toString(), key);
        Bundle::setMainBundle(m_bundle.get());
        QCOMPARE(tooltips->property(property).toString(), text);
    }

    // The credits document of the bundle, shown in the About tab; nothing without one.
    void credits_data()
    {
        QTest::addColumn<bool>("bare");
        QTest::newRow("bundle with credits") << false;
        QTest::newRow("bundle without credits") << true;
    }
    void credits()
    {
        QFETCH(bool, bare);
        openPane(bare ? barePane() : builtPane);
        const QString path = m_pane->findChild<ComKestramoLocaliztedTooltips *>()->creditsPath();
        const QString text = widget<QTextBrowser>(m_view, "creditsView")->toPlainText();
        if (bare) {
            QVERIFY(path.isNull());
            QVERIFY(text.isEmpty());
        } else {
            QCOMPARE(path, builtPane + QStringLiteral("/Contents/Resources/Credits.rtfd"));
            QVERIFY2(text.contains(QStringLiteral("KCalendarCore")) && !text.contains(QLatin1Char('\\')),
                     qPrintable(text));
        }
    }

    // Opening the pane registers its help book once and touches no file or schedule; the help
    // button opens the book's start page in the user's language.
    void help_data()
    {
        QTest::addColumn<QByteArray>("lang");
        QTest::addColumn<QString>("folder");
        QTest::newRow("English") << QByteArray("en_GB.UTF-8") << QStringLiteral("en.lproj");
        QTest::newRow("French") << QByteArray("fr_FR.UTF-8") << QStringLiteral("fr.lproj");
        QTest::newRow("German") << QByteArray("de_DE.UTF-8") << QStringLiteral("de.lproj");
    }
    void help()
    {
        QFETCH(QByteArray, lang);
        QFETCH(QString, folder);
        m_home->setEnv("LANG", lang);
        RecordingViewer viewer(*m_home);
        const int registered = HelpBook::registrations().size();
        openPane();
        QCOMPARE(HelpBook::registrations().mid(registered), QStringList {QStringLiteral("Ruvelant Help")});
        QVERIFY(!QFileInfo::exists(m_home->filePath(QStringLiteral("Library/LaunchAgents"))));
        QVERIFY(!QFileInfo::exists(m_home->filePath(QStringLiteral("Library/Logs"))));

        QTest::mouseClick(widget<QAbstractButton>(m_view, "helpButton"), Qt::LeftButton);
        QTRY_COMPARE(viewer.opened(),
                     QStringList {builtPane + QStringLiteral("/Contents/Resources/%1/help/index.html").arg(folder)});
    }

    // Each insert button types exactly its placeholder at the cursor, replacing a selection, and
    // the body is stored at once.
    void insertPlaceholders_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("expected");
        QTest::newRow("date at the cursor") << QByteArray("insertDateButton") << 4 << 0 << "See <<date>>you";
        QTest::newRow("time at the end") << QByteArray("insertTimeButton") << 7 << 0 << "See you<<time>>";
        QTest::newRow("first name over a selection")
            << QByteArray("insertFirstNameButton") << 4 << 3 << "See <<first>>";
        QTest::newRow("last name at the start") << QByteArray("insertLastNameButton") << 0 << 0 << "<<last>>See you";
    }
    void insertPlaceholders()
    {
        QFETCH(QByteArray, button);
        QFETCH(int, from);
        QFETCH(int, length);
        QFETCH(QString, expected);
        openPane();
        auto *body = widget<QPlainTextEdit>(m_view, "mailContentEdit");
        body->selectAll();
        QTest::keyClicks(body, QStringLiteral("See you"));
        QTextCursor cursor = body->textCursor();
        cursor.setPosition(from);
        cursor.setPosition(from + length, QTextCursor::KeepAnchor);
        body->setTextCursor(cursor);
        QTest::mouseClick(widget<QAbstractButton>(m_view, button.constData()), Qt::LeftButton);
        QCOMPARE(body->toPlainText(), expected);
        QCOMPARE(storedDomain(*m_home).value(QStringLiteral("mailContent")).toString(), expected);
    }

    // Every control edits its setting, and each edit is in the domain file at once.
    void editsAreStored_data()
    {
        QTest::addColumn<PaneAction>("edit");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("enable ticked") << PaneAction([](QWidget *view) {
            QTest::mouseClick(widget<QCheckBox>(view, "enableCheckBox"), Qt::LeftButton);
        }) << "quorvelEnabled" << QVariant(true);
        QTest::newRow("detailed log ticked") << PaneAction([](QWidget *view) {
            QTest::mouseClick(widget<QCheckBox>(view, "verboseCheckBox"), Qt::LeftButton);
        }) << "verboseLogging" << QVariant(true);
        QTest::newRow("days chosen") << PaneAction([](QWidget *view) {
            auto *box = widget<QComboBox>(view, "daysComboBox");
            box->setFocus();
            QTest::keyClick(box, Qt::Key_Home);
            QTest::keyClick(box, Qt::Key_Down);
        }) << "daysBeforeEventStart" << QVariant(QStringLiteral("2"));
        QTest::newRow("sender chosen") << PaneAction([](QWidget *view) {
            auto *box = widget<QComboBox>(view, "senderComboBox");
            QTest::keyClick(box, Qt::Key_End);
        }) << "senderEmail" << QVariant(QStringLiteral("me@work.example"));
        QTest::newRow("subject typed") << PaneAction([](QWidget *view) {
            auto *edit = widget<QLineEdit>(view, "mailTitleEdit");
            edit->selectAll();
            QTest::keyClicks(edit, QStringLiteral("Soon: <<date>>"));
        }) << "mailTitle" << QVariant(QStringLiteral("Soon: <<date>>"));
        QTest::newRow("body typed") << PaneAction([](QWidget *view) {
            auto *edit = widget<QPlainTextEdit>(view, "mailContentEdit");
            edit->selectAll();
            QTest::keyClicks(edit, QStringLiteral("Hi <<first>>"));
        }) << "mailContent" << QVariant(QStringLiteral("Hi <<first>>"));
        QTest::newRow("calendar ticked") << PaneAction([](QWidget *view) {
            auto *table = widget<QTableView>(view, "calendarsTable");
            table->setFocus();
            table->setCurrentIndex(table->model()->index(1, 0));
            QTest::keyClick(table->viewport(), Qt::Key_Space);
        }) << "activeCalendars" << QVariant(QVariantList {QStringLiteral("work")});
    }
    void editsAreStored()
    {
        QFETCH(PaneAction, edit);
        QFETCH(QString, key);
        QFETCH(QVariant, expected);
        openPane();
        const QVariantMap before = storedDomain(*m_home);
        QCOMPARE(before.size(), 7); // the defaults, written when the pane opened
        QVERIFY(before.value(key) != expected);
        edit(m_view);
        const QVariantMap after = storedDomain(*m_home);
        QCOMPARE(after.value(key), expected);
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (it.key() != key) {
                QCOMPARE(after.value(it.key()), it.value());
            }
        }
    }

    // A calendar folder added or renamed on disk shows up in the open pane.
    void calendarFolderChanges()
    {
        openPane();
        const QAbstractItemModel *calendars = widget<QTableView>(m_view, "calendarsTable")->model();
        QCOMPARE(calendars->rowCount(), 2);
        m_home->writeFile(QStringLiteral(".local/share/calendars/travel/displayname"), "Travel\n");
        QTRY_COMPARE(calendars->rowCount(), 3);
        QCOMPARE(calendars->index(2, 1).data().toString(), QStringLiteral("Travel"));
        m_home->writeFile(QStringLiteral(".local/share/calendars/work/displayname"), "Office\n");
        QTRY_COMPARE(calendars->index(1, 1).data().toString(), QStringLiteral("Office"));
    }

    // Show Log opens the agent's log in the user's viewer, or says on a sheet that there is none.
    void showLog_data()
    {
        QTest::addColumn<bool>("logExists");
        QTest::addColumn<bool>("bare");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");
        QTest::newRow("no log") << false << false << englishText(QStringLiteral("LogFileNotAvailableYet"))
                                << englishText(QStringLiteral("LogFileNotAvailableYetMessage"));
        QTest::newRow("no log, no strings table") << false << true << "LogFileNotAvailableYet"
                                                  << "LogFileNotAvailableYetMessage";
        QTest::newRow("log present") << true << false << QString() << QString();
    }
    void showLog()
    {
        QFETCH(bool, logExists);
        QFETCH(bool, bare);
        QFETCH(QString, title);
        QFETCH(QString, message);
        RecordingViewer viewer(*m_home);
        const QString log = m_home->filePath(QStringLiteral("Library/Logs/RuvelantAgent.log"));
        if (logExists) {
            m_home->writeFile(QStringLiteral("Library/Logs/RuvelantAgent.log"), "a record\n");
        }
        openPane(bare ? barePane() : builtPane);
        QTest::mouseClick(widget<QAbstractButton>(m_view, "showLogButton"), Qt::LeftButton);
        if (logExists) {
            QTRY_COMPARE(viewer.opened(), QStringList {log});
            QVERIFY(!sheet(m_view));
            return;
        }
        QMessageBox *box = sheet(m_view);
        QVERIFY(box);
        QCOMPARE(box->text(), title);
        QVERIFY2(box->informativeText().contains(message.toHtmlEscaped()), qPrintable(box->informativeText()));
        QCOMPARE(box->buttons().size(), 1);
        QCOMPARE(box->buttons().first()->text(), QStringLiteral("OK"));
        QTest::qWait(500);
        QVERIFY(viewer.opened().isEmpty());
    }

    // Scheduling writes the launch-agent file of the fixture, byte for byte, and runs launchctl
    // with it: load at every enable, unload at every disable, whether or not a file is there.
    void scheduling_data()
    {
        QTest::addColumn<QString>("pane"); // below the home
        QTest::addColumn<QString>("writtenPane"); // as the file writes it
        QTest::addColumn<QList<int>>("values"); // check box values given to enableCheckPressed
        QTest::addColumn<QStringList>("calls"); // of launchctl, FILE for the file's path
        QTest::addColumn<bool>("scheduled");
        QTest::addColumn<QString>("logged");
        const QString pane = QStringLiteral("Ruvelant.prefPane");
        QTest::newRow("enable in a home without Library")
            << pane << pane << QList<int> {Qt::Checked} << QStringList {QStringLiteral("load -w FILE")} << true
            << QString();
        QTest::newRow("enable again replaces the file and loads it again")
            << pane << pane << QList<int> {Qt::Checked, Qt::Checked}
            << QStringList {QStringLiteral("load -w FILE"), QStringLiteral("load -w FILE")} << true << QString();
        QTest::newRow("disable") << pane << pane << QList<int> {Qt::Checked, Qt::Unchecked}
                                 << QStringList {QStringLiteral("load -w FILE"), QStringLiteral("unload -w FILE")}
                                 << false << QString();
        QTest::newRow("disable without a file")
            << pane << pane << QList<int> {Qt::Unchecked} << QStringList {QStringLiteral("unload -w FILE")} << false
            << QStringLiteral("error=2 , failed to remove : FILE file \n");
        QTest::newRow("mixed state disables")
            << pane << pane << QList<int> {Qt::Checked, Qt::PartiallyChecked}
            << QStringList {QStringLiteral("load -w FILE"), QStringLiteral("unload -w FILE")} << false << QString();
        QTest::newRow("the file cannot be written: launchctl is not run")
            << QStringLiteral("Blocked.prefPane") << QString() << QList<int> {Qt::Checked} << QStringList() << false
            << QStringLiteral("error=20 while installing : FILE file \n");
        QTest::newRow("pane in a folder named R&D <x>")
            << QStringLiteral("R&D <x>/Ruvelant.prefPane") << QStringLiteral("R&amp;D &lt;x&gt;/Ruvelant.prefPane")
            << QList<int> {Qt::Checked} << QStringList {QStringLiteral("load -w FILE")} << true << QString();
    }
    void scheduling()
    {
        QFETCH(QString, pane);
        QFETCH(QString, writtenPane);
        QFETCH(QList<int>, values);
        QFETCH(QStringList, calls);
        QFETCH(bool, scheduled);
        QFETCH(QString, logged);
        // launchctl itself is a stand-in here that notes how it was called.
        m_home->writeFile(QStringLiteral("tools/launchctl"), "#!/bin/sh\necho \"$*\" >> \"$HOME/launchctl.log\"\n");
        QFile::setPermissions(m_home->filePath(QStringLiteral("tools/launchctl")), QFile::ReadOwner | QFile::ExeOwner);
        m_home->setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(m_home->filePath(QStringLiteral("tools"))));
        m_home->writeFile(pane + QStringLiteral("/Contents/Info.plist"),
                          readFile(builtPane + QStringLiteral("/Contents/Info.plist")));
        if (writtenPane.isEmpty()) {
            m_home->writeFile(QStringLiteral("Library/LaunchAgents"), "a file where the folder belongs");
        }
        ComKestramoPreferenceQuorvelPref principal(m_home->filePath(pane));
        ComKestramoPreferenceQuorvelController controller;
        controller.setPreferencePane(&principal);
        const QString file = m_home->filePath(QStringLiteral("Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"));
        QCOMPARE(controller.plistAgentFilePath(), file);

        QCheckBox box;
        box.setTristate(true);
        StandardErrorCapture errors;
        for (int value : std::as_const(values)) {
            box.setCheckState(Qt::CheckState(value));
            controller.enableCheckPressed(&box);
        }
        const QString written = errors.release();

        const QString called = calls.join(QLatin1Char('\n')).replace(QStringLiteral("FILE"), file);
        QCOMPARE(QString::fromUtf8(readFile(m_home->filePath(QStringLiteral("launchctl.log")))),
                 called.isEmpty() ? called : called + QLatin1Char('\n'));
        QCOMPARE(QFileInfo::exists(file), scheduled);
        if (scheduled) {
            QByteArray expected = readFile(QFINDTESTDATA("../data/pane/com.kestramo.RuvelantAgent.plist"));
            expected.replace("@PANE@", m_home->filePath(writtenPane).toUtf8());
            QCOMPARE(readFile(file), expected);
            QVariant plist;
            QVERIFY(PropertyList::readFile(file, &plist));
            QCOMPARE(plist.toMap().value(QStringLiteral("ProgramArguments")).toList(),
                     QVariantList {m_home->filePath(pane) + QStringLiteral("/Contents/Resources/RuvelantAgent")});
        }
        if (!logged.isEmpty()) {
            QVERIFY2(written.contains(QString(logged).replace(QStringLiteral("FILE"), file)), qPrintable(written));
        }
    }

    // Ticking the enable box stores the setting and makes a schedule the user's scheduler runs;
    // unticking removes both.
    void enableCheckBoxSchedules_data()
    {
        QTest::addColumn<bool>("systemd");
        QTest::newRow("systemd user manager") << true;
        QTest::newRow("cron") << false;
    }
    void enableCheckBoxSchedules()
    {
        QFETCH(bool, systemd);
        if (!systemd) {
            m_home->writeFile(QStringLiteral("no-user-manager"), QByteArray());
        }
        openPane();
        auto *enable = widget<QCheckBox>(m_view, "enableCheckBox");
        const QString file = m_home->filePath(QStringLiteral("Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"));
        const QString timer = m_home->filePath(QStringLiteral(".config/systemd/user/com.kestramo.RuvelantAgent.timer"));
        const auto schedule = [&] {
            return systemd ? QString::fromUtf8(readFile(m_home->filePath(QStringLiteral("timers")))).trimmed()
                           : QString::fromUtf8(readFile(m_home->filePath(QStringLiteral("crontab")))).trimmed();
        };
        QTest::mouseClick(enable, Qt::LeftButton);
        QVERIFY(QFileInfo::exists(file));
        QCOMPARE(storedDomain(*m_home).value(QStringLiteral("quorvelEnabled")), QVariant(true));
        QCOMPARE(QFileInfo::exists(timer), systemd);
        const QString agent = builtPane + QStringLiteral("/Contents/Resources/RuvelantAgent");
        if (systemd) {
            QCOMPARE(schedule(), QStringLiteral("com.kestramo.RuvelantAgent.timer"));
        } else {
            QVERIFY2(schedule().startsWith(QStringLiteral("*/30 * * * * ")) && schedule().contains(agent),
                     qPrintable(schedule()));
        }

        QTest::mouseClick(enable, Qt::LeftButton);
        QVERIFY(!QFileInfo::exists(file));
        QVERIFY(!QFileInfo::exists(timer));
        QCOMPARE(schedule(), QString());
        QCOMPARE(storedDomain(*m_home).value(QStringLiteral("quorvelEnabled")), QVariant(false));
    }

    // The pane names the mail system that reminders go to, found as the agent finds it, or says
    // there is none and links to the help page on setting one up.
    void mailStatus_data()
    {
        QTest::addColumn<QByteArray>("sendmail"); // "link": to msmtp; "script"; empty: none
        QTest::addColumn<QString>("shown");
        QTest::newRow("no sendmail") << QByteArray() << englishText(QStringLiteral("MailStatusMissing"));
        QTest::newRow("a link to msmtp") << QByteArray("link")
                                         << QStringLiteral("Mail: reminders are handed to msmtp (");
        QTest::newRow("a plain script") << QByteArray("script")
                                        << QStringLiteral("Mail: reminders are handed to the script ");
    }
    void mailStatus()
    {
        QFETCH(QByteArray, sendmail);
        QFETCH(QString, shown);
        RecordingViewer viewer(*m_home);
        const QString bin = m_home->filePath(QStringLiteral("mailbin"));
        QDir().mkpath(bin);
        m_home->setEnv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");
        MailApplication::setFallbackSendmailPaths({m_home->filePath(QStringLiteral("no-sendmail"))});
        if (sendmail == "link") {
            QVERIFY(QFile::link(QStringLiteral("/usr/bin/msmtp"), bin + QStringLiteral("/sendmail")));
        } else if (sendmail == "script") {
            m_home->writeFile(QStringLiteral("mailbin/sendmail"), "#!/bin/sh\nexit 0\n");
            QFile::setPermissions(bin + QStringLiteral("/sendmail"), QFile::ReadOwner | QFile::ExeOwner);
        }
        openPane();
        MailApplication::setFallbackSendmailPaths({});
        auto *status = widget<QLabel>(m_view, "mailStatusLabel");
        QVERIFY2(status->text().startsWith(shown.toHtmlEscaped()), qPrintable(status->text()));
        if (sendmail.isEmpty()) {
            Q_EMIT status->linkActivated(QStringLiteral("mail.html"));
            QTRY_COMPARE(viewer.opened(),
                         QStringList {builtPane + QStringLiteral("/Contents/Resources/en.lproj/help/mail.html")});
        } else {
            QVERIFY(status->text().contains(bin + QStringLiteral("/sendmail")));
        }
    }

    // The test reminder goes through the real mail chain with the current templates, to the
    // user's own address; with the mail system down the error is shown. Neither the calendars nor
    // the settings change.
    void testReminder_data()
    {
        QTest::addColumn<bool>("serverUp");
        QTest::newRow("mail system takes it") << true;
        QTest::newRow("mail server down") << false;
    }
    void testReminder()
    {
        QFETCH(bool, serverUp);
        storePreferences({{QStringLiteral("mailTitle"), QStringLiteral("Check <<date>>")},
                          {QStringLiteral("mailContent"), QStringLiteral("Hi <<first>>, at <<time>>.")}});
        m_home->writeFile(QStringLiteral(".local/share/calendars/home/event.ics"),
                          "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n");
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        if (!serverUp) {
            sink.stop();
        }
        openPane();
        const QString settings = m_home->filePath(QStringLiteral("Library/Preferences/com.kestramo.ruvelant.plist"));
        const QByteArray settingsBefore = readFile(settings);
        auto *button = widget<QPushButton>(m_view, "testReminderButton");
        auto *result = widget<QLabel>(m_view, "testReminderResultLabel");
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(!button->isEnabled()); // sending beside the window
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 30000);
        if (serverUp) {
            QCOMPARE(result->text(),
                     englishText(QStringLiteral("TestReminderTaken")).arg(QStringLiteral("me@example.com")));
            QTRY_COMPARE(sink.messages().size(), 1);
            const KMime::Message::Ptr message = sink.messages().first();
            QCOMPARE(message->to()->asUnicodeString(), QStringLiteral("me@example.com"));
            QCOMPARE(message->from()->asUnicodeString(), QStringLiteral("me@example.com"));
            const QString subject = message->subject()->asUnicodeString();
            QVERIFY2(subject.startsWith(QStringLiteral("Check ")) && !subject.contains(QLatin1Char('<')),
                     qPrintable(subject));
            const QString body = QString::fromUtf8(message->decodedContent());
            QVERIFY2(body.startsWith(QStringLiteral("Hi Me, at 10:00")), qPrintable(body));
        } else {
            QVERIFY2(
                result->text().startsWith(QStringLiteral("The test reminder to me@example.com could not be sent: "))
                    && result->text().contains(QStringLiteral("exited with status")),
                qPrintable(result->text()));
            QVERIFY(sink.messages().isEmpty());
        }
        QCOMPARE(readFile(settings), settingsBefore);
        QCOMPARE(readFile(m_home->filePath(QStringLiteral(".local/share/calendars/home/event.ics"))),
                 QByteArray("BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n"));
    }

    // The Sent tab lists what the agent's log tells, and follows the log as runs add to it.
    void sentTabFollowsTheLog()
    {
        openPane();
        const QAbstractItemModel *sent = widget<QTableView>(m_view, "sentTable")->model();
        QCOMPARE(sent->rowCount(), 0);
        const QDateTime now = QDateTime::currentDateTime();
        const QByteArray stamp = QLocale::c().toString(now, QStringLiteral("MMM dd HH:mm:ss")).toLatin1();
        m_home->writeFile(QStringLiteral("Library/Logs/RuvelantAgent.log"),
                          stamp + " host RuvelantAgent[7] <Info>:  Dentist  ->ann@example.org\n" + stamp
                              + " host RuvelantAgent[7] <Info>: terminated\n");
        QTRY_COMPARE(sent->rowCount(), 1);
        QCOMPARE(sent->index(0, 1).data().toString(), QStringLiteral("Dentist"));
        QCOMPARE(sent->index(0, 2).data().toString(), QStringLiteral("ann@example.org"));
        QCOMPARE(sent->index(0, 3).data().toString(), englishText(QStringLiteral("SentOutcomeSent")));
    }

    // The Upcoming tab lists who gets which reminder, follows the settings as they are edited,
    // and shows the chosen reminder as it will be sent.
    void upcomingTabFollowsTheSettings()
    {
        const QByteArray day = QDateTime::currentDateTime().addDays(4).toString(QStringLiteral("yyyyMMdd")).toLatin1();
        m_home->writeFile(QStringLiteral(".local/share/calendars/work/review.ics"),
                          "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:review\r\nSUMMARY:Review\r\n"
                          "DTSTART:"
                              + day
                              + "T100000\r\nDURATION:PT1H\r\nATTENDEE;CN=Ann:mailto:ann@example.org\r\n"
                                "END:VEVENT\r\nEND:VCALENDAR\r\n");
        openPane();
        auto *upcoming = widget<QTableView>(m_view, "upcomingTable");
        const QAbstractItemModel *rows = upcoming->model();
        QTRY_COMPARE(rows->rowCount(), 1);
        QCOMPARE(rows->index(0, 5).data().toString(), englishText(QStringLiteral("PreviewCalendarNotEnabled")));
        upcoming->selectRow(0); // a line without a reminder shows the whole of why not
        QCOMPARE(widget<QPlainTextEdit>(m_view, "upcomingMessage")->toPlainText(),
                 englishText(QStringLiteral("PreviewCalendarNotEnabled")));

        auto *calendars = widget<QTableView>(m_view, "calendarsTable");
        calendars->setFocus();
        calendars->setCurrentIndex(calendars->model()->index(1, 0));
        QTest::keyClick(calendars->viewport(), Qt::Key_Space);
        QTRY_VERIFY(rows->index(0, 5).data().toString().startsWith(QStringLiteral("Reminder: your appointment on ")));
        QCOMPARE(rows->index(0, 4).data().toString(), QStringLiteral("Ann <ann@example.org>"));

        upcoming->selectRow(0);
        const QString message = widget<QPlainTextEdit>(m_view, "upcomingMessage")->toPlainText();
        QVERIFY2(message.startsWith(QStringLiteral(
                     "To: ann@example.org\nFrom: Default sender of the mail system\nSubject: Reminder: "))
                     && message.contains(QStringLiteral("\n\nHello ")) && !message.contains(QStringLiteral("<<")),
                 qPrintable(message));
    }

    // Send Reminders Now runs the real agent (switched off: it sends nothing) and returns only
    // when it has ended, while the window goes on painting and no second run can start.
    void alertNowRunsTheAgent()
    {
        openPane();
        auto *button = widget<QAbstractButton>(m_view, "alertNowButton");
        int ticks = 0;
        bool disabledMeanwhile = true;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] {
            ++ticks;
            disabledMeanwhile = disabledMeanwhile && !button->isEnabled();
            button->click(); // refused: one run at a time
            m_view->repaint();
        });
        timer.start(200);
        QElapsedTimer elapsed;
        elapsed.start();
        QTest::mouseClick(button, Qt::LeftButton);
        timer.stop();
        QVERIFY2(elapsed.elapsed() >= 10000, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY2(ticks >= 40, qPrintable(QString::number(ticks)));
        QVERIFY(disabledMeanwhile);
        QVERIFY(button->isEnabled());
        const QStringList records = logRecords(m_home->filePath(QStringLiteral("Library/Logs/RuvelantAgent.log")));
        QCOMPARE(records.filter(QStringLiteral("started -v.")).size(), 1);
        QVERIFY(records.last().endsWith(QStringLiteral("terminated")));
        QVERIFY(records.filter(QStringLiteral("exiting, disabled in system preferences")).size() == 1);
    }

    // An agent that cannot be started is reported on a sheet.
    void alertNowWithoutAgent()
    {
        openPane(barePane());
        QTest::mouseClick(widget<QAbstractButton>(m_view, "alertNowButton"), Qt::LeftButton);
        QMessageBox *box = sheet(m_view);
        QVERIFY(box);
        QCOMPARE(box->text(), QStringLiteral("AgentCannotStart"));
        QVERIFY(!QFileInfo::exists(m_home->filePath(QStringLiteral("Library/Logs/RuvelantAgent.log"))));
    }
};

QTEST_MAIN(PaneTest)
#include "tst_pane.moc"
