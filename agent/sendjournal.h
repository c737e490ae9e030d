#ifndef RUVELANT_SENDJOURNAL_H
#define RUVELANT_SENDJOURNAL_H

#include <QDateTime>
#include <QHash>
#include <QString>

// What the agent handed to the mail system, and the event files it refused to remind: a small
// journal in $XDG_STATE_HOME/ruvelant/, so that no reminder goes out twice for one occurrence,
// whether a run ended early (killed, logged out), a calendar cannot be saved, or a sync tool
// puts back the version of an event from before its marker.
//
// One record a line, appended and flushed to disk before record() returns. Each line carries a
// checksum: a line cut short by a crash is recognised and left out, so the journal reads back
// whatever moment the process died at. A hand-over is kept until its occurrence has begun (and
// a margin has passed), and in any case for staleAfterDays; opening drops what is older, and
// then replaces the file when it dropped any, so its size stays that of the records it needs.
class SendJournal
{
public:
    // One occurrence of an event: its calendar, its event (UID) and its start.
    struct Occurrence
    {
        QString calendar;
        QString event;
        QDateTime start;
    };

    // Every record is kept this long at least: the longest reminder lead is 7 days.
    static constexpr int staleAfterDays = 8;
    // A hand-over is kept until this many days after its occurrence began: a run searches a whole
    // day, also one that has begun ("0" days ahead), in any time zone of the day.
    static constexpr int keptAfterStartDays = 2;

    // path: the journal's file; empty means $XDG_STATE_HOME/ruvelant/sent.journal.
    explicit SendJournal(const QString &path = QString());
    ~SendJournal();
    SendJournal(const SendJournal &) = delete;
    SendJournal &operator=(const SendJournal &) = delete;

    QString path() const { return m_path; }

    // Reads the journal (a missing one is empty) and opens it for appending. Returns false with
    // the reason in *error when it cannot be written; what could be read of it still counts, and
    // this run's records are remembered in memory only.
    bool open(const QDateTime &now, QString *error);
    // Reads the journal as it is, to look up what it holds, without writing anything (not even
    // the folder). Returns false with the reason in *error when it exists and cannot be read.
    bool read(const QDateTime &now, QString *error);
    // Whether records reach the file: it is open and no write has failed.
    bool isWritable() const { return m_fd >= 0 && !m_writeFailed; }
    // What open() had to set right, for the log (a symbolic link in the journal's place); empty
    // when nothing.
    QString notice() const { return m_notice; }

    // Whether a reminder to address (compared without regard to case) is recorded for the
    // occurrence: handed over, or refused for good.
    bool handedOver(const Occurrence &occurrence, const QString &address) const;
    // Records one hand-over to address (or a refusal that is not to be tried again).
    bool record(const Occurrence &occurrence, const QString &address, QString *error);

    // Whether the event file with this content was refused (too many reminders) and the refusal
    // is not stale.
    bool isRefused(const QString &file, const QByteArray &fingerprint) const;
    bool refuse(const QString &file, const QByteArray &fingerprint, QString *error);

private:
    // The hand-overs of one occurrence.
    struct Sent
    {
        QDateTime start;
        QHash<QString, QPair<QString, QDateTime>> addresses; // case-folded -> (as sent, recorded)
    };

    // Applies the current records of bytes; returns whether some were dropped (the file would
    // then be replaced by open()).
    bool load(const QByteArray &bytes);
    // Applies one record (its fields as a line holds them); returns false when it adds nothing.
    bool apply(const QList<QByteArray> &fields);
    bool append(const QList<QByteArray> &fields, QString *error);
    bool isCurrent(const QDateTime &recorded, const QDateTime &start = QDateTime()) const;
    QByteArray content() const;

    QString m_path;
    int m_fd = -1;
    bool m_writeFailed = false;
    QString m_notice;
    QDateTime m_now;
    QHash<QByteArray, Sent> m_sent; // by occurrence key
    // file -> (fingerprint, time of the refusal)
    QHash<QString, QPair<QByteArray, QDateTime>> m_refused;
};

#endif
