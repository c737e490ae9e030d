#ifndef RUVELANT_SENDJOURNAL_H
#define RUVELANT_SENDJOURNAL_H

#include <QDateTime>
#include <QHash>
#include <QString>

// What the agent handed to the mail system for occurrences whose marker is not saved yet, and
// the event files it refused to remind: a small journal in $XDG_STATE_HOME/ruvelant/, so that a
// run that ends early (killed, logged out, a calendar that cannot be saved) is not followed by a
// second copy of the same reminder.
//
// One record a line, appended and flushed to disk before record() returns. Each line carries a
// checksum: a line cut short by a crash is recognised and left out, so the journal reads back
// whatever moment the process died at. Opening drops stale records and those of occurrences
// marked since, and then replaces the file atomically when it dropped any.
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

    // Records older than this are dropped: the longest reminder lead is 7 days, so by then every
    // occurrence a record names has begun and no run reminds it again.
    static constexpr int staleAfterDays = 8;

    // path: the journal's file; empty means $XDG_STATE_HOME/ruvelant/sent.journal.
    explicit SendJournal(const QString &path = QString());
    ~SendJournal();
    SendJournal(const SendJournal &) = delete;
    SendJournal &operator=(const SendJournal &) = delete;

    QString path() const { return m_path; }

    // Reads the journal (a missing one is empty) and opens it for appending. Returns false with
    // the reason in *error when it cannot; the journal then remembers this run's records in
    // memory only.
    bool open(const QDateTime &now, QString *error);
    // Reads the journal as it is, to look up what it holds, without writing anything (not even
    // the folder). Returns false with the reason in *error when it exists and cannot be read.
    bool read(const QDateTime &now, QString *error);

    // How many hand-overs to address are recorded for the occurrence.
    int handedOver(const Occurrence &occurrence, const QString &address) const;
    // Records one hand-over to address (or a refusal that is not to be tried again).
    bool record(const Occurrence &occurrence, const QString &address, QString *error);
    // Drops the records of the occurrence: its marker is saved.
    bool forget(const Occurrence &occurrence, QString *error);

    // Whether the event file with this content was refused (too many reminders) and the refusal
    // is not stale.
    bool isRefused(const QString &file, const QByteArray &fingerprint) const;
    bool refuse(const QString &file, const QByteArray &fingerprint, QString *error);

private:
    // Applies the current records of bytes; returns whether some were dropped (the file would
    // then be rewritten by open()).
    bool load(const QByteArray &bytes);
    bool append(const QList<QByteArray> &fields, QString *error);
    void apply(const QList<QByteArray> &fields);
    bool rewrite(QString *error);

    QString m_path;
    int m_fd = -1;
    QDateTime m_now;
    // occurrence key -> address -> (hand-overs, time of the latest)
    QHash<QByteArray, QHash<QString, QPair<int, QDateTime>>> m_sent;
    // file -> (fingerprint, time of the refusal)
    QHash<QString, QPair<QByteArray, QDateTime>> m_refused;
};

#endif
