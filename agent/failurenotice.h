#ifndef RUVELANT_FAILURENOTICE_H
#define RUVELANT_FAILURENOTICE_H

#include <QString>
#include <QStringList>

class Bundle;
struct RunOutcome;

// Tells the user on the desktop when a run could not hand reminders over: reminders that fail
// without anyone looking at the log are the worst failure of a reminder system.
namespace FailureNotice {
// Called once at the end of a run: reads what this process's run did from the agent's log and,
// when reminders failed and the session has a bus, starts the notifier (notifierPath; empty: the
// RuvelantNotifier beside this program), which shows one notification per cause. Returns at
// once and changes nothing of the run.
void afterRun(const QString &notifierPath = QString());
// The notifier's arguments for outcome, from bundle's texts: a --title and a --text per cause of
// failure (how many reminders, and why), and the label of the action that shows them. Empty when
// nothing failed.
QStringList notifierArguments(const RunOutcome &outcome, const Bundle &bundle);
} // namespace FailureNotice

#endif
