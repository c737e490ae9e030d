// Adds COUNT event files TAG-0.ics .. to CALENDAR of the store under $XDG_DATA_HOME/calendars,
// querying the store after each (so that each query rewrites its index), so tests can race
// several processes over one index. Exits 1 when a query finds the index unusable or misses one
// of the files added.
#include "calendarstore.h"
#include "throwawayhome.h"
#include "vdircalendarstore.h"
#include "xdgpaths.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        fprintf(stderr, "usage: helper_calendarquery CALENDAR TAG COUNT\n");
        return 2;
    }
    const QString calendar = args.at(1), tag = args.at(2);
    VdirCalendarStore store(xdgDataHome() + QStringLiteral("/calendars"));
    bool unusable = false;
    QObject::connect(&store, &CalendarStore::problemFound, [&](const QString &message) {
        unusable = unusable || message.contains(QLatin1String("calendar index"));
    });
    const QDate day(2010, 3, 5);
    const QString text
        = QString::fromUtf8(readFile(QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/calendars/numbered.ics")));
    for (int i = 0; i < args.at(3).toInt(); ++i) {
        const QString path = store.root() + QLatin1Char('/') + calendar + QStringLiteral("/%1-%2.ics").arg(tag).arg(i);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(text.arg(tag).arg(i).toUtf8());
        file.close();
        const timespec times[2] = {{1262304000, 0}, {1262304000, 0}}; // settled: indexed
        utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
        const QList<Event> events = store.eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
            QDateTime(day, QTime(0, 0)), QDateTime(day, QTime(23, 59, 59)), store.calendars()));
        int mine = 0;
        for (const Event &event : events)
            mine += event.title.startsWith(tag + QLatin1Char(' ')) ? 1 : 0;
        if (unusable || mine != i + 1)
            return 1;
    }
    return 0;
}
