#ifndef RUVELANT_COMPLETEDDAY_H
#define RUVELANT_COMPLETEDDAY_H

#include <QDate>
#include <QString>

#include <optional>

// The last reminder day that a run completed (searched, and handed over all it found), kept
// beside the agent's send journal in $XDG_STATE_HOME/ruvelant/: "reminder-day" and an ISO date on
// one line. Like the journal it is a regular file of the agent's own, never read or written
// through a symbolic link, and replaced in one step.
class CompletedDay
{
public:
    // path: the record's file; empty means $XDG_STATE_HOME/ruvelant/completed-day.
    explicit CompletedDay(const QString &path = QString());

    QString path() const { return m_path; }

    // The recorded reminder day. Earlier versions recorded the day of the run instead (a bare ISO
    // date): that is read as the day daysBeforeEventStart days after it, the day its runs
    // reminded. nullopt when there is no record yet, or when what stands there is no record of
    // this program (a symbolic link, a FIFO, a folder, other text): *notice (when given) then says
    // so, for the log. Writes nothing.
    std::optional<QDate> read(int daysBeforeEventStart, QString *notice = nullptr) const;
    // Records reminderDay. What stood there and could not be read is put aside as
    // <path>.unreadable first (a symbolic link is replaced, its target left as it was). Returns
    // false with the reason in *error.
    bool write(const QDate &reminderDay, QString *error) const;

private:
    QString m_path;
};

#endif
