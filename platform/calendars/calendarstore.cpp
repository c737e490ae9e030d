#include "calendarstore.h"

#include "vdircalendarstore.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

const QString CalendarStore::CalCalendarTypeLocal = QStringLiteral("Local");
const QString CalendarStore::CalInsertedRecordsKey = QStringLiteral("CalInsertedRecordsKey");
const QString CalendarStore::CalDeletedRecordsKey = QStringLiteral("CalDeletedRecordsKey");
const QString CalendarStore::CalUpdatedRecordsKey = QStringLiteral("CalUpdatedRecordsKey");

namespace {
CalendarStore *g_replacement = nullptr;
VdirCalendarStore *g_made = nullptr;

QString calendarsRoot()
{
    return QDir::cleanPath(xdgDataHome() + QStringLiteral("/calendars"));
}
} // namespace

CalendarStore::~CalendarStore() = default;

CalendarStore *CalendarStore::defaultCalendarStore()
{
    if (g_replacement)
        return g_replacement;
    const QString root = calendarsRoot();
    if (!g_made || g_made->root() != root) {
        // A store made for an earlier root stays alive (callers may still hold it) but goes quiet.
        static auto *retired = new QList<VdirCalendarStore *>; // never destroyed either
        if (g_made) {
            g_made->stopWatching();
            retired->append(g_made);
        }
        g_made = new VdirCalendarStore(root);
    }
    return g_made;
}

std::unique_ptr<CalendarStore> CalendarStore::makeUserCalendarStore()
{
    return std::make_unique<VdirCalendarStore>(calendarsRoot());
}

void CalendarStore::setDefaultCalendarStore(CalendarStore *store)
{
    g_replacement = store;
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
