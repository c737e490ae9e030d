#ifndef RUVELANT_LOGSERVICE_H
#define RUVELANT_LOGSERVICE_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

// A connection to the logging service: every message becomes one text record
// "Mar  5 14:05:00 host Sender[pid] <Level>: text" in each added file (and on standard error
// when asked: every record, or those that no file took), and goes to the system log through syslog(3) under the
// connection's identity. A message's line breaks continue the record on lines that begin with a tab; other control
// characters are shown as ^X, so every record starts at column 0 with its time stamp. A message
// longer than maxMessageSize is cut, with a note of its whole length.
class LogService
{
public:
    enum Level { Emergency = 0, Alert = 1, Critical = 2, Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };
    enum Option { NoOption = 0, CopyToStandardError = 1, StandardErrorWhenNoFile = 2 };

    // A message template: attributes that every message sent with it carries ("Sender").
    class Message
    {
    public:
        void set(const QString &key, const QString &value) { m_attributes.insert(key, value); }
        QString value(const QString &key) const { return m_attributes.value(key); }

    private:
        QMap<QString, QString> m_attributes;
    };

    static const QString SenderKey; // "Sender"
    // The longest message, in bytes of UTF-8, that a record holds whole.
    static constexpr int maxMessageSize = 4096;

    // Opens a connection; ident names the process in the system log (and is the sender of
    // messages whose template has none). options: a combination of Option values.
    LogService(const QString &ident, const QString &facility, int options);
    ~LogService(); // closes
    LogService(const LogService &) = delete;
    LogService &operator=(const LogService &) = delete;

    // Adds an open file descriptor that receives every later record. The caller keeps
    // ownership and must not close it while it is added. Returns false for an invalid one.
    // maxBytes (when not negative): what this connection may write to it at most; the record
    // that would go past it is replaced by one saying so, and later ones go to the other outputs.
    bool addLogFile(int fd, qint64 maxBytes = -1);

    // Sends text at level with the attributes of message (may be nullptr). The text is taken
    // as it is: no format directives.
    void log(const Message *message, int level, const QString &text);

    // Ends the connection; later calls to log do nothing.
    void close();

    // The console line of the platform: one record to standard error and the system log
    // (never to a log file) from this program at warning level.
    static void consoleLog(const QString &text);

    // The record for one message, ending in a line break.
    static QByteArray formatRecord(const QDateTime &time, const QString &host, const QString &sender, qint64 pid,
                                   int level, const QString &text);
    // text itself, or when it is longer than maxBytes in UTF-8, its start with a note of its length.
    static QString shortened(const QString &text, int maxBytes = maxMessageSize);
    // "Error", "Info", ...; levels beyond the range take the nearest name.
    static QString levelName(int level);

    // One record read back from a log file.
    struct Record
    {
        QDateTime time; // local time; the year is the latest that puts it no later than the day read
        QString host;
        QString sender;
        qint64 pid = 0;
        int level = Info;
        QString text; // continuation lines joined with line breaks
    };
    // The records of a log file's content, in file order. Lines that are no record (a torn
    // last line, foreign text) are left out. today: the day the records are read on.
    static QList<Record> parseRecords(const QByteArray &data, const QDate &today);

private:
    QByteArray m_ident; // kept alive for openlog(3)
    QString m_identText;
    int m_options;
    bool m_open = true;
    struct File
    {
        int fd;
        qint64 left; // bytes it may still receive; negative: no bound
        bool full = false; // said so, and receives nothing more
    };
    QList<File> m_files;
};

#endif
