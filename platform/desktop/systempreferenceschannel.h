#ifndef RUVELANT_SYSTEMPREFERENCESCHANNEL_H
#define RUVELANT_SYSTEMPREFERENCESCHANNEL_H

#include <QString>
#include <QStringList>

// The line protocol between the SystemPreferences host, which runs once per user, and the
// programs that drive it (a second start of the host, the script runner). A request is one line;
// the answer is "ok" or "error <why>" on its first line, then any lines of data, then the host
// closes the connection. Requests: "activate", "quit", "reveal <id>", "pane <path>" (add a pane
// bundle and reveal it), "list" (one line per pane: id, state, name and path, tab-separated),
// "current" (the id of the pane shown), "show <name>" (bring the pane's control <name> into view).
namespace SystemPreferencesChannel {
// The folder of the host's socket and lock, one that only the user may enter: $XDG_RUNTIME_DIR
// when it is such a folder, else SystemPreferences-<uid> in the temporary folder (made 0700, or
// found so and owned by the user), else SystemPreferences in the user's cache folder. Another
// user who made the folder of that name first, or opened it to others, is never trusted. Empty,
// with the reason in *error, when there is none.
QString socketFolder(QString *error = nullptr);
// The socket of the current user's host in socketFolder(); empty when there is no such folder.
QString socketPath(QString *error = nullptr);

struct Reply
{
    bool delivered = false; // a host answered
    bool ok = false;
    QString error; // the host's reason when not ok, or why nothing was delivered
    QStringList lines; // data lines after the first
};

// Sends request to the running host and waits for its whole answer.
Reply send(const QString &request, int timeoutMs = 10000);
// Whether a host answers on the socket.
bool isHostRunning();
// Starts the host program (detached) unless one runs, and waits until it answers. Returns
// false with *error when it cannot be started or does not answer in time.
bool startHost(QString *error = nullptr);
// The host program of this installation.
QString hostProgramPath();
} // namespace SystemPreferencesChannel

#endif
