// The pane as a person uses it: the real interface file loaded from the built bundle, its
// widgets driven offscreen, the results read where other programs read them.
#include "ComKestramoLocaliztedTooltips.h"
#include "ComKestramoPreferenceQuorvelController.h"
#include "ComKestramoPreferenceQuorvelPref.h"
#include "bundle.h"
#include "datatable.h"
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
#include <QMetaEnum>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <functional>
#include <memory>
#include <sys/stat.h>

using PaneAction = std::function<void(QWidget *view)>;
Q_DECLARE_METATYPE(PaneAction)

namespace {
QString operator""_qs(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

const QString builtPane = buildPath("Ruvelant.prefPane"_qs);

template<typename Widget> Widget *widget(QWidget *view, const char *name)
{
    auto *found = view->findChild<Widget *>(QLatin1String(name));
    if (!found)
        qFatal("the pane has no %s", name);
    return found;
}

// The text of key in the pane's English strings table, read from the source.
QString englishText(const QString &key)
{
    return StringsTable::parse(readFile(RUVELANT_SOURCE_DIR "/resources/pane/en.lproj/Localizable.strings"_qs))
        .value(key);
}

// The preference domain as the file holds it.
QVariantMap storedDomain(const ThrowAwayHome &home)
{
    QVariant value;
    PropertyList::readFile(home.filePath("Library/Preferences/com.kestramo.ruvelant.plist"_qs), &value);
    return value.toMap();
}

// Edits of the pane: a click on a control; keys pressed on a control that has the focus; a text
// typed over the whole of an edit's text; the space bar on a row of the calendars table.
PaneAction click(const char *name)
{
    return [name](QWidget *view) { QTest::mouseClick(widget<QWidget>(view, name), Qt::LeftButton); };
}
PaneAction keys(const char *name, const QList<Qt::Key> &keys)
{
    return [name, keys](QWidget *view) {
        QWidget *control = widget<QWidget>(view, name);
        control->setFocus();
        for (Qt::Key key : keys)
            QTest::keyClick(control, key);
    };
}
template<typename Edit> PaneAction type(const char *name, const QString &text)
{
    return [name, text](QWidget *view) {
        widget<Edit>(view, name)->selectAll();
        QTest::keyClicks(widget<Edit>(view, name), text);
    };
}
void tickCalendar(QWidget *view, int row)
{
    auto *table = widget<QTableView>(view, "calendarsTable");
    table->setFocus();
    table->setCurrentIndex(table->model()->index(row, 0));
    QTest::keyClick(table->viewport(), Qt::Key_Space);
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
        const QString path = m_home->filePath("Bare.prefPane"_qs);
        m_home->writeFile("Bare.prefPane/Contents/Info.plist"_qs, readFile(builtPane + "/Contents/Info.plist"_qs));
        m_home->writeFile("Bare.prefPane/Contents/Resources/ComKestramoPreferenceQuorvelPref.ui"_qs,
                          readFile(builtPane + "/Contents/Resources/ComKestramoPreferenceQuorvelPref.ui"_qs));
        return path;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        // The calendars home and work; the "me" card with me@example.com and me@work.example.
        m_home->copyFixture("pane/home"_qs, ".local/share"_qs);
        // Stand-ins of the user's scheduler (systemctl, crontab) that keep their state in the home.
        m_home->copyFixture("launchctl/bin"_qs, "bin"_qs);
        for (const char *program : {"bin/systemctl", "bin/crontab"})
            QFile::setPermissions(m_home->filePath(QLatin1String(program)), QFile::ReadOwner | QFile::ExeOwner);
        m_home->setEnv("PATH", QFile::encodeName(m_home->filePath("bin"_qs)) + ':' + qgetenv("PATH"));
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
        QTest::addColumn<QStringList>("row"); // property | key | control
        for (const QStringList &row : tableRows("pane/tooltips.txt"))
            QTest::newRow(qPrintable(row.first())) << row;
    }
    void tooltips()
    {
        QFETCH(QStringList, row);
        const QByteArray property = row.at(0).toLatin1();
        const QString key = row.at(1);
        openPane();
        const QString text = englishText(key);
        QVERIFY(!text.isEmpty());
        auto *tooltips = m_pane->findChild<ComKestramoLocaliztedTooltips *>();
        QCOMPARE(tooltips->property(property).toString(), text);
        QWidget *tied = widget<QWidget>(m_view, qPrintable(row.at(2)));
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
            QCOMPARE(path, builtPane + "/Contents/Resources/Credits.rtfd"_qs);
            QVERIFY2(text.contains("KCalendarCore"_qs) && !text.contains(QLatin1Char('\\')), qPrintable(text));
        }
    }

