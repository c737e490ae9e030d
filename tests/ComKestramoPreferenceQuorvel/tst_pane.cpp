// The pane as a person uses it: the real interface file loaded from the built bundle, its
// widgets driven offscreen, the results read where other programs read them.
#include "ComKestramoLocaliztedTooltips.h"
#include "ComKestramoPreferenceQuorvelController.h"
#include "ComKestramoPreferenceQuorvelPref.h"
#include "agentruns.h"
#include "application.h"
#include "bundle.h"
#include "datatable.h"
#include "helpbook.h"
#include "mailaccountstore.h"
#include "mailapplication.h"
#include "preferenceservice.h"
#include "propertylist.h"
#include "recordingviewer.h"
#include "sendjournal.h"
#include "sentreminders.h"
#include "smtpsink.h"
#include "standarderrorcapture.h"
#include "storedpreferences.h"
#include "stringstable.h"
#include "throwawayhome.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMetaEnum>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

#include <functional>
#include <memory>
#include <sys/stat.h>

using PaneAction = std::function<void(QWidget *view)>;
Q_DECLARE_METATYPE(PaneAction)
using PaneReading = std::function<QVariant(QWidget *view)>;
Q_DECLARE_METATYPE(PaneReading)

namespace {
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

// Input as the window system hands it over: queued, and taken in when the event loop runs (a
// loop that holds user input back holds these back too). A click at pos of target, and text
// typed on the keyboard, with Shift where the character needs it.
void clickLater(QWidget *target, const QPoint &pos)
{
    QWindow *window = target->window()->windowHandle();
    const QPointF local = target->mapTo(target->window(), pos);
    const QPointF global = target->mapToGlobal(pos);
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window, local, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window, local, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
}
void typeLater(QWindow *window, const QString &text)
{
    for (const QChar c : text) {
        static const QHash<QChar, int> shifted {{QLatin1Char('!'), Qt::Key_Exclam},
                                                {QLatin1Char('?'), Qt::Key_Question}};
        const bool shift = c.isUpper() || shifted.contains(c);
        const int key = shifted.value(c, c.isLetter() ? Qt::Key_A + (c.toLower().unicode() - 'a') : Qt::Key_Space);
        for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
            QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
                window, type, key, shift ? Qt::ShiftModifier : Qt::NoModifier, QString(c));
        }
    }
}

