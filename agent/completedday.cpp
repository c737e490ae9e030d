#include "completedday.h"

#include "regularfile.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A record is one short line: anything larger is not one of ours.
constexpr qint64 maxRecordSize = 64;

// The word in front of the date of a reminder day; a bare date is the record of a run's day.
const QByteArray reminderDayKey = QByteArrayLiteral("reminder-day ");

struct Reading
{
    bool exists = false;
    bool symlink = false;
    std::optional<QDate> day;
    bool runDay = false; // day is the day of a run, as earlier versions recorded it
    QString why; // when it exists and is no record
};

Reading readRecord(const QString &path)
{
    Reading reading;
    const QByteArray native = QFile::encodeName(path);
    struct stat st
    {
    };
    if (::lstat(native.constData(), &st) != 0)
        return reading;
    reading.exists = true;
    reading.symlink = S_ISLNK(st.st_mode);
    const int fd = RegularFile::open(path, O_RDONLY | O_NOFOLLOW, 0, &reading.why);
    if (fd < 0)
        return reading;
    QByteArray bytes;
    const bool whole = RegularFile::readAll(fd, maxRecordSize, &bytes, &reading.why);
    ::close(fd);
    if (!whole)
        return reading;
    bytes = bytes.trimmed();
    reading.runDay = !bytes.startsWith(reminderDayKey);
    if (!reading.runDay)
        bytes = bytes.mid(reminderDayKey.size());
    const QDate day = QDate::fromString(QString::fromLatin1(bytes), Qt::ISODate);
    if (day.isValid())
        reading.day = day;
    else
        reading.why = QStringLiteral("it holds no date");
    return reading;
}
} // namespace

CompletedDay::CompletedDay(const QString &path)
    : m_path(path.isEmpty() ? xdgStateHome() + QStringLiteral("/ruvelant/completed-day") : path)
{
}

std::optional<QDate> CompletedDay::read(int daysBeforeEventStart, QString *notice) const
{
    const Reading reading = readRecord(m_path);
    if (reading.exists && !reading.day && notice) {
        *notice = QStringLiteral("%1 cannot be read (%2); this run does not look for missed reminders")
                      .arg(m_path, reading.why);
    }
    if (reading.day && reading.runDay) {
        return reading.day->addDays(daysBeforeEventStart);
    }
    return reading.day;
}

bool CompletedDay::write(const QDate &reminderDay, QString *error) const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const Reading reading = readRecord(m_path);
    if (reading.exists && !reading.day && !reading.symlink) {
        // Never lost: what could not be read stays beside the new record.
        const QString aside = m_path + QStringLiteral(".unreadable");
        QFile::remove(aside);
        if (std::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(aside).constData()) != 0) {
            *error = QStringLiteral("cannot put %1 aside").arg(m_path);
            return false;
        }
    }
    QString why;
    if (!RegularFile::replace(m_path, reminderDayKey + reminderDay.toString(Qt::ISODate).toLatin1() + '\n', 0600,
                              &why)) {
        *error = QStringLiteral("cannot write %1 (%2)").arg(m_path, why);
        return false;
    }
    return true;
}
