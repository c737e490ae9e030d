#ifndef RUVELANT_AGENTRUNS_H
#define RUVELANT_AGENTRUNS_H

// Whole runs of the agent's programs for the end-to-end tests, and the homes they run in.

#include "icaltext.h"
#include "smtpsink.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QDir>
#include <QDirIterator>
#include <QHash>

// The agent as installed (ending with its pause of 10 seconds), and one run of it as the real
// program makes it, without that pause (tests/agent/helper_agentrun.cpp).
constexpr const char *AgentWithPause = "Ruvelant.prefPane/Contents/Resources/RuvelantAgent";
constexpr const char *AgentRunOnly = "tests/helpers/helper_agentrun";

// A copy of the built pane bundle at relative below the home, with its information, interface
// file, strings tables and plural forms, whose agent is the run without its closing pause (so
// that it reads the pane's texts and logs as RuvelantAgent). Returns its path.
inline QString writeQuickPane(const ThrowAwayHome &home, const QString &relative)
{
    const QString built = buildPath(QStringLiteral("Ruvelant.prefPane"));
    home.writeFile(relative + QStringLiteral("/Contents/Info.plist"),
                   readFile(built + QStringLiteral("/Contents/Info.plist")));
    const QDir resources(built + QStringLiteral("/Contents/Resources"));
    QDirIterator it(resources.path(), {QStringLiteral("*.ui"), QStringLiteral("*.strings"), QStringLiteral("*.qm")},
                    QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        home.writeFile(relative + QStringLiteral("/Contents/Resources/") + resources.relativeFilePath(file),
                       readFile(file));
    }
    home.writeProgram(relative + QStringLiteral("/Contents/Resources/RuvelantAgent"),
                      readFile(buildPath(QLatin1String(AgentRunOnly))));
    return home.filePath(relative);
}

// One run of a program of the agent to its end: see finish().
inline int runToEnd(QString *errors = nullptr, const char *relative = AgentRunOnly)
{
    return finish(*startProgram(relative), errors);
}

// The records of the log of the agent, named after its program.
inline QStringList agentLog(const ThrowAwayHome &home, const char *program = "RuvelantAgent")
{
    return logRecords(home.filePath(QStringLiteral("Library/Logs/%1.log").arg(QLatin1String(program))));
}

// The day that a run started now searches with 4 days.
inline QDate searchedDay()
{
    return QDateTime::currentDateTime().addSecs(4 * 86400).date();
}

// The usual settings, and the calendars and address book of tests/data/agent with their events
// on the searched day: calendar "home" (Dentist with Ann twice, once in capitals, Jürgen of the address book, the
// user and a phone number; Alone without attendees) and "work" (Board).
inline void writeAgentHome(ThrowAwayHome &home)
{
    home.copyFixture(QStringLiteral("agent"), QStringLiteral(".local/share"),
                     {{"@DAY@", searchedDay().toString(QStringLiteral("yyyyMMdd")).toLatin1()}});
    storePreferences();
}

// The usual settings and a calendar "home" of count events on the searched day, event<N>.ics
// with the attendees eNa@example.org and eNb@example.org; every tenth one repeats daily, so that
// marking it adds an override to its file.
inline void writeManyEvents(ThrowAwayHome &home, int count)
{
    const QByteArray event = readFile(QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/manyevents/event.ics"));
    const QDate day = searchedDay();
    for (int i = 0; i < count; ++i) {
        const QDate first = i % 10 == 0 ? day.addDays(-3) : day;
        home.writeFile(QStringLiteral(".local/share/calendars/home/event%1.ics").arg(i),
                       QByteArray(event)
                           .replace("@N@", QByteArray::number(i))
                           .replace("@START@", first.toString(QStringLiteral("yyyyMMdd")).toLatin1())
                           .replace("@RRULE@", i % 10 == 0 ? "RRULE:FREQ=DAILY;COUNT=7\r\n" : ""));
    }
    home.writeFile(QStringLiteral(".local/share/calendars/home/displayname"), "Home\n");
    storePreferences();
}

// The event files of "home" by name; a file that does not read back as iCalendar is left out.
inline QHash<QString, QByteArray> eventFiles(const ThrowAwayHome &home)
{
    QHash<QString, QByteArray> files;
    const QDir folder(home.calendarsPath() + QStringLiteral("/home"));
    for (const QString &name : folder.entryList({QStringLiteral("*.ics")}, QDir::Files)) {
        const QByteArray bytes = readFile(folder.filePath(name));
        if (ICalText::parse(bytes, nullptr))
            files.insert(name, bytes);
    }
    return files;
}

// How many messages each recipient received (by the envelope: a message cut short counts too).
inline QHash<QString, int> deliveries(const SmtpSink &sink)
{
    QHash<QString, int> received;
    for (const QByteArray &raw : sink.rawMessages())
        ++received[QString::fromUtf8(SmtpSink::header(raw, "X-RcptTo"))];
    return received;
}

#endif