    // Opening the pane registers its help book once and touches no file or schedule; the help
    // button opens the book's start page in the user's language.
    void help_data()
    {
        QTest::addColumn<QByteArray>("lang");
        QTest::addColumn<QString>("folder");
        QTest::newRow("English") << QByteArray("en_GB.UTF-8") << "en.lproj"_qs;
        QTest::newRow("French") << QByteArray("fr_FR.UTF-8") << "fr.lproj"_qs;
        QTest::newRow("German") << QByteArray("de_DE.UTF-8") << "de.lproj"_qs;
    }
    void help()
    {
        QFETCH(QByteArray, lang);
        QFETCH(QString, folder);
        m_home->setEnv("LANG", lang);
        RecordingViewer viewer(*m_home);
        const int registered = HelpBook::registrations().size();
        openPane();
        QCOMPARE(HelpBook::registrations().mid(registered), QStringList {"Ruvelant Help"_qs});
        QVERIFY(!QFileInfo::exists(m_home->filePath("Library/LaunchAgents"_qs)));
        QVERIFY(!QFileInfo::exists(m_home->filePath("Library/Logs"_qs)));

        QTest::mouseClick(widget<QAbstractButton>(m_view, "helpButton"), Qt::LeftButton);
        QTRY_COMPARE(viewer.opened(),
                     QStringList {builtPane + "/Contents/Resources/%1/help/index.html"_qs.arg(folder)});
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
        QTest::keyClicks(body, "See you"_qs);
        QTextCursor cursor = body->textCursor();
        cursor.setPosition(from);
        cursor.setPosition(from + length, QTextCursor::KeepAnchor);
        body->setTextCursor(cursor);
        QTest::mouseClick(widget<QAbstractButton>(m_view, button.constData()), Qt::LeftButton);
        QCOMPARE(body->toPlainText(), expected);
        QCOMPARE(storedDomain(*m_home).value("mailContent"_qs).toString(), expected);
    }

