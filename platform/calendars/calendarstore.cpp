#include "calendarstore.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

const QString CalendarStore::CalCalendarTypeLocal = QStringLiteral("Local");
const QString CalendarStore::CalInsertedRecordsKey = QStringLiteral("CalInsertedRecordsKey");
const QString CalendarStore::CalDeletedRecordsKey = QStringLiteral("CalDeletedRecordsKey");
const QString CalendarStore::CalUpdatedRecordsKey = QStringLiteral("CalUpdatedRecordsKey");

CalendarStore::~CalendarStore() = default;

bool CalendarStore::isUnreachable(const QString &) const
{
    return false;
}

bool CalendarStore::isReadOnly(const Event &event) const
{
    // The file a save writes (through a symbolic link: its target), and the folder that holds it.
    const QString target
        = event.origin.filePath.isEmpty() ? QString() : QFileInfo(event.origin.filePath).canonicalFilePath();
    return !target.isEmpty() && !readOnlyReason(target).isEmpty();
}

QString CalendarStore::readOnlyReason(const QString &target)
{
    // A file or folder without any write permission is read-only by intent, even for a user
    // (root) who could write it; one that this user may not write is read-only too.
    const auto readOnly = [](const QString &at) {
        struct stat st
        {
        };
        const QByteArray native = QFile::encodeName(at);
        return ::stat(native.constData(), &st) == 0
            && ((st.st_mode & 0222) == 0 || ::access(native.constData(), W_OK) != 0);
    };
    if (readOnly(target)) {
        return QStringLiteral("%1 is read-only").arg(target);
    }
    if (readOnly(QFileInfo(target).absolutePath())) {
        return QStringLiteral("the folder of %1 is read-only").arg(target);
    }
    return QString();
}