// The control that has the keyboard, by its name in the interface file (a tab bar by its tabs').
QString focusName()
{
    const QWidget *focus = QApplication::focusWidget();
    if (focus && focus->objectName().startsWith(QLatin1String("qt_")) && focus->parentWidget())
        focus = focus->parentWidget();
    return focus ? focus->objectName() : QString();
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
        m_view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_view));
    }

    // The launch-agent file that ticking the box writes, loaded through the stand-ins of the
    // user's scheduler: "systemd", "cron" (a user manager that does not answer), or "neither"
    // (no crontab either: nothing is loaded).
    void schedule(const QString &scheduler, bool load)
    {
        if (scheduler != "systemd"_qs)
            m_home->writeFile("no-user-manager"_qs, {});
        if (scheduler == "neither"_qs)
            QFile::remove(m_home->schedulerFolder() + "/crontab"_qs);
        if (scheduler == "cron, its service stopped"_qs)
            m_home->writeFile("cron-stopped"_qs, {});
        if (!load)
            return;
        const QString file = m_home->filePath("Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"_qs);
        m_home->writeFile("Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"_qs,
                          readFile(QFINDTESTDATA("../data/pane/com.kestramo.RuvelantAgent.plist"))
                              .replace("@PANE@", QFile::encodeName(builtPane)));
        QCOMPARE(QProcess::execute(buildPath("bin/launchctl"_qs), {"load"_qs, "-w"_qs, file}), 0);
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
        storePreferences(); // switched on: every control offers its own tooltip
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
        QTest::newRow("date at the cursor") << QByteArray("insertDateButton") << 4 << 0 << "See <<date>> xyou";
        QTest::newRow("time at the end") << QByteArray("insertTimeButton") << 7 << 0 << "See you<<time>> x";
        QTest::newRow("first name over a selection")
            << QByteArray("insertFirstNameButton") << 4 << 3 << "See <<first>> x";
        QTest::newRow("last name at the start") << QByteArray("insertLastNameButton") << 0 << 0 << "<<last>> xSee you";
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
        // The message keeps the keyboard: what is typed next goes on after the placeholder.
        QCOMPARE(QApplication::focusWidget(), body);
        QTest::keyClicks(QApplication::focusWidget(), " x"_qs);
        QCOMPARE(body->toPlainText(), expected);
        QCOMPARE(storedDomain().value("mailContent"_qs).toString(), expected);
    }

    // An empty subject or message shows, greyed, the built-in text that goes out instead.
    void emptyTemplatesShowWhatGoesOut()
    {
        openPane();
        QCOMPARE(widget<QLineEdit>(m_view, "mailTitleEdit")->placeholderText(), "Appointement reminder (<<date>>)"_qs);
        QCOMPARE(
            widget<QPlainTextEdit>(m_view, "mailContentEdit")->placeholderText(),
            "Hello,\nthis email is a reminder,\nremember your appointement on <<date>> at <<time>>\n\nbest regards"_qs);
    }

    // Every control edits its setting, and each edit is in the domain file at once.
    void editsAreStored_data()
    {
        QTest::addColumn<PaneAction>("edit");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("enable ticked") << click("enableCheckBox") << "quorvelEnabled" << QVariant(true);
        QTest::newRow("detailed log ticked") << click("verboseCheckBox") << "verboseLogging" << QVariant(true);
        QTest::newRow("missed reminders unticked")
            << click("missedRemindersCheckBox") << "sendMissedReminders" << QVariant(false);
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
        const QVariantMap before = storedDomain();
        QCOMPARE(before.size(), 8); // the defaults, written when the pane opened
        QVERIFY(before.value(key) != expected);
        edit(m_view);
        const QVariantMap after = storedDomain();
        QCOMPARE(after.value(key), expected);
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (it.key() != key)
                QCOMPARE(after.value(it.key()), it.value());
        }
    }

    // A setting that another program stores while the pane is open shows in the window, and an
    // edit of another control right after it (before the window could show it) keeps it.
    void settingsStoredElsewhere_data()
    {
        QTest::addColumn<QStringList>("written"); // defaults write DOMAIN ...
        QTest::addColumn<bool>("clickAtOnce");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<PaneReading>("shown");
        QTest::addColumn<QVariant>("expected");
        const PaneReading title
            = [](QWidget *view) { return QVariant(widget<QLineEdit>(view, "mailTitleEdit")->text()); };
        const PaneReading days
            = [](QWidget *view) { return QVariant(widget<QComboBox>(view, "daysComboBox")->currentText()); };
        const PaneReading work = [](QWidget *view) {
            return widget<QTableView>(view, "calendarsTable")->model()->index(1, 0).data(Qt::CheckStateRole);
        };
        const PaneReading enabled
            = [](QWidget *view) { return QVariant(widget<QCheckBox>(view, "enableCheckBox")->isChecked()); };
        const QStringList subject {"mailTitle"_qs, "-string"_qs, "Changed elsewhere"_qs};
        QTest::newRow("subject, shown") << subject << false << "mailTitle"_qs << QVariant("Changed elsewhere"_qs)
                                        << title << QVariant("Changed elsewhere"_qs);
        QTest::newRow("days, box clicked at once")
            << QStringList {"daysBeforeEventStart"_qs, "-string"_qs, "6"_qs} << true << "daysBeforeEventStart"_qs
            << QVariant("6"_qs) << days << QVariant("6"_qs);
        QTest::newRow("calendars, shown")
            << QStringList {"activeCalendars"_qs, "-array"_qs, "work"_qs} << false << "activeCalendars"_qs
            << QVariant(QVariantList {"work"_qs}) << work << QVariant(int(Qt::Checked));
        QTest::newRow("switched off by the uninstaller, box clicked at once")
            << QStringList {"quorvelEnabled"_qs, "0"_qs} << true << "quorvelEnabled"_qs << QVariant("0"_qs) << enabled
            << QVariant(false);
    }
    void settingsStoredElsewhere()
    {
        QFETCH(QStringList, written);
        QFETCH(bool, clickAtOnce);
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(PaneReading, shown);
        QFETCH(QVariant, expected);
        storePreferences({{"verboseLogging"_qs, false}});
        openPane();
        QCOMPARE(QProcess::execute(buildPath("bin/defaults"_qs),
                                   QStringList {"write"_qs, "com.kestramo.ruvelant"_qs} + written),
                 0);
        if (clickAtOnce)
            QTest::mouseClick(widget<QCheckBox>(m_view, "verboseCheckBox"), Qt::LeftButton);
        QTRY_COMPARE(shown(m_view), expected);
        const QVariantMap domain = storedDomain();
        QCOMPARE(domain.value(key), stored);
        QCOMPARE(domain.value("verboseLogging"_qs), QVariant(clickAtOnce));
    }

    // The subject and message fields take what a reminder's setting can hold: characters that
    // its file cannot hold are left out, a text longer than a setting holds is not taken, and
    // a line under the message says so.
    void templateFieldsTakeWhatCanBeStored_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("notice"); // empty: hidden
        const QString escape = QStringLiteral("Hi \x1b[1m<<first>>\x01");
        QTest::newRow("subject with control characters")
            << QByteArray("mailTitleEdit") << escape << "Hi [1m<<first>>"_qs
            << "Left out U+001B, U+0001:";
        QTest::newRow("message with U+FFFE and a lone surrogate")
            << QByteArray("mailContentEdit") << QStringLiteral("a") + QChar(0xFFFE) + QChar(0xD800) + "b"_qs
            << "ab"_qs
            << "Left out U+FFFE, U+D800:";
        QTest::newRow("message longer than a setting holds")
            << QByteArray("mailContentEdit") << QString(PreferenceService::maxTextSize + 1, QLatin1Char('x'))
            << "Before"_qs
            << "Not taken: a subject or message holds at most 64 KiB.";
        QTest::newRow("message with tabs and line breaks") << QByteArray("mailContentEdit") << "a\tb\nc"_qs
                                                           << "a\tb\nc"_qs << QString();
    }
    void templateFieldsTakeWhatCanBeStored()
    {
        QFETCH(QByteArray, field);
        QFETCH(QString, pasted);
        QFETCH(QString, kept);
        QFETCH(QString, notice);
        storePreferences({{"mailTitle"_qs, "Before"_qs}, {"mailContent"_qs, "Before"_qs}});
        openPane();
        QWidget *edit = widget<QWidget>(m_view, field.constData());
        // As a paste puts it in: over the whole text.
        if (auto *line = qobject_cast<QLineEdit *>(edit)) {
            line->selectAll();
            line->insert(pasted);
            QCOMPARE(line->text(), kept);
        } else {
            auto *text = qobject_cast<QPlainTextEdit *>(edit);
            text->selectAll();
            text->insertPlainText(pasted);
            QCOMPARE(text->toPlainText(), kept);
        }
        auto *label = widget<QLabel>(m_view, "templateNoticeLabel");
        QCOMPARE(label->isVisible(), !notice.isEmpty());
        QVERIFY2(label->text().startsWith(notice), qPrintable(label->text()));
        QCOMPARE(storedDomain().value(field == "mailTitleEdit" ? "mailTitle"_qs : "mailContent"_qs), QVariant(kept));
        QCOMPARE(strictReaderRefusal(), QString());
    }

    // Settings that cannot be read are shown as such above the tabs, and nothing done in the
    // window is written over them; once the file is gone, the line goes.
    void unreadableSettings()
    {
        const QByteArray junk("<plist><dict><key>quorvelEnabled</key><true/>");
        m_home->writeFile("Library/Preferences/com.kestramo.ruvelant.plist"_qs, junk);
        openPane();
        auto *label = widget<QLabel>(m_view, "settingsProblemLabel");
        QVERIFY(label->isVisible());
        QVERIFY2(label->text().startsWith("Your settings cannot be read, so nothing you change here is saved: "
                                          "Cannot read the preferences "_qs
                                          + m_home->preferencesPath()),
                 qPrintable(label->text()));
        QTest::mouseClick(widget<QCheckBox>(m_view, "verboseCheckBox"), Qt::LeftButton);
        QVERIFY(readFile(m_home->preferencesPath() + "/com.kestramo.ruvelant.plist"_qs) == junk);
        QVERIFY(QFile::remove(m_home->preferencesPath() + "/com.kestramo.ruvelant.plist"_qs));
        QTRY_VERIFY(!label->isVisible());
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
        storePreferences(); // switched on, so that a run may be started
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

    // Where no browser or viewer is set up, what could not be opened is said on a sheet: which
    // file, why (with xdg-open's own words), and its path to select or copy.
    void openingFails_data()
    {
        QTest::addColumn<PaneAction>("open");
        QTest::addColumn<QString>("target"); // below the pane ("PANE/") or the home ("HOME/")
        QTest::newRow("help with F1") << PaneAction([](QWidget *view) {
            view->setFocus();
            QTest::keyClick(view, Qt::Key_F1);
        }) << "PANE/Contents/Resources/en.lproj/help/index.html";
        QTest::newRow("Show Log") << click("showLogButton") << "HOME/Library/Logs/RuvelantAgent.log";
        QTest::newRow("Open Calendars Folder") << click("openCalendarsFolderButton") << "HOME/.local/share/calendars";
        QTest::newRow("the help link beside the calendars") << PaneAction([](QWidget *view) {
            Q_EMIT widget<QLabel>(view, "calendarsEmptyLabel")->linkActivated("calendars.html"_qs);
        }) << "PANE/Contents/Resources/en.lproj/help/calendars.html";
    }
    void openingFails()
    {
        QFETCH(PaneAction, open);
        QFETCH(QString, target);
        target.replace("PANE"_qs, builtPane).replace("HOME"_qs, m_home->path());
        RecordingViewer viewer(*m_home); // a viewer is set up, but xdg-open cannot reach it
        m_home->writeProgram("bin/xdg-open"_qs,
                             "#!/bin/sh\necho \"xdg-open: no method available for opening '$1'\" >&2\nexit 3\n");
        m_home->setEnv("PATH", QFile::encodeName(m_home->filePath("bin"_qs)) + ':' + qgetenv("PATH"));
        m_home->writeFile("Library/Logs/RuvelantAgent.log"_qs, "a record\n");
        QDir(m_home->calendarsPath()).removeRecursively();
        openPane();
        open(m_view);
        QDialog *shown = nullptr;
        QTRY_VERIFY((shown = m_view->window()->findChild<QDialog *>("pathAlertSheet"_qs)));
        QVERIFY(shown->isVisible());
        QCOMPARE(shown->windowTitle(), englishText("OpenFailed"_qs).arg(QFileInfo(target).fileName()));
        const QString message = widget<QLabel>(shown, "messageLabel")->text();
        QVERIFY2(message.startsWith(englishText("OpenFailedNoProgram"_qs))
                     && message.endsWith("no method available for opening '%1'"_qs.arg(target)),
                 qPrintable(message));
        auto *path = widget<QLineEdit>(shown, "pathEdit");
        QCOMPARE(path->text(), target);
        QVERIFY(path->isReadOnly());
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(widget<QPushButton>(shown, "copyButton"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), target);
        QTest::keyClick(shown, Qt::Key_Return);
        QTRY_VERIFY(!m_view->window()->findChild<QDialog *>("pathAlertSheet"_qs));
        QVERIFY(viewer.opened().isEmpty());
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
        QCOMPARE(storedDomain().value("quorvelEnabled"_qs), QVariant(true));
        QCOMPARE(readFile(m_home->filePath("timers"_qs)), QByteArray("com.kestramo.RuvelantAgent.timer\n"));
        QVERIFY(QFileInfo::exists(unit + ".timer"_qs));
        const QByteArray agent = QFile::encodeName(builtPane) + "/Contents/Resources/RuvelantAgent";
        QVERIFY(readFile(unit + ".service"_qs).contains("\nExecStart=\"" + agent + "\"\n"));

        QTest::mouseClick(enable, Qt::LeftButton);
        QVERIFY(!QFileInfo::exists(file));
        QVERIFY(!QFileInfo::exists(unit + ".timer"_qs));
        QCOMPARE(readFile(m_home->filePath("timers"_qs)), QByteArray());
        QCOMPARE(storedDomain().value("quorvelEnabled"_qs), QVariant(false));
    }

    // The pane names the account that sends the reminders for the sender, or the mail system that
    // they go to, found as the agent finds them; or says what is missing beside the button that
    // adds an account, and links to the help page on sending.
    void mailStatus_data()
    {
        QTest::addColumn<QByteArray>("sendmail"); // "link": to msmtp; "script"; empty: none
        QTest::addColumn<QString>("account"); // the address of a mail account of Ruvelant's; empty: none
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("offered"); // the button that adds an account is there
        const QString sent = "Sends from %1 through smtp.example.org."_qs;
        row("no sendmail", QByteArray(), "", "", englishText("MailStatusMissing"_qs), true);
        row("a link to msmtp", QByteArray("link"), "", "", "Mail: reminders are handed to msmtp ("_qs, false);
        row("a plain script", QByteArray("script"), "", "", "Mail: reminders are handed to the script "_qs, false);
        row("an account, no sender chosen", QByteArray("link"), "ann@example.org", "", sent.arg("ann@example.org"_qs),
            false);
        row("the sender's account, written otherwise", QByteArray(), "Ann@Example.org", "ann@example.org",
            sent.arg("Ann@Example.org"_qs), false);
        row("no account for the sender, no sendmail", QByteArray(), "ann@example.org", "me@example.com",
            englishText("MailStatusNoAccountForSender"_qs).arg("me@example.com"_qs), true);
        row("no account for the sender, sendmail", QByteArray("script"), "ann@example.org", "me@example.com",
            "Mail: reminders are handed to the script "_qs, true);
    }
    void mailStatus()
    {
        QFETCH(QByteArray, sendmail);
        QFETCH(QString, account);
        QFETCH(QString, sender);
        QFETCH(QString, shown);
        QFETCH(bool, offered);
        storePreferences({{"senderEmail"_qs, sender.isEmpty() ? " "_qs : sender}});
        if (!account.isEmpty()) {
            MailAccount stored;
            stored.id = "smtp-ann"_qs;
            stored.address = account;
            stored.host = "smtp.example.org"_qs;
            stored.port = 587;
            stored.userName = account;
            QVERIFY(MailAccountStore::save({stored}, nullptr));
        }
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
        auto *status = widget<QLabel>(m_view, "mailStatusLabel");
        QTRY_VERIFY2(status->text().startsWith(shown.toHtmlEscaped()), qPrintable(status->text()));
        MailApplication::setFallbackSendmailPaths({});
        QCOMPARE(widget<QPushButton>(m_view, "mailStatusAddButton")->isVisible(), offered);
        if (!account.isEmpty()) {
            QVERIFY2(!shown.startsWith("Mail:"_qs)
                         || status->text().contains(englishText("MailStatusSenderWithoutAccount"_qs).arg(sender)),
                     qPrintable(status->text()));
            return;
        }
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

    // The Sent tab lists what the agent's log tells, and follows the log as runs add to it. A
    // reminder that failed stands out (icon, colour) and says why in plain words; the log's own
    // line is its tooltip, and the whole of it shows below the table.
    void sentTabFollowsTheLog()
    {
        openPane();
        const QAbstractItemModel *sent = widget<QTableView>(m_view, "sentTable")->model();
        QCOMPARE(sent->rowCount(), 0);
        QCOMPARE(widget<QLabel>(m_view, "sentHintLabel")->text(), englishText("SentEmpty"_qs));
        const QByteArray stamp = QLocale::c().toString(QDateTime::currentDateTime(), "MMM dd HH:mm:ss"_qs).toLatin1();
        const QByteArray record = stamp + " host RuvelantAgent[7] <";
        m_home->writeFile(
            "Library/Logs/RuvelantAgent.log"_qs,
            record + "Info>:  Dentist  ->ann@example.org\n" + record + "Info>:  Board  ->bob@example.org\n" + record
                + "Error>: Cannot create Scripting Bridge to Mail.app\n" + record + "Info>: terminated\n");
        QTRY_COMPARE(sent->rowCount(), 2);
        QCOMPARE(sent->index(1, 1).data().toString(), "Dentist"_qs);
        QCOMPARE(sent->index(1, 2).data().toString(), "ann@example.org"_qs);
        QCOMPARE(sent->index(1, 3).data().toString(), englishText("SentOutcomeSent"_qs));
        QCOMPARE(sent->index(0, 3).data().toString(),
                 "Not sent: No mail account and no mail system (sendmail) was found"_qs);
        QCOMPARE(sent->index(0, 3).data(Qt::ToolTipRole).toString(), "Cannot create Scripting Bridge to Mail.app"_qs);
        QVERIFY(sent->index(0, 1).data(Qt::ForegroundRole) != sent->index(1, 1).data(Qt::ForegroundRole));
        QVERIFY(sent->index(0, 3).data(Qt::DecorationRole).value<QIcon>().cacheKey()
                != sent->index(1, 3).data(Qt::DecorationRole).value<QIcon>().cacheKey());
        // Below the table, the reason in plain words; the agent's own line stays in the tooltip.
        auto *detail = widget<QLabel>(m_view, "sentDetailLabel");
        QCOMPARE(detail->text(), "Not sent: No mail account and no mail system (sendmail) was found"_qs);
        QCOMPARE(detail->toolTip(), "Cannot create Scripting Bridge to Mail.app"_qs);
    }

    // The Upcoming table's columns share its width by their text: all whole where the window is
    // wide enough; in a narrow one, day and time stay whole and only the widest are cut.
    void upcomingColumnsShareTheWidth_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("allWhole");
        QTest::newRow("wide enough: every column whole") << 2000 << true;
        QTest::newRow("narrow: the widest columns cut") << 800 << false;
    }
    void upcomingColumnsShareTheWidth()
    {
        QFETCH(int, width);
        QFETCH(bool, allWhole);
        // A long title and a long attendee in the middle columns, a short subject at the end.
        const QByteArray day = QDateTime::currentDateTime().addDays(4).toString("yyyyMMdd"_qs).toLatin1();
        m_home->writeFile(".local/share/calendars/work/long.ics"_qs,
                          "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:long\r\nDTSTART:" + day
                              + "T100000\r\nDURATION:PT1H\r\nSUMMARY:Quarterly review of the regional "
                                "accounts with the auditors\r\nATTENDEE;CN=Maximiliane Bergström-Oyelaran:mailto:"
                                "maximiliane.bergstroem-oyelaran@accounts.example.org\r\nEND:VEVENT\r\nEND:"
                                "VCALENDAR\r\n");
        m_home->writeFile(".local/share/contacts/default/max.vcf"_qs,
                          "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:max\r\nFN:Maximiliane Bergström-Oyelaran\r\nN:"
                          "Bergström-Oyelaran;Maximiliane;;;\r\nEMAIL:maximiliane.bergstroem-oyelaran@accounts."
                          "example.org\r\nEND:VCARD\r\n");
        storePreferences({{"activeCalendars"_qs, QStringList {"work"_qs}}, {"mailTitle"_qs, "Hi"_qs}});
        openPane();
        auto *upcoming = widget<QTableView>(m_view, "upcomingTable");
        widget<QTabWidget>(m_view, "tabs")->setCurrentWidget(widget<QWidget>(m_view, "upcomingTab"));
        m_view->window()->resize(width, 600);
        QTRY_VERIFY(upcoming->model()->rowCount() > 0);
        QTest::qWait(100);
        const QHeaderView *header = upcoming->horizontalHeader();
        const int columns = upcoming->model()->columnCount();
        QList<int> cut;
        QList<int> roomy; // wider than their text
        for (int column = 0; column < columns; ++column) {
            const int wanted = qMax(static_cast<QAbstractItemView *>(upcoming)->sizeHintForColumn(column),
                                    header->sectionSizeHint(column));
            if (header->sectionSize(column) < wanted)
                cut.append(column);
            else if (header->sectionSize(column) > wanted + columns) // more than rounding leaves over
                roomy.append(column);
        }
        QCOMPARE(cut.isEmpty(), allWhole);
        QVERIFY(!cut.contains(0) && !cut.contains(1)); // day and time
        // No column has room to spare while another is cut.
        QVERIFY(cut.isEmpty() || roomy.isEmpty());
    }

    // "Send Again" (the Sent tab's button, and its table's context menu) is offered for a reminder
    // that was sent, of an event still to come in a ticked calendar; else its tooltip says why not.
    // Pressed, it takes the marker out of the event and asks the next run for its reminders.
    void sendAgainOnTheSentTab()
    {
        const QDate day = QDate::currentDate().addDays(4);
        m_home->copyFixture("pane/review"_qs, ".local/share/calendars/work"_qs,
                            {{"@DAY@", day.toString("yyyyMMdd"_qs).toLatin1()}});
        const QString file = m_home->calendarsPath() + "/work/review.ics"_qs;
        m_home->writeFile(".local/share/calendars/work/review.ics"_qs,
                          readFile(file).replace("SUMMARY:Review", "SUMMARY:Review\nDESCRIPTION:Agenda (*)"));
        storePreferences({{"activeCalendars"_qs, QStringList {"work"_qs}}});
        const SendJournal::Occurrence review {"work"_qs, "review"_qs, QDateTime(day, QTime(10, 0))};
        const QByteArray record = QLocale::c().toString(QDateTime::currentDateTime(), "MMM dd HH:mm:ss"_qs).toLatin1()
            + " host RuvelantAgent[7] <Info>: ";
        const QByteArray named = record + SentReminders::occurrenceRecord("Review"_qs, review).toUtf8() + '\n';
        m_home->writeFile(
            "Library/Logs/RuvelantAgent.log"_qs,
            named + record + " Review  ->eve@example.org\n" + QByteArray(record).replace("Info", "Error")
                + "Failed to hand over the reminder to 'eve@example.org': sendmail exited with status 1\n" + record
                + SentReminders::occurrenceRecord("Gone"_qs, {"work"_qs, "gone"_qs, review.start}).toUtf8() + '\n'
                + record + " Gone  ->bob@example.org\n" + named + record + " Review  ->ann@example.org\n" + record
                + "terminated\n");
        openPane();
        auto *table = widget<QTableView>(m_view, "sentTable");
        auto *button = widget<QPushButton>(m_view, "sendAgainButton");
        QCOMPARE(table->contextMenuPolicy(), Qt::ActionsContextMenu);
        QAction *action = table->actions().value(0);
        QVERIFY(action && action->text() == button->text());
        widget<QTabWidget>(m_view, "tabs")->setCurrentWidget(widget<QWidget>(m_view, "sentTab"));
        QTRY_COMPARE(table->model()->rowCount(), 3); // newest first: to Ann, Gone, the one that failed
        const char *const why[] = {"SendAgainTooltip", "SendAgainGone", "SendAgainNotSent"};
        for (int row = 2; row >= 0; --row) {
            table->selectRow(row);
            QCOMPARE(button->isEnabled(), row == 0);
            QCOMPARE(action->isEnabled(), row == 0);
            QCOMPARE(button->toolTip(), englishText(QLatin1String(why[row])));
        }
        QTest::keyClick(m_view, Qt::Key_A, Qt::AltModifier); // its access key
        QTRY_COMPARE(widget<QLabel>(m_view, "sendAgainResultLabel")->text(),
                     englishText("SendAgainDone"_qs).arg("Review"_qs));
        QVERIFY(readFile(file).contains("DESCRIPTION:Agenda\n"));
        SendJournal journal;
        QString error;
        QVERIFY(journal.read(QDateTime::currentDateTime(), &error));
        QCOMPARE(journal.requested().size(), 1);
        QCOMPARE(journal.requested().first().event, "review"_qs);
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
        auto *status = widget<QLabel>(m_view, "upcomingStatusLabel");
        const QAbstractItemModel *rows = upcoming->model();
        QTRY_COMPARE(rows->rowCount(), 1);
        // Reminders are off: what would go out if they were on, counted in words.
        QTRY_COMPARE(status->text(), englishText("PreviewSummaryOff"_qs).arg("0 reminders"_qs, "4 days"_qs));
        QVERIFY2(!rows->index(0, 1).data().toString().contains(QRegularExpression(":\\d\\d:\\d\\d"_qs)),
                 "a time without seconds");
        const QString notTicked = englishText("PreviewCalendarNotEnabled"_qs);
        QCOMPARE(rows->index(0, 5).data().toString(), notTicked);
        upcoming->selectRow(0); // a line without a reminder shows the whole of why not
        QCOMPARE(widget<QPlainTextEdit>(m_view, "upcomingMessage")->toPlainText(), notTicked);

        tickCalendar(m_view, 1);
        QTRY_VERIFY(rows->index(0, 5).data().toString().startsWith("Reminder: your appointment on "_qs));
        QCOMPARE(rows->index(0, 4).data().toString(), "Ann <ann@example.org>"_qs);
        QTRY_COMPARE(status->text(), englishText("PreviewSummaryOff"_qs).arg("1 reminder"_qs, "4 days"_qs));
        // Ann has no card in the address book: the names of the message stay empty for her.
        QVERIFY2(rows->index(0, 5).data().toString().endsWith(" <<first>> and <<last>> stay empty)"_qs),
                 qPrintable(rows->index(0, 5).data().toString()));
        QCOMPARE(rows->index(1, 5).data().toString(), englishText("PreviewListedTwice"_qs));

        upcoming->selectRow(0);
        const QString message = widget<QPlainTextEdit>(m_view, "upcomingMessage")->toPlainText();
        QVERIFY2(
            message.startsWith("To: ann@example.org\nFrom: Default sender of the mail system\nSubject: Reminder: "_qs)
                && message.contains("\n\nHello "_qs) && !message.contains("<<"_qs),
            qPrintable(message));
    }

    // Send Reminders Now: while reminders are off it cannot be pressed, and says why. Its run goes
    // on beside the window: a click and keys while a slow mail system holds the run take effect at
    // once, as typed; afterwards one line tells what the run did, with the way to the Sent tab.
    void sendNowLeavesTheWindowUsable()
    {
        const QByteArray day = QDateTime::currentDateTime().addDays(4).toString("yyyyMMdd"_qs).toLatin1();
        m_home->copyFixture("pane/review"_qs, ".local/share/calendars/work"_qs, {{"@DAY@", day}});
        storePreferences({{"quorvelEnabled"_qs, false}, {"activeCalendars"_qs, QStringList {"work"_qs}}});
        m_home->writeProgram("mailbin/sendmail"_qs, "#!/bin/sh\ncat >/dev/null\nsleep 3\n");
        m_home->setEnv("PATH", QFile::encodeName(m_home->filePath("mailbin"_qs)) + ':' + qgetenv("PATH"));
        openPane(writeQuickPane(*m_home, "Quick.prefPane"_qs));
        auto *button = widget<QPushButton>(m_view, "alertNowButton");
        QVERIFY(!button->isEnabled());
        QCOMPARE(button->toolTip(), englishText("AlertNowOff"_qs));
        QTest::mouseClick(widget<QCheckBox>(m_view, "enableCheckBox"), Qt::LeftButton);
        QVERIFY(button->isEnabled());

        auto *title = widget<QLineEdit>(m_view, "mailTitleEdit");
        auto *tabs = widget<QTabWidget>(m_view, "tabs");
        // The line that tells what the run did has its room from the start: nothing moves when it
        // comes. (Measured once the schedule's line above has settled.)
        QTRY_VERIFY(widget<QLabel>(m_view, "scheduleStatusLabel")->text().startsWith("On: "_qs));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        const QRect message = widget<QPlainTextEdit>(m_view, "mailContentEdit")->geometry();
        title->clear();
        QString typed;
        int tab = -1;
        bool running = false;
        QTimer::singleShot(300, this, [&] {
            clickLater(title, title->rect().center());
            typeLater(m_view->windowHandle(), " Ab!?"_qs);
            clickLater(tabs->tabBar(), tabs->tabBar()->tabRect(1).center());
        });
        QTimer::singleShot(1500, this, [&] {
            typed = title->text();
            tab = tabs->currentIndex();
            running = !button->isEnabled();
        });
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(button->text(), englishText("AlertNowRunning"_qs));
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 60000);
        QVERIFY(running);
        QCOMPARE(typed, " Ab!?"_qs);
        QCOMPARE(tab, 1);
        QCOMPARE(storedDomain().value("mailTitle"_qs).toString(), " Ab!?"_qs);

        auto *result = widget<QLabel>(m_view, "alertNowResultLabel");
        QVERIFY2(result->text().contains("1 reminder handed to the mail system; 1 event marked with (*)."_qs),
                 qPrintable(result->text()));
        tabs->setCurrentIndex(0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCOMPARE(widget<QPlainTextEdit>(m_view, "mailContentEdit")->geometry(), message);
        Q_EMIT result->linkActivated("#sent"_qs);
        QCOMPARE(tabs->currentWidget(), widget<QWidget>(m_view, "sentTab"));
    }

    // The line below the enable box tells what the user's scheduler holds, beside the setting;
    // where the two differ, its button brings them in line.
    void scheduleStatusLine_data()
    {
        dataTable<bool, QString, bool, QString, QString, QString>(
            "pane/schedulestates.txt", {"enabled", "scheduler", "loaded", "line", "button", "after"});
    }
    void scheduleStatusLine()
    {
        QFETCH(bool, enabled);
        QFETCH(QString, scheduler);
        QFETCH(bool, loaded);
        QFETCH(QString, line);
        QFETCH(QString, button);
        QFETCH(QString, after);
        m_home->setEnv("LANG", "en_GB.UTF-8"); // 24-hour times
        const qint64 nextRun = QDateTime(QDate::currentDate(), QTime(14, 30)).toSecsSinceEpoch();
        m_home->writeFile("next-run"_qs, QByteArray::number(nextRun));
        schedule(scheduler, loaded);
        storePreferences({{"quorvelEnabled"_qs, enabled}});
        openPane();
        auto *status = widget<QLabel>(m_view, "scheduleStatusLabel");
        auto *fix = widget<QPushButton>(m_view, "scheduleFixButton");
        QTRY_VERIFY2(status->text().startsWith(line), qPrintable(status->text()));
        QCOMPARE(fix->isVisible(), button != "-"_qs);
        if (button == "-"_qs)
            return;
        QCOMPARE(Application::spokenText(fix->text()), button);
        QFile::remove(m_home->filePath("cron-stopped"_qs)); // its service started meanwhile
        QTest::mouseClick(fix, Qt::LeftButton);
        QTRY_COMPARE(status->text(), after);
        QVERIFY(!fix->isVisible());
        QCOMPARE(storedDomain().value("quorvelEnabled"_qs), QVariant(enabled));
    }

    // Unticking takes the schedule away from every scheduler that holds it, also from one that
    // took it while the other did not answer. Ticking where nothing can schedule the agent is
    // refused with the scheduler's reason: the box and the setting stay off.
    void switchingOnAndOff_data() { dataTable<QString, QString>("pane/switching.txt", {"atTick", "atUntick"}); }
    void switchingOnAndOff()
    {
        QFETCH(QString, atTick);
        QFETCH(QString, atUntick);
        schedule(atTick, false);
        openPane();
        auto *enable = widget<QCheckBox>(m_view, "enableCheckBox");
        auto *status = widget<QLabel>(m_view, "scheduleStatusLabel");
        QTest::mouseClick(enable, Qt::LeftButton);
        if (atUntick == "-"_qs) {
            QMessageBox *box = sheet(m_view);
            QVERIFY(box);
            QCOMPARE(box->text(), englishText("ScheduleOnFailed"_qs));
            QVERIFY2(box->informativeText().contains("no scheduler to start agents"_qs),
                     qPrintable(box->informativeText()));
        } else {
            QVERIFY(!sheet(m_view));
            QCOMPARE(storedDomain().value("quorvelEnabled"_qs), QVariant(true));
            m_home->writeFile("no-user-manager"_qs, {});
            if (atUntick == "systemd"_qs)
                QFile::remove(m_home->filePath("no-user-manager"_qs));
            QTest::mouseClick(enable, Qt::LeftButton);
            QVERIFY(!sheet(m_view));
        }
        QCOMPARE(enable->checkState(), Qt::Unchecked);
        QCOMPARE(storedDomain().value("quorvelEnabled"_qs), QVariant(false));
        QVERIFY(!QFileInfo::exists(m_home->filePath(".config/systemd/user/com.kestramo.RuvelantAgent.timer"_qs)));
        QVERIFY(!readFile(m_home->filePath("crontab"_qs)).contains("RuvelantAgent"));
        QTRY_COMPARE(status->text(), englishText("ScheduleOff"_qs));
    }

    // Tab reaches every control of the page shown, in the order of the window, and comes back:
    // no table keeps it.
    void tabOrder_data() { dataTable<int, bool, QStringList>("pane/taborder.txt", {"page", "calendars", "order"}); }
    void tabOrder()
    {
        QFETCH(int, page);
        QFETCH(bool, calendars);
        QFETCH(QStringList, order);
        if (!calendars)
            QDir(m_home->calendarsPath()).removeRecursively();
        m_home->setEnv("PATH", QFile::encodeName(m_home->filePath("bin"_qs)) + ":/usr/bin:/bin");
        MailApplication::setFallbackSendmailPaths({m_home->filePath("no-sendmail"_qs)});
        openPane();
        MailApplication::setFallbackSendmailPaths({});
        widget<QTabWidget>(m_view, "tabs")->setCurrentIndex(page);
        widget<QWidget>(m_view, "enableCheckBox")->setFocus();
        QStringList reached {focusName()};
        for (int i = 0; i < 60 && (reached.size() == 1 || reached.last() != reached.first()); ++i) {
            QTest::keyClick(m_view->windowHandle(), Qt::Key_Tab);
            if (focusName() != reached.last()) // a label's links, a text's anchors: one stop
                reached.append(focusName());
        }
        reached.removeLast();
        QVERIFY2(reached == order, qPrintable(reached.join(QLatin1Char(' '))));
    }

    // Every label of a field and every button has an access key, and no two controls that are
    // shown together share one, in each language.
    void accessKeys_data()
    {
        QTest::addColumn<QByteArray>("lang");
        QTest::newRow("English") << QByteArray("en_US.UTF-8");
        QTest::newRow("French") << QByteArray("fr_FR.UTF-8");
        QTest::newRow("German") << QByteArray("de_DE.UTF-8");
    }
    void accessKeys()
    {
        QFETCH(QByteArray, lang);
        m_home->setEnv("LANG", lang);
        QDir(m_home->calendarsPath()).removeRecursively(); // the button that opens their folder
        storePreferences(); // switched on, not scheduled: the button that schedules
        openPane();
        QTRY_VERIFY(widget<QWidget>(m_view, "scheduleFixButton")->isVisible());
        auto *tabs = widget<QTabWidget>(m_view, "tabs");
        for (int page = 0; page < tabs->count(); ++page) {
            tabs->setCurrentIndex(page);
            QHash<QKeySequence, QString> keys;
            const auto controls = m_view->findChildren<QWidget *>();
            for (QWidget *control : controls) {
                auto *button = qobject_cast<QAbstractButton *>(control);
                auto *label = qobject_cast<QLabel *>(control);
                if (!control->isVisible() || (!button && !(label && label->buddy()))
                    || (button && !button->shortcut().isEmpty() && !button->text().contains(QLatin1Char('&'))))
                    continue;
                const QString text = button ? button->text() : label->text();
                const QKeySequence key = QKeySequence::mnemonic(text);
                QVERIFY2(!key.isEmpty(), qPrintable(text));
                QVERIFY2(!keys.contains(key), qPrintable(keys.value(key) + " and "_qs + text));
                keys.insert(key, text);
            }
        }
    }

    // Without calendars the Reminders tab says where they come from, links to the help page on
    // getting them and opens their folder; the first calendar to come shows in the table.
    void noCalendars()
    {
        QDir(m_home->calendarsPath()).removeRecursively();
        RecordingViewer viewer(*m_home);
        openPane();
        auto *table = widget<QTableView>(m_view, "calendarsTable");
        auto *hint = widget<QLabel>(m_view, "calendarsEmptyLabel");
        QVERIFY(!table->isVisible() && hint->isVisible());
        QVERIFY2(hint->text().contains(m_home->calendarsPath()), qPrintable(hint->text()));
        Q_EMIT hint->linkActivated("calendars.html"_qs);
        QTRY_COMPARE(viewer.opened(), QStringList {builtPane + "/Contents/Resources/en.lproj/help/calendars.html"_qs});
        QTest::mouseClick(widget<QPushButton>(m_view, "openCalendarsFolderButton"), Qt::LeftButton);
        QVERIFY(QFileInfo(m_home->calendarsPath()).isDir());
        m_home->writeFile(".local/share/calendars/travel/displayname"_qs, "Travel\n");
        QTRY_VERIFY(table->isVisible() && !hint->isVisible());
    }
};

QTEST_MAIN(PaneTest)
#include "tst_pane.moc"
