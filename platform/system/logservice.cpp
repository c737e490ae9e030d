#include "logservice.h"

#include "regularfile.h"

#include <QLocale>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <syslog.h>
#include <unistd.h>

const QString LogService::SenderKey = QStringLiteral("Sender");

LogService::LogService(const QString &ident, const QString &facility, int options)
    : m_ident(ident.toUtf8()), m_identText(ident), m_options(options)
{
    // The system log has no facility named like the service's ("Agent"); everything this
    // system writes goes to the user facility.
    Q_UNUSED(facility);
    openlog(m_ident.constData(), LOG_PID, LOG_USER);
}

LogService::~LogService()
{
    close();
}

bool LogService::addLogFile(int fd, qint64 maxBytes)
{
    if (!m_open || fd < 0) {
        return false;
    }
    if (std::none_of(m_files.cbegin(), m_files.cend(), [fd](const File &file) { return file.fd == fd; })) {
        m_files.append({fd, maxBytes, false});
    }
    return true;
}

QString LogService::shortened(const QString &text, int maxBytes)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() <= maxBytes) {
        return text;
    }
    int end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(bytes.at(end)) & 0xc0) == 0x80) {
        --end; // not inside a character
    }
    return QString::fromUtf8(bytes.left(end)) + QStringLiteral("… [cut here: %1 bytes in all]").arg(bytes.size());
}

void LogService::log(const Message *message, int level, const QString &text)
{
    if (!m_open) {
        return;
    }
    QString sender = message ? message->value(SenderKey) : QString();
    if (sender.isEmpty()) {
        sender = m_identText;
    }
    const QString shown = shortened(text);
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray record = formatRecord(now, QSysInfo::machineHostName(), sender, getpid(), level, shown);
    // One write(2) per record, so that records of processes writing to the same file at the
    // same time do not interleave; a short write (full disk, signal) is completed.
    bool taken = false;
    for (File &file : m_files) {
        if (file.full) {
            continue;
        }
        if (file.left < 0 || record.size() <= file.left) {
            RegularFile::writeAll(file.fd, record);
            file.left -= file.left < 0 ? 0 : record.size();
            taken = true;
        } else {
            // Said once; the file is not written again through this connection.
            RegularFile::writeAll(file.fd,
                                  formatRecord(now, QSysInfo::machineHostName(), sender, getpid(), Error,
                                               QStringLiteral("This process has written as much as it may into "
                                                              "this file; its further messages go to standard "
                                                              "error and the system log only")));
            file.full = true;
        }
    }
    if ((m_options & CopyToStandardError) || ((m_options & StandardErrorWhenNoFile) && !taken)) {
        RegularFile::writeAll(STDERR_FILENO, record);
    }
    syslog(LOG_USER | qBound(int(Emergency), level, int(Debug)), "%s", shown.toUtf8().constData());
}

void LogService::close()
{
    if (!m_open) {
        return;
    }
    m_open = false;
    m_files.clear();
    closelog();
}

void LogService::consoleLog(const QString &text)
{
    const QString program = QString::fromLocal8Bit(program_invocation_short_name);
    RegularFile::writeAll(
        STDERR_FILENO,
        formatRecord(QDateTime::currentDateTime(), QSysInfo::machineHostName(), program, getpid(), Warning, text));
    syslog(LOG_USER | LOG_WARNING, "%s", text.toUtf8().constData());
}

QString LogService::levelName(int level)
{
    static const char *const names[]
        = {"Emergency", "Alert", "Critical", "Error", "Warning", "Notice", "Info", "Debug"};
    return QLatin1String(names[qBound(int(Emergency), level, int(Debug))]);
}

QByteArray LogService::formatRecord(const QDateTime &time, const QString &host, const QString &sender, qint64 pid,
                                    int level, const QString &text)
{
    // The time stamp is read by people and tools in any locale: English month names and ASCII
    // digits always.
    static const char *const months[]
        = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate date = time.date();
    QByteArray record;
    record.reserve(64 + text.size() * 3);
    record += months[qBound(1, date.month(), 12) - 1];
    record += ' ';
    record += QByteArray::number(date.day()).rightJustified(2, ' ');
    record += ' ';
    record += QLocale::c().toString(time.time(), QStringLiteral("HH:mm:ss")).toLatin1(); // ASCII digits
    record += ' ';
    record += host.toUtf8();
    record += ' ';
    record += sender.toUtf8();
    record += '[' + QByteArray::number(pid) + "] <" + levelName(level).toLatin1() + ">: ";

    // A line break continues the record on a line that begins with a tab; any other control
    // character is shown as ^X so that it can neither end nor garble the record.
    const QByteArray bytes = text.toUtf8();
    for (int i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < bytes.size() && bytes.at(i + 1) == '\n') {
                ++i;
            }
            record += "\n\t";
        } else if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) {
            record += '^';
            record += char(c ^ 0x40);
        } else {
            record += c;
        }
    }
    record += '\n';
    return record;
}

QList<LogService::Record> LogService::parseRecords(const QByteArray &data, const QDate &today)
{
    static const QRegularExpression head(QStringLiteral(
        "^([A-Z][a-z]{2}) ([ \\d]\\d) (\\d\\d):(\\d\\d):(\\d\\d) (\\S+) (.+?)\\[(\\d+)\\] <([A-Za-z]+)>: (.*)$"));
    static const QStringList months {QStringLiteral("Jan"), QStringLiteral("Feb"), QStringLiteral("Mar"),
                                     QStringLiteral("Apr"), QStringLiteral("May"), QStringLiteral("Jun"),
                                     QStringLiteral("Jul"), QStringLiteral("Aug"), QStringLiteral("Sep"),
                                     QStringLiteral("Oct"), QStringLiteral("Nov"), QStringLiteral("Dec")};
    QList<Record> records;
    bool continuable = false; // the last line was a record or one of its continuations
    const QList<QByteArray> lines = data.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines.at(i));
        if (i == lines.size() - 1) {
            break; // the text after the last line break: empty, or a record still being written
        }
        if (line.startsWith(QLatin1Char('\t'))) {
            if (continuable) {
                records.last().text += QLatin1Char('\n') + line.mid(1);
            }
            continue;
        }
        const QRegularExpressionMatch match = head.match(line);
        const int month = months.indexOf(match.captured(1)) + 1;
        const int day = match.captured(2).trimmed().toInt();
        continuable = match.hasMatch() && month > 0;
        if (!continuable) {
            continue;
        }
        // The record names no year: the latest one that does not put it after today.
        QDate date(today.year(), month, day);
        if (!date.isValid() || date > today) {
            date = QDate(today.year() - 1, month, day);
        }
        Record record;
        record.time
            = QDateTime(date, QTime(match.captured(3).toInt(), match.captured(4).toInt(), match.captured(5).toInt()));
        record.host = match.captured(6);
        record.sender = match.captured(7);
        record.pid = match.captured(8).toLongLong();
        static const QStringList levels {
            QStringLiteral("Emergency"), QStringLiteral("Alert"),  QStringLiteral("Critical"), QStringLiteral("Error"),
            QStringLiteral("Warning"),   QStringLiteral("Notice"), QStringLiteral("Info"),     QStringLiteral("Debug")};
        record.level = qMax(0, levels.indexOf(match.captured(9)));
        record.text = match.captured(10);
        records.append(record);
    }
    return records;
}