    // Every control edits its setting, and each edit is in the domain file at once.
    void editsAreStored_data()
    {
        QTest::addColumn<PaneAction>("edit");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("enable ticked") << click("enableCheckBox") << "quorvelEnabled" << QVariant(true);
        QTest::newRow("detailed log ticked") << click("verboseCheckBox") << "verboseLogging" << QVariant(true);
        QTest::newRow("days chosen") << keys("daysComboBox", {Qt::Key_Home, Qt::Key_Down}) << "daysBeforeEventStart"
                                     << QVariant("2"_qs);
        QTest::newRow("sender chosen") << keys("senderComboBox", {Qt::Key_End}) << "senderEmail"
                                       << QVariant("me@work.example"_qs);
        QTest::newRow("subject typed") << type<QLineEdit>("mailTitleEdit", "Soon: <<date>>"_qs) << "mailTitle"
                                       << QVariant("Soon: <<date>>"_qs);
        QTest::newRow("body typed") << type<QPlainTextEdit>("mailContentEdit", "Hi <<first>>"_qs) << "mailContent"
                                    << QVariant("Hi <<first>>"_qs);
        QTest::newRow("calendar ticked") << PaneAction([](QWidget *view) { tickCalendar(view, 1); })
                                         << "activeCalendars" << QVariant(QVariantList {"work"_qs});
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
            if (it.key() != key)
                QCOMPARE(after.value(it.key()), it.value());
        }
    }

    // A calendar folder added or renamed on disk shows up in the open pane.
    void calendarFolderChanges()
    {
        openPane();
        const QAbstractItemModel *calendars = widget<QTableView>(m_view, "calendarsTable")->model();
        QCOMPARE(calendars->rowCount(), 2);
        m_home->writeFile(".local/share/calendars/travel/displayname"_qs, "Travel\n");
        QTRY_COMPARE(calendars->rowCount(), 3);
        QCOMPARE(calendars->index(2, 1).data().toString(), "Travel"_qs);
        m_home->writeFile(".local/share/calendars/work/displayname"_qs, "Office\n");
        QTRY_COMPARE(calendars->index(1, 1).data().toString(), "Office"_qs);
    }

    // Show Log opens the agent's log in the user's viewer, or says on a sheet that there is none;
    // Send Reminders Now says on a sheet when the agent cannot be started. Neither makes a log.
    void buttonsAndSheets_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<bool>("logExists");
        QTest::addColumn<bool>("bare"); // no strings tables, no agent
        QTest::addColumn<QString>("title"); // of the sheet; null: none
        QTest::addColumn<QString>("message");
        const QByteArray showLog("showLogButton");
        QTest::newRow("no log") << showLog << false << false << englishText("LogFileNotAvailableYet"_qs)
                                << englishText("LogFileNotAvailableYetMessage"_qs);
        QTest::newRow("no log, no strings table") << showLog << false << true << "LogFileNotAvailableYet"
                                                  << "LogFileNotAvailableYetMessage";
        QTest::newRow("log present") << showLog << true << false << QString() << QString();
        QTest::newRow("send now without an agent")
            << QByteArray("alertNowButton") << false << true << "AgentCannotStart"
            << "AgentCannotStartMessage";
    }
    void buttonsAndSheets()
    {
        QFETCH(QByteArray, button);
        QFETCH(bool, logExists);
        QFETCH(bool, bare);
        QFETCH(QString, title);
        QFETCH(QString, message);
        RecordingViewer viewer(*m_home);
        const QString log = m_home->filePath("Library/Logs/RuvelantAgent.log"_qs);
        if (logExists)
            m_home->writeFile("Library/Logs/RuvelantAgent.log"_qs, "a record\n");
        openPane(bare ? barePane() : builtPane);
        QTest::mouseClick(widget<QAbstractButton>(m_view, button.constData()), Qt::LeftButton);
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
        QCOMPARE(box->buttons().first()->text(), "OK"_qs);
        QTest::qWait(500);
        QVERIFY(viewer.opened().isEmpty());
        QVERIFY(!QFileInfo::exists(log));
    }

    // Scheduling writes the launch-agent file of the fixture, byte for byte, and runs launchctl
    // with it: load at every enable, unload at every disable, whether or not a file is there.
    void scheduling_data()
    {
        QTest::addColumn<QStringList>("row"); // see tests/data/pane/scheduling.txt
        for (QStringList row : tableRows("pane/scheduling.txt"))
            QTest::newRow(qPrintable(row.first())) << row.replaceInStrings(QRegularExpression("^-$"_qs), QString());
    }
    void scheduling()
    {
        QFETCH(QStringList, row); // name | pane | written | values | calls | scheduled | logged
        const QString pane = row.at(1), writtenPane = row.at(2), logged = row.at(6);
        const QStringList calls = row.at(4).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        const bool scheduled = row.at(5) == QLatin1String("yes");
        m_home->copyFixture("pane/tools"_qs, "tools"_qs); // a launchctl that notes its calls
        QFile::setPermissions(m_home->filePath("tools/launchctl"_qs), QFile::ReadOwner | QFile::ExeOwner);
        m_home->setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(m_home->filePath("tools"_qs)));
        m_home->writeFile(pane + "/Contents/Info.plist"_qs, readFile(builtPane + "/Contents/Info.plist"_qs));
        if (writtenPane.isEmpty())
            m_home->writeFile("Library/LaunchAgents"_qs, "a file where the folder belongs");
        ComKestramoPreferenceQuorvelPref principal(m_home->filePath(pane));
        ComKestramoPreferenceQuorvelController controller;
        controller.setPreferencePane(&principal);
        const QString file = m_home->filePath("Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"_qs);
        QCOMPARE(controller.plistAgentFilePath(), file);

        QCheckBox box;
        box.setTristate(true);
        StandardErrorCapture errors;
        for (const QString &value : row.at(3).split(QLatin1Char(' '))) {
            box.setCheckState(Qt::CheckState(QMetaEnum::fromType<Qt::CheckState>().keyToValue(qPrintable(value))));
            controller.enableCheckPressed(&box);
        }
        const QString written = errors.release();

        const QString called = calls.join(QLatin1Char('\n')).replace("FILE"_qs, file);
        QCOMPARE(QString::fromUtf8(readFile(m_home->filePath("launchctl.log"_qs))),
                 called.isEmpty() ? called : called + QLatin1Char('\n'));
        QCOMPARE(QFileInfo::exists(file), scheduled);
        if (scheduled) {
            QByteArray expected = readFile(QFINDTESTDATA("../data/pane/com.kestramo.RuvelantAgent.plist"));
            expected.replace("@PANE@", m_home->filePath(writtenPane).toUtf8());
            QCOMPARE(readFile(file), expected);
            QVariant plist;
            QVERIFY(PropertyList::readFile(file, &plist));
            QCOMPARE(plist.toMap().value("ProgramArguments"_qs).toList(),
                     QVariantList {m_home->filePath(pane) + "/Contents/Resources/RuvelantAgent"_qs});
        }
        if (!logged.isEmpty()) {
            QVERIFY2(written.contains(QString(logged).replace("FILE"_qs, file) + QLatin1Char('\n')),
                     qPrintable(written));
        }
    }

    // Ticking the enable box stores the setting and has the user's scheduler run the bundle's
    // agent, also for a user whose files are group-writable by default; unticking removes both.
    // (Which scheduler launchctl uses is tst_launchctl's to check.)
    void enableCheckBoxSchedules()
    {
        const mode_t umask = ::umask(002);
        const auto restore = qScopeGuard([umask] { ::umask(umask); });
        openPane();
        auto *enable = widget<QCheckBox>(m_view, "enableCheckBox");
        const QString file = m_home->filePath("Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"_qs);
        const QString unit = m_home->filePath(".config/systemd/user/com.kestramo.RuvelantAgent"_qs);
        QTest::mouseClick(enable, Qt::LeftButton);
        QVERIFY(QFileInfo::exists(file));
        QCOMPARE(storedDomain(*m_home).value("quorvelEnabled"_qs), QVariant(true));
        QCOMPARE(readFile(m_home->filePath("timers"_qs)), QByteArray("com.kestramo.RuvelantAgent.timer\n"));
        QVERIFY(QFileInfo::exists(unit + ".timer"_qs));
        const QByteArray agent = QFile::encodeName(builtPane) + "/Contents/Resources/RuvelantAgent";
        QVERIFY(readFile(unit + ".service"_qs).contains("\nExecStart=\"" + agent + "\"\n"));

        QTest::mouseClick(enable, Qt::LeftButton);
        QVERIFY(!QFileInfo::exists(file));
        QVERIFY(!QFileInfo::exists(unit + ".timer"_qs));
        QCOMPARE(readFile(m_home->filePath("timers"_qs)), QByteArray());
        QCOMPARE(storedDomain(*m_home).value("quorvelEnabled"_qs), QVariant(false));
    }

    // The pane names the mail system that reminders go to, found as the agent finds it, or says
    // there is none and links to the help page on setting one up.
    void mailStatus_data()
    {
        QTest::addColumn<QByteArray>("sendmail"); // "link": to msmtp; "script"; empty: none
        QTest::addColumn<QString>("shown");
        QTest::newRow("no sendmail") << QByteArray() << englishText("MailStatusMissing"_qs);
        QTest::newRow("a link to msmtp") << QByteArray("link") << "Mail: reminders are handed to msmtp ("_qs;
        QTest::newRow("a plain script") << QByteArray("script") << "Mail: reminders are handed to the script "_qs;
    }
    void mailStatus()
    {
        QFETCH(QByteArray, sendmail);
        QFETCH(QString, shown);
        RecordingViewer viewer(*m_home);
        const QString bin = m_home->filePath("mailbin"_qs);
        QDir().mkpath(bin);
        m_home->setEnv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");
        MailApplication::setFallbackSendmailPaths({m_home->filePath("no-sendmail"_qs)});
        if (sendmail == "link") {
            QVERIFY(QFile::link("/usr/bin/msmtp"_qs, bin + "/sendmail"_qs));
        } else if (sendmail == "script") {
            m_home->writeFile("mailbin/sendmail"_qs, "#!/bin/sh\nexit 0\n");
            QFile::setPermissions(bin + "/sendmail"_qs, QFile::ReadOwner | QFile::ExeOwner);
        }
        openPane();
        MailApplication::setFallbackSendmailPaths({});
        auto *status = widget<QLabel>(m_view, "mailStatusLabel");
        QVERIFY2(status->text().startsWith(shown.toHtmlEscaped()), qPrintable(status->text()));
        if (sendmail.isEmpty()) {
            Q_EMIT status->linkActivated("mail.html"_qs);
            QTRY_COMPARE(viewer.opened(), QStringList {builtPane + "/Contents/Resources/en.lproj/help/mail.html"_qs});
        } else {
            QVERIFY(status->text().contains(bin + "/sendmail"_qs));
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
        storePreferences({{"mailTitle"_qs, "Check <<date>>"_qs}, {"mailContent"_qs, "Hi <<first>>, at <<time>>."_qs}});
        const QByteArray calendar("BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n");
        m_home->writeFile(".local/share/calendars/home/event.ics"_qs, calendar);
        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        if (!serverUp)
            sink.stop();
        openPane();
        const QString settings = m_home->filePath("Library/Preferences/com.kestramo.ruvelant.plist"_qs);
        const QByteArray settingsBefore = readFile(settings);
        auto *button = widget<QPushButton>(m_view, "testReminderButton");
        auto *result = widget<QLabel>(m_view, "testReminderResultLabel");
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(!button->isEnabled()); // sending beside the window
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 30000);
        if (serverUp) {
            QCOMPARE(result->text(), englishText("TestReminderTaken"_qs).arg("me@example.com"_qs));
            QTRY_COMPARE(sink.messages().size(), 1);
            const KMime::Message::Ptr message = sink.messages().first();
            QCOMPARE(message->to()->asUnicodeString(), "me@example.com"_qs);
            QCOMPARE(message->from()->asUnicodeString(), "me@example.com"_qs);
            const QString subject = message->subject()->asUnicodeString();
            QVERIFY2(subject.startsWith("Check "_qs) && !subject.contains(QLatin1Char('<')), qPrintable(subject));
            const QString body = QString::fromUtf8(message->decodedContent());
            QVERIFY2(body.startsWith("Hi Me, at 10:00"_qs), qPrintable(body));
        } else {
            QVERIFY2(result->text().startsWith("The test reminder to me@example.com could not be sent: "_qs)
                         && result->text().contains("exited with status"_qs),
                     qPrintable(result->text()));
            QVERIFY(sink.messages().isEmpty());
        }
        QCOMPARE(readFile(settings), settingsBefore);
        QCOMPARE(readFile(m_home->filePath(".local/share/calendars/home/event.ics"_qs)), calendar);
    }

    // The Sent tab lists what the agent's log tells, and follows the log as runs add to it.
    void sentTabFollowsTheLog()
    {
        openPane();
        const QAbstractItemModel *sent = widget<QTableView>(m_view, "sentTable")->model();
        QCOMPARE(sent->rowCount(), 0);
        const QDateTime now = QDateTime::currentDateTime();
        const QByteArray stamp = QLocale::c().toString(now, "MMM dd HH:mm:ss"_qs).toLatin1();
        m_home->writeFile("Library/Logs/RuvelantAgent.log"_qs,
                          stamp + " host RuvelantAgent[7] <Info>:  Dentist  ->ann@example.org\n" + stamp
                              + " host RuvelantAgent[7] <Info>: terminated\n");
        QTRY_COMPARE(sent->rowCount(), 1);
        QCOMPARE(sent->index(0, 1).data().toString(), "Dentist"_qs);
        QCOMPARE(sent->index(0, 2).data().toString(), "ann@example.org"_qs);
        QCOMPARE(sent->index(0, 3).data().toString(), englishText("SentOutcomeSent"_qs));
    }

    // The Upcoming tab lists who gets which reminder, follows the settings as they are edited,
    // and shows the chosen reminder as it will be sent.
    void upcomingTabFollowsTheSettings()
    {
        const QByteArray day = QDateTime::currentDateTime().addDays(4).toString("yyyyMMdd"_qs).toLatin1();
        // Review in four days at 10:00 with Ann (listed twice), in the calendar work.
        m_home->copyFixture("pane/review"_qs, ".local/share/calendars/work"_qs, {{"@DAY@", day}});
        openPane();
        auto *upcoming = widget<QTableView>(m_view, "upcomingTable");
        const QAbstractItemModel *rows = upcoming->model();
        QTRY_COMPARE(rows->rowCount(), 1);
        const QString notTicked = englishText("PreviewCalendarNotEnabled"_qs);
        QCOMPARE(rows->index(0, 5).data().toString(), notTicked);
        upcoming->selectRow(0); // a line without a reminder shows the whole of why not
        QCOMPARE(widget<QPlainTextEdit>(m_view, "upcomingMessage")->toPlainText(), notTicked);

        tickCalendar(m_view, 1);
        QTRY_VERIFY(rows->index(0, 5).data().toString().startsWith("Reminder: your appointment on "_qs));
        QCOMPARE(rows->index(0, 4).data().toString(), "Ann <ann@example.org>"_qs);
        QCOMPARE(rows->index(1, 5).data().toString(), englishText("PreviewListedTwice"_qs));

        upcoming->selectRow(0);
        const QString message = widget<QPlainTextEdit>(m_view, "upcomingMessage")->toPlainText();
        QVERIFY2(
            message.startsWith("To: ann@example.org\nFrom: Default sender of the mail system\nSubject: Reminder: "_qs)
                && message.contains("\n\nHello "_qs) && !message.contains("<<"_qs),
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
        const QStringList records = logRecords(m_home->filePath("Library/Logs/RuvelantAgent.log"_qs));
        QCOMPARE(records.filter("started -v."_qs).size(), 1);
        QVERIFY(records.last().endsWith("terminated"_qs));
        QVERIFY(records.filter("exiting, disabled in system preferences"_qs).size() == 1);
    }
};

QTEST_MAIN(PaneTest)
#include "tst_pane.moc"
