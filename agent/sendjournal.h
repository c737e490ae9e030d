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
// Beside the hand-overs it keeps the versions of an occurrence (see Event::Origin::version) that
// were read before its marker was saved. An unmarked occurrence that is one of them again had its
// marker undone by a sync tool: its reminders stand. Any other version without the marker is a
// new edit of the event that removed it: its reminders go out again.
//
// One record a line, appended and flushed to disk before record() returns. Each line carries a
// checksum: a line cut short by a crash is recognised and left out, so the journal reads back
// whatever moment the process died at. A hand-over is kept until its occurrence has begun (and
// a margin has passed), and in any case for staleAfterDays; opening drops what is older, and
// then replaces the file when it dropped any, so its size stays that of the records it needs.
// Records of kinds it does not know are passed over, so that an older agent reads a newer
// journal's hand-overs.
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
    // occurrence: handed over, or refused for good; not when the occurrence, read as version, had
    // its marker removed (see isMarkerRemoved). An empty version is taken for a known one.
    bool handedOver(const Occurrence &occurrence, const QString &address,
                    const QByteArray &version = QByteArray()) const;
    // Records one hand-over to address (or a refusal that is not to be tried again).
    bool record(const Occurrence &occurrence, const QString &address, QString *error);

    // Whether the occurrence was marked after its reminders and version (not empty) is none of
    // the versions read before that: its marker was removed by an edit of the event.
    bool isMarkerRemoved(const Occurrence &occurrence, const QByteArray &version) const;
    // Records that the marker was saved into the occurrence read as version (not empty).
    bool recordMarked(const Occurrence &occurrence, const QByteArray &version, QString *error);
    // Forgets the occurrence's hand-overs and marked versions: its reminders go out again.
    bool forget(const Occurrence &occurrence, QString *error);
    // Forgets them, and asks the next run to remind the occurrence whatever day it searches
    // ("Send Again"), until it is marked again or has begun.
    bool requestAgain(const Occurrence &occurrence, QString *error);
    // The occurrences asked for by requestAgain() that are not marked yet.
    QList<Occurrence> requested() const;

    // Whether the event file with this content was refused (too many reminders) and the refusal
    // is not stale.
    bool isRefused(const QString &file, const QByteArray &fingerprint) const;
    bool refuse(const QString &file, const QByteArray &fingerprint, QString *error);

private:
    // The hand-overs of one occurrence, the versions it was marked in, and a request to send again.
    struct Sent
    {
        Occurrence occurrence;
        QHash<QString, QPair<QString, QDateTime>> addresses; // case-folded -> (as sent, recorded)
        QHash<QByteArray, QDateTime> marked; // version read before marking -> recorded
        QDateTime requested; // when requestAgain() was recorded; null when not asked
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
