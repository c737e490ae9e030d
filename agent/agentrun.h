#ifndef RUVELANT_AGENTRUN_H
#define RUVELANT_AGENTRUN_H

#include "reminderdecisions.h"
#include "stoprequest.h"

#include <QDateTime>

#include <chrono>
#include <functional>

class CalendarStore;

// What one run of the agent takes from its surroundings; main passes the real ones.
struct AgentRunEnvironment
{
    // The current date-time.
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
    // The closing pause of every run.
    std::function<void(std::chrono::microseconds)> pause;
    // The calendar store to search and mark; nullptr means the user's default store.
    CalendarStore *store = nullptr;
    // Whether the run was asked to stop (it then finishes the event in hand and ends).
    std::function<bool()> stopRequested = [] { return StopRequest::isRequested(); };
    // The send journal's file; empty means its place in the user's state folder.
    QString journalPath;
    // Called once the run's work is done when it marked events; empty means: start the sync of the
    // user's calendar accounts (the program beside this one), so that the markers reach the server.
    std::function<void()> afterMarking;
    // The record of the last day whose reminders a run completed; empty: its place beside the journal.
    QString completedDayPath;
    // How long one hand-over to the mail system may take.
    std::chrono::milliseconds sendTimeout = std::chrono::seconds(60);
    // The program that tells the desktop of reminders that failed; empty: the one beside this program.
    QString notifierPath;
};

// One whole run of the reminder agent: settings, reminder window, events, reminders, markers,
// closing pause, log. Returns the process's exit status, which is always 0.
int runAgent(const AgentRunEnvironment &environment = AgentRunEnvironment());

// A date-time as the verbose log shows it: 2010-03-05 00:00:00 +0100.
QString logDateText(const QDateTime &dateTime);

// The file whose lock runs of the agent hold while they work; whatever changes the send journal or
// the markers beside them takes turns with them through it.
QString agentRunLockPath();

#endif
