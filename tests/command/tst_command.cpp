// The ruvelant command end to end: the real program in a throw-away home with the calendars and
// address book of tests/data/agent, and stand-ins of the user's scheduler (systemctl, crontab)
// and mail system (sendmail).
#include "ComKestramoPreferenceQuorvelModel.h"
#include "agentruns.h"
#include "bundle.h"
#include "calendarstore.h"
#include "datatable.h"
#include "preferenceservice.h"
#include "propertylist.h"
#include "reminderpreview.h"
#include "stringstable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

namespace {
const QString agentFile = "Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"_qs;

struct Ran
{
    int status = -1;
    QString out;
    QString errors;
};

// A stored value as the tables write it: "string:4", "bool:true", "array:home,work".
QString storedText(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        return "bool:"_qs + (value.toBool() ? "true"_qs : "false"_qs);
    case QMetaType::QString:
        return "string:"_qs + value.toString();
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return "array:"_qs + value.toStringList().join(QLatin1Char(','));
    default:
        return "other:"_qs + value.toString();
    }
}
} // namespace

class CommandTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    QString m_program;

    Ran ruvelant(const QStringList &arguments, const QByteArray &input = {}) const
    {
        QProcess process;
        process.start(m_program, arguments);
        process.write(input);
        process.closeWriteChannel();
        Ran ran;
        ran.status = finish(process, &ran.errors);
        ran.out = QString::fromUtf8(process.readAllStandardOutput());
        return ran;
    }

    // A table's text with the folders in place of BUILD, HOME and SYSTEM.
    QString expanded(QString text) const
    {
        return text.replace("BUILD"_qs, QStringLiteral(RUVELANT_BUILD_DIR))
            .replace("SYSTEM"_qs, m_home->filePath("system"_qs))
            .replace("HOME"_qs, m_home->path());
    }

    // The sendmail stand-in answers each recipient with its status in exits ("address=status
    // ..."; others: 0).
    void useSendmail(const QByteArray &exits) const
    {
        m_home->writeFile("exits"_qs, QByteArray(exits).replace(' ', '\n') + '\n');
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        writeAgentHome(*m_home);
        m_home->writeProgram("bin/sendmail"_qs, readFile(QFINDTESTDATA("../data/agentrun/sendmail")));
        useSendmail({});
        m_home->setEnv("PATH", QFile::encodeName(m_home->filePath("bin"_qs)) + ":/usr/bin:/bin");
        m_home->setEnv("RUVELANT_SYSTEM_ROOT", QFile::encodeName(m_home->filePath("system"_qs)));
        m_program = buildPath("bin/ruvelant"_qs);
    }
    void cleanup() { m_home.reset(); }

    // Each key takes the values of its type, stored as the settings keep them; anything else is
    // refused with the reason and changes nothing.
    void settings_data()
    {
        dataTable<int, QString, QString, QString, QString, QString, QStringList>(
            "command/settings.txt", {"exit", "complaint", "key", "printed", "stored", "input", "arguments"});
    }
    void settings()
    {
        QFETCH(int, exit);
        QFETCH(QString, complaint);
        QFETCH(QString, key);
        QFETCH(QString, printed);
        QFETCH(QString, stored);
        QFETCH(QString, input);
        QFETCH(QStringList, arguments);
        const Ran set = ruvelant(QStringList {"set"_qs} + arguments, input.toUtf8());
        QCOMPARE(set.status, exit);
        QCOMPARE(set.errors, complaint == "-"_qs ? QString() : "ruvelant: "_qs + complaint + "\n"_qs);
        const Ran get = ruvelant({"get"_qs, key});
        QCOMPARE(get.status, 0);
        QCOMPARE(get.out, printed);
        QCOMPARE(storedText(storedDomain().value(key)), stored);
    }

    // A message from standard input is taken up to what a setting holds; more (or what is not
    // UTF-8) is refused without writing, and the settings file stays readable.
    void messageFromStandardInput_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("complaint"); // after "ruvelant: mailContent cannot be stored: "; empty: taken
        QTest::newRow("the most a setting holds") << QByteArray(PreferenceService::maxTextSize, 'x') << QString();
        QTest::newRow("the most, and the line break that ends it") << QByteArray(PreferenceService::maxTextSize, 'x')
                + '\n' << QString();
        QTest::newRow("one byte more") << QByteArray(PreferenceService::maxTextSize + 1, 'x')
                                       << "the text is 65537 bytes long, more than the 65536 (64 KiB) that a setting "
                                          "may hold";
        QTest::newRow("17 MB") << QByteArray(17 * 1000 * 1000, 'x')
                               << "the text from standard input is longer than the 65536 bytes";
        QTest::newRow("Latin-1") << QByteArray("caf\xe9") << "the text from standard input is not UTF-8";
    }
    void messageFromStandardInput()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, complaint);
        const QString file = m_home->filePath("Library/Preferences/com.kestramo.ruvelant.plist"_qs);
        const QByteArray before = readFile(file);
        const Ran set = ruvelant({"set"_qs, "mailContent"_qs, "-"_qs}, input);
        QCOMPARE(set.status, complaint.isEmpty() ? 0 : 2);
        QVERIFY2(complaint.isEmpty() ? set.errors.isEmpty()
                                     : set.errors.startsWith("ruvelant: mailContent cannot be stored: "_qs + complaint),
                 qPrintable(set.errors));
        if (complaint.isEmpty())
            QCOMPARE(storedDomain().value("mailContent"_qs).toString().toUtf8(),
                     input.left(PreferenceService::maxTextSize));
        else
            QVERIFY(readFile(file) == before);
        QCOMPARE(strictReaderRefusal(), QString());
    }

    // A settings file that is there but cannot be read is not the default settings: the
    // subcommands say so, and none writes over it.
    void unreadableSettingsAreKept_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("said");
        const QString unchanged = "; nothing was changed. Repair that file, or remove it"_qs;
        QTest::newRow("get") << QStringList {"get"_qs, "quorvelEnabled"_qs} << 1 << unchanged;
        QTest::newRow("set") << QStringList {"set"_qs, "daysBeforeEventStart"_qs, "3"_qs} << 1 << unchanged;
        QTest::newRow("enable") << QStringList {"enable"_qs} << 1 << "; reminders were not switched on"_qs;
        QTest::newRow("run") << QStringList {"run"_qs, "--no-pause"_qs} << 1
                             << "; a run sends nothing until that file is repaired or removed"_qs;
        QTest::newRow("status") << QStringList {"status"_qs} << 1
                                << "Reminders: not sent, the settings cannot be read: Cannot read"_qs;
    }
    void unreadableSettingsAreKept()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exit);
        QFETCH(QString, said);
        const QByteArray big = "<plist version=\"1.0\"><dict><key>quorvelEnabled</key><true/><key>mailContent</key>"
                               "<string>"
            + QByteArray(17 * 1000 * 1000, 'x') + "</string></dict></plist>";
        m_home->writeFile("Library/Preferences/com.kestramo.ruvelant.plist"_qs, big);
        const Ran ran = ruvelant(arguments);
        QCOMPARE(ran.status, exit);
        QVERIFY2((ran.out + ran.errors).contains("Cannot read the preferences "_qs + m_home->preferencesPath()),
                 qPrintable(ran.out + ran.errors));
        QVERIFY2((ran.out + ran.errors).contains(said), qPrintable(ran.out + ran.errors));
        QVERIFY(readFile(m_home->filePath("Library/Preferences/com.kestramo.ruvelant.plist"_qs)) == big);
        QVERIFY(!QFileInfo::exists(m_home->filePath(agentFile)));
    }

    // A setting not stored yet takes the default that the pane and the agent give it, in the
    // pane's words, and keeps it.
    void defaultsAreThePanes()
    {
        QVERIFY(QFile::remove(m_home->filePath("Library/Preferences/com.kestramo.ruvelant.plist"_qs)));
        const QString title
            = StringsTable::parse(readFile(RUVELANT_SOURCE_DIR "/resources/pane/en.lproj/Localizable.strings"_qs))
                  .value("defaultMailTitle"_qs);
        QVERIFY(!title.isEmpty());
        QCOMPARE(ruvelant({"get"_qs, "mailTitle"_qs}).out, title + "\n"_qs);
        QCOMPARE(storedDomain().value("mailTitle"_qs).toString(), title);
        QCOMPARE(storedDomain().value("daysBeforeEventStart"_qs), QVariant("4"_qs));
    }

    // Switching on schedules the agent of the pane that the command finds, as the pane's box
    // does; a scheduler that refuses leaves reminders off; switching off takes it away.
    void switching_data()
    {
        dataTable<QString, QString, QString, QString, int, bool, QString, QString, QString>(
            "command/switching.txt",
            {"scheduler", "pane", "before", "arguments", "exit", "setting", "agent", "scheduled", "said"});
    }
    void switching()
    {
        QFETCH(QString, scheduler);
        QFETCH(QString, pane);
        QFETCH(QString, before);
        QFETCH(QString, arguments);
        QFETCH(int, exit);
        QFETCH(bool, setting);
        QFETCH(QString, agent);
        QFETCH(QString, scheduled);
        QFETCH(QString, said);
        storePreferences({{"quorvelEnabled"_qs, false}});
        if (scheduler != "systemd"_qs)
            m_home->writeFile("no-user-manager"_qs, {});
        if (scheduler == "neither"_qs)
            QFile::remove(m_home->schedulerFolder() + "/crontab"_qs);
        if (before == "enabled"_qs)
            QCOMPARE(ruvelant({"enable"_qs}).status, 0);
        if (pane != "built"_qs) {
            // A copy outside the build tree finds the installed panes.
            m_home->writeProgram("tools/ruvelant"_qs, readFile(m_program));
            m_program = m_home->filePath("tools/ruvelant"_qs);
            m_home->setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(buildPath("bin"_qs)));
            if (pane == "user"_qs || pane == "both"_qs)
                writeQuickPane(*m_home, "Library/PreferencePanes/Ruvelant.prefPane"_qs);
            if (pane == "system"_qs || pane == "both"_qs)
                writeQuickPane(*m_home, "system/Library/PreferencePanes/Ruvelant.prefPane"_qs);
        }

        const Ran ran = ruvelant(arguments.split(QLatin1Char(' ')));
        QCOMPARE(ran.status, exit);
        const QString text = exit == 0 ? ran.out : ran.errors;
        QVERIFY2(text.startsWith((exit == 0 ? QString() : "ruvelant: "_qs) + expanded(said)), qPrintable(text));
        QCOMPARE(storedDomain().value("quorvelEnabled"_qs), QVariant(setting));
        QVariant file;
        QCOMPARE(PropertyList::readFile(m_home->filePath(agentFile), &file), agent != "-"_qs);
        if (agent != "-"_qs)
            QCOMPARE(file.toMap().value("ProgramArguments"_qs).toList(), QVariantList {expanded(agent)});
        QCOMPARE(readFile(m_home->filePath("timers"_qs)).contains("RuvelantAgent"), scheduled == "timer"_qs);
        QCOMPARE(readFile(m_home->filePath("crontab"_qs)).contains("RuvelantAgent"), scheduled == "crontab"_qs);
    }

    // The lines of "ruvelant upcoming" are those of the pane's preview for the same moment: the
    // same events, attendees and texts, in the same order.
    void upcomingAgreesWithThePreview()
    {
        const QDate today = QDate::currentDate();
        const Ran ran = ruvelant({"upcoming"_qs, "--json"_qs, "--from"_qs, today.toString(Qt::ISODate)});
        QCOMPARE(ran.status, 0);
        const QJsonArray lines = QJsonDocument::fromJson(ran.out.toUtf8()).object().value("lines"_qs).toArray();

        const ComKestramoPreferenceQuorvelModel model(false);
        const PreviewRequest request = PreviewRequest::fromModel(model, today.startOfDay());
        QList<PreviewRow> rows = ReminderPreview::compute(request, *CalendarStore::defaultCalendarStore());
        ReminderPreview::sortByStart(rows);
        ReminderPreview::findCards(rows);
        const Bundle pane(buildPath("Ruvelant.prefPane"_qs));
        const auto texts = [&pane](const char *key) { return pane.localizedStringForKey(QLatin1String(key)); };
        QVERIFY(rows.size() >= 7); // Dentist's five attendees, Alone, Board of a calendar not ticked
        QCOMPARE(lines.size(), rows.size());
        for (int i = 0; i < rows.size(); ++i) {
            const QJsonObject line = lines.at(i).toObject();
            QCOMPARE(line.value("event"_qs).toString(), rows.at(i).event.title);
            QCOMPARE(QDateTime::fromString(line.value("start"_qs).toString(), Qt::ISODate), rows.at(i).event.startDate);
            QCOMPARE(line.value("attendee"_qs).toObject().value("name"_qs).toString(),
                     rows.at(i).attendee.attendee.commonName);
            QCOMPARE(line.value("reminder"_qs).toString(),
                     ReminderPreview::reminderText(rows.at(i), texts, model.mailContent()));
        }
        const Ran text = ruvelant({"upcoming"_qs, "--from"_qs, today.toString(Qt::ISODate)});
        QCOMPARE(text.out.count(QLatin1Char('\n')), rows.size());
    }

    // "ruvelant run" is one run of the agent (its log, its lock) that says what it did; its exit
    // status tells whether the mail system took every reminder.
    void runExitStatus_data()
    {
        QTest::addColumn<bool>("on");
        QTest::addColumn<QByteArray>("exits");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("said");
        row("every reminder taken", true, QByteArray(), 0, "2 reminders handed to the mail system; 1 event marked");
        row("one refused for good", true, QByteArray("juergen@example.de=67"), 1,
            "1 reminder could not be sent: The mail server refused the recipient's address (exit status 67)");
        row("one to try again later", true, QByteArray("juergen@example.de=75"), 1,
            "The mail system asked to try again later (exit status 75)");
        row("reminders off: no run", false, QByteArray(), 1, "ruvelant: reminders are off");
    }
    void runExitStatus()
    {
        QFETCH(bool, on);
        QFETCH(QByteArray, exits);
        QFETCH(int, exit);
        QFETCH(QString, said);
        storePreferences({{"quorvelEnabled"_qs, on}});
        useSendmail(exits);
        const Ran ran = ruvelant({"run"_qs, "--no-pause"_qs});
        QCOMPARE(ran.status, exit);
        QVERIFY2((on ? ran.out : ran.errors).contains(said), qPrintable(ran.out + ran.errors));
        const QStringList log = agentLog(*m_home);
        QCOMPARE(log.isEmpty(), !on);
        if (on) {
            QVERIFY2(log.first().contains("RuvelantAgent["_qs) && log.first().endsWith("started -v.5"_qs),
                     qPrintable(log.first()));
            QVERIFY(log.last().endsWith("<Info>: terminated"_qs));
            QVERIFY(QFileInfo::exists(m_home->filePath("Library/Logs/RuvelantAgent.lock"_qs)));
        }
    }

    // "ruvelant run" prints one line, what the run did as the pane says it; the log's lines go
    // to standard error only when asked.
    void runSaysOneLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("logLines");
        QTest::newRow("by default: the summary alone") << QStringList {"run"_qs, "--no-pause"_qs} << false;
        QTest::newRow("--verbose: the log's lines too")
            << QStringList {"run"_qs, "--no-pause"_qs, "--verbose"_qs} << true;
    }
    void runSaysOneLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, logLines);
        storePreferences({{"quorvelEnabled"_qs, true}});
        const Ran ran = ruvelant(arguments);
        QCOMPARE(ran.status, 0);
        QCOMPARE(ran.out.count(QLatin1Char('\n')), 1);
        QVERIFY2(ran.out.startsWith("Run at "_qs), qPrintable(ran.out));
        const QStringList log = agentLog(*m_home);
        QVERIFY(log.size() > 3);
        if (logLines) {
            for (const QString &record : log) {
                const QString text = record.mid(record.indexOf(">: "_qs)).section(QLatin1Char('\n'), 0, 0);
                QVERIFY2(ran.errors.contains(text), qPrintable(record));
            }
        } else {
            QCOMPARE(ran.errors, QString());
        }
    }

    // "ruvelant status" in each state, and its exit status: 0 only when reminders can go out,
    // 1 with the reasons otherwise.
    void status_data()
    {
        dataTable<bool, QString, QString, QString, int, QStringList>(
            "command/status.txt", {"on", "scheduler", "runs", "change", "exit", "lines"});
    }
    void status()
    {
        QFETCH(bool, on);
        QFETCH(QString, scheduler);
        QFETCH(QString, runs);
        QFETCH(QString, change);
        QFETCH(int, exit);
        QFETCH(QStringList, lines);
        if (runs != "-"_qs) {
            const QStringList each = runs.split(" then "_qs);
            for (const QString &run : each) {
                const bool fails = run == "refused"_qs || run == "later"_qs;
                useSendmail(run == "refused"_qs ? "ann@example.org=67" : run == "later"_qs ? "ann@example.org=75" : "");
                QCOMPARE(ruvelant({"run"_qs, "--no-pause"_qs}).status, fails ? 1 : 0);
            }
        }
        if (scheduler.startsWith("cron"_qs))
            m_home->writeFile("no-user-manager"_qs, {});
        if (scheduler == "cron, its service stopped"_qs)
            m_home->writeFile("cron-stopped"_qs, {});
        if (scheduler != "-"_qs)
            QCOMPARE(ruvelant({"enable"_qs}).status, 0);
        storePreferences({{"quorvelEnabled"_qs, on}});
        if (change == "no sendmail"_qs) {
            for (const char *own : {"/usr/sbin/sendmail", "/usr/lib/sendmail"}) {
                if (QFileInfo::exists(QLatin1String(own)))
                    QSKIP("this machine has a sendmail of its own");
            }
            QFile::remove(m_home->filePath("bin/sendmail"_qs));
        } else if (change == "no calendar ticked"_qs) {
            QCOMPARE(ruvelant({"set"_qs, "activeCalendars"_qs, ""_qs}).status, 0);
        }
        const Ran ran = ruvelant({"status"_qs});
        QCOMPARE(ran.status, exit);
        const QStringList printed = ran.out.split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            const QString start = expanded(line);
            QVERIFY2(
                std::any_of(printed.cbegin(), printed.cend(), [&](const QString &p) { return p.startsWith(start); }),
                qPrintable(start + " in\n"_qs + ran.out));
        }
        QCOMPARE(printed.filter(QRegularExpression("^Not going out: "_qs)).isEmpty(), exit == 0);
    }

    // Wrong usage is refused with status 2, and each subcommand tells its own help.
    // "ruvelant resend" names an occurrence by its day (and time) and its title or UID: the next
    // run sends its reminders once more, the one after it nothing. What it does not find, or what
    // no run would remind, it refuses, and then the next run sends nothing.
    void resend_data()
    {
        QTest::addColumn<QStringList>("arguments"); // DAY: the day the runs search
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("said"); // the start of standard output, or of standard error
        const QString again = "DAY 10:00 'Dentist' (home): its reminders go out again at the next run"_qs;
        row("by its title", QStringList {"DAY"_qs, "Dentist"_qs}, 0, again);
        row("by its time and UID, in its calendar",
            QStringList {"--calendar"_qs, "home"_qs, "DAYT10:00"_qs, "dentist"_qs}, 0, again);
        row("not at that time", QStringList {"DAYT11:00"_qs, "Dentist"_qs}, 1,
            "ruvelant: no event \"Dentist\" starts on DAYT11:00");
        row("a calendar that is not ticked", QStringList {"DAY"_qs, "Board"_qs}, 1,
            "ruvelant: DAY 09:00 'Board' (work) is in a calendar whose events get no reminders");
    }
    void resend()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exit);
        QFETCH(QString, said);
        const QString day = searchedDay().toString(Qt::ISODate);
        arguments.replaceInStrings("DAY"_qs, day).prepend("resend"_qs);
        const QString taken = m_home->filePath("taken"_qs);
        const QStringList reminded {"ann@example.org"_qs, "juergen@example.de"_qs};
        QCOMPARE(ruvelant({"run"_qs, "--no-pause"_qs}).status, 0);
        QCOMPARE(QString::fromUtf8(readFile(taken)).split(QLatin1Char('\n'), Qt::SkipEmptyParts), reminded);
        QFile::remove(taken);

        const Ran ran = ruvelant(arguments);
        QCOMPARE(ran.status, exit);
        QVERIFY2((exit == 0 ? ran.out : ran.errors).startsWith(said.replace("DAY"_qs, day)),
                 qPrintable(ran.out + ran.errors));
        for (const QStringList &expected : {exit == 0 ? reminded : QStringList(), QStringList()}) {
            QCOMPARE(ruvelant({"run"_qs, "--no-pause"_qs}).status, 0);
            QCOMPARE(QString::fromUtf8(readFile(taken)).split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
            QFile::remove(taken);
        }
    }

    void usage_data()
    {
        dataTable<int, QString, QString, QStringList>("command/usage.txt", {"exit", "stream", "said", "arguments"});
    }
    void usage()
    {
        QFETCH(int, exit);
        QFETCH(QString, stream);
        QFETCH(QString, said);
        QFETCH(QStringList, arguments);
        const Ran ran = ruvelant(arguments);
        QCOMPARE(ran.status, exit);
        const QString text = stream == "out"_qs ? ran.out : ran.errors;
        QVERIFY2(text.startsWith(said), qPrintable(text));
    }

    // "ruvelant log --follow" goes on with the new log once the agent's log rotates.
    void logFollowsThroughRotation()
    {
        const QString log = m_home->filePath("Library/Logs/RuvelantAgent.log"_qs);
        m_home->writeFile("Library/Logs/RuvelantAgent.log"_qs, "first\n");
        QProcess follow;
        follow.start(m_program, {"log"_qs, "--follow"_qs});
        QByteArray out;
        QTRY_COMPARE((out += follow.readAllStandardOutput()), QByteArray("first\n"));
        QFile file(log);
        QVERIFY(file.open(QIODevice::Append));
        file.write("second\n");
        file.close();
        QVERIFY(QFile::rename(log, m_home->filePath("Library/Logs/RuvelantAgent_previous.log"_qs)));
        m_home->writeFile("Library/Logs/RuvelantAgent.log"_qs, "third\n");
        QTRY_COMPARE((out += follow.readAllStandardOutput()), QByteArray("first\nsecond\nthird\n"));
        follow.kill();
        follow.waitForFinished();
    }

    // "mail add" logs in before it keeps anything, reads the password from standard input only,
    // and where no keyring answers (no session bus here) keeps it in a file only the user can
    // read, saying so; what it refuses keeps nothing.
    void mailAdd_data()
    {
        QTest::addColumn<QStringList>("arguments"); // after "mail add"; SERVER: the test's server
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("said"); // in what it says on standard error
        QTest::addColumn<QString>("listed"); // the line of "mail list"; empty: nothing kept
        const QString kept
            = "ann@example.org\t127.0.0.1:PORT, no TLS, user ann (Ruvelant, password in a private file)"_qs;
        row("a server on this computer, password piped in",
            QStringList {"ann@example.org"_qs, "--server"_qs, "SERVER"_qs, "--security"_qs, "none"_qs, "--user"_qs,
                         "ann"_qs},
            QByteArray("secret\n"), 0, "no keyring took the password", kept);
        row("wrong password",
            QStringList {"ann@example.org"_qs, "--server"_qs, "SERVER"_qs, "--security"_qs, "none"_qs, "--user"_qs,
                         "ann"_qs},
            QByteArray("not-it\n"), 1, "login refused at AUTH", "");
        row("no password", QStringList {"ann@example.org"_qs, "--server"_qs, "SERVER"_qs, "--security"_qs, "none"_qs},
            QByteArray(), 1, "the password is empty", "");
        row("no TLS to another computer",
            QStringList {"ann@example.org"_qs, "--server"_qs, "mail.example.org"_qs, "--security"_qs, "none"_qs},
            QByteArray("secret\n"), 2, "only allowed to a server on this computer", "");
        row("unknown provider, no server", QStringList {"ann@example.org"_qs}, QByteArray("secret\n"), 2,
            "say which server takes the mail of ann@example.org", "");
        row("a big provider's server from the address", QStringList {"someone@GMAIL.com"_qs, "--no-check"_qs},
            QByteArray("app password\n"), 0, "no keyring",
            "someone@GMAIL.com\tsmtp.gmail.com, TLS, user someone@GMAIL.com (Ruvelant, password in a private file)");
        row("a security that does not exist",
            QStringList {"ann@example.org"_qs, "--server"_qs, "SERVER"_qs, "--security"_qs, "ssl"_qs},
            QByteArray("x\n"), 2, "--security is tls, starttls or none", "");
    }
    void mailAdd()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, exit);
        QFETCH(QString, said);
        QFETCH(QString, listed);
        SmtpSink sink(*m_home);
        SmtpSink::Options options;
        options.login = "ann:secret"_qs;
        options.sendmail = false;
        QVERIFY(sink.start(options));
        const QString server = "127.0.0.1:%1"_qs.arg(sink.port());
        arguments.replaceInStrings("SERVER"_qs, server);
        const Ran added = ruvelant(QStringList {"mail"_qs, "add"_qs} + arguments, input);
        QCOMPARE(added.status, exit);
        QVERIFY2(added.errors.contains(said), qPrintable(added.errors));
        const Ran list = ruvelant({"mail"_qs, "list"_qs});
        QCOMPARE(list.out.section(QLatin1Char('\n'), 0, 0).startsWith(QLatin1String("No mail account sends")),
                 listed.isEmpty());
        if (listed.isEmpty()) {
            QVERIFY(!QFileInfo::exists(m_home->filePath(".config/ruvelant/mail-accounts.plist"_qs)));
            QVERIFY(QDir(m_home->filePath(".config/ruvelant/passwords"_qs)).isEmpty());
            return;
        }
        QCOMPARE(list.out.section(QLatin1Char('\n'), 0, 0),
                 QString(listed).replace("PORT"_qs, QString::number(sink.port())));
        // The password in its file only, as it was given, readable by the user alone.
        const QString file = m_home->filePath(".config/ruvelant/passwords/smtp-"_qs + arguments.first().toLower());
        QCOMPARE(readFile(file), input.trimmed());
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
            | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(QFile::permissions(file) & others, QFile::Permissions());
        QVERIFY(!readFile(m_home->filePath(".config/ruvelant/mail-accounts.plist"_qs)).contains(input.trimmed()));
    }

    // "mail test" sends as the agent does; "status" and "mail list" name the account that sends
    // for the sender; "mail remove" takes the account and its password away.
    void mailTestListRemove()
    {
        SmtpSink sink(*m_home);
        SmtpSink::Options options;
        options.login = "ann:secret"_qs;
        options.sendmail = false;
        QVERIFY(sink.start(options));
        const QString server = "127.0.0.1:%1"_qs.arg(sink.port());
        QCOMPARE(ruvelant({"mail"_qs, "add"_qs, "me@example.com"_qs, "--server"_qs, server, "--security"_qs, "none"_qs,
                           "--user"_qs, "ann"_qs},
                          "secret")
                     .status,
                 0);
        const Ran sent = ruvelant({"mail"_qs, "test"_qs, "me@example.com"_qs, "bob@example.org"_qs});
        QCOMPARE(sent.status, 0);
        QCOMPARE(deliveries(sink), (QHash<QString, int> {{"bob@example.org"_qs, 1}}));
        QCOMPARE(SmtpSink::header(sink.rawMessages().first(), "X-AuthLogin"), QByteArray("ann"));
        const Ran refused = ruvelant({"mail"_qs, "test"_qs, "me@example.com"_qs, "refused@example.org"_qs});
        QCOMPARE(refused.status, 1);
        QVERIFY2(refused.errors.contains("refused the recipient's address"_qs), qPrintable(refused.errors));
        // The settings' sender is me@example.com: its account sends, not the sendmail of PATH.
        const QString sends = "Sends from me@example.com through %1."_qs.arg(server);
        QVERIFY2(ruvelant({"status"_qs}).out.contains(sends), qPrintable(ruvelant({"status"_qs}).out));
        QVERIFY(ruvelant({"mail"_qs, "list"_qs}).out.endsWith("Reminders are sent from me@example.com.\n"_qs));

        QCOMPARE(ruvelant({"mail"_qs, "remove"_qs, "Me@Example.com"_qs}).status, 0);
        QVERIFY(!QFileInfo::exists(m_home->filePath(".config/ruvelant/mail-accounts.plist"_qs)));
        QVERIFY(QDir(m_home->filePath(".config/ruvelant/passwords"_qs)).isEmpty());
        QVERIFY(ruvelant({"status"_qs}).out.contains("Mail: reminders are handed to"_qs));
        QCOMPARE(ruvelant({"mail"_qs, "remove"_qs, "me@example.com"_qs}).status, 1);
    }
};

QTEST_GUILESS_MAIN(CommandTest)
#include "tst_command.moc"
