// The calendar store's reader and its minimal editor on any bytes as an event file: the query
// around the first event's start, then the notes of its first occurrences saved as the agent
// saves them. A save that succeeds must hold (the occurrence reads back with the new notes, every
// other occurrence as before) and change no byte of the file but one DESCRIPTION line, or add
// one override, or split a this-and-future override in two.
#include "fuzzsupport.h"
#include "icalreader.h"
#include "icaltext.h"
#include "vdircalendarstore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>

namespace {
QTemporaryDir *root = nullptr;

QString eventPath()
{
    return root->filePath(QStringLiteral("cal/event.ics"));
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The start of the file's first readable event, else a fixed day.
QDateTime firstStart(const QByteArray &bytes)
{
    const auto text = ICalText::parse(bytes, nullptr);
    if (!text)
        return QDateTime(QDate(2010, 3, 5), QTime(0, 0));
    const ICalReader reader(*text);
    for (const ICalText::Component &component : text->calendar().children) {
        QSet<QByteArray> unknownZones;
        const auto event = component.name == "VEVENT" ? reader.event(component, &unknownZones) : nullptr;
        if (event && event->dtStart().isValid())
            return event->dtStart();
    }
    return QDateTime(QDate(2010, 3, 5), QTime(0, 0));
}

// One line per occurrence: what a reader of the store sees of it.
QStringList described(const QList<Event> &events)
{
    QStringList out;
    for (const Event &event : events)
        out.append(QStringList {event.title, event.startDate.toUTC().toString(Qt::ISODate),
                                event.endDate.toUTC().toString(Qt::ISODate), event.notes, event.origin.uid,
                                event.origin.recurrenceId.toUTC().toString(Qt::ISODate)}
                       .join(QLatin1Char('|')));
    out.sort();
    return out;
}

// Whether after differs from before in one content line (a DESCRIPTION line replaced or added)
// or in one added component, every other byte the same. A file of bare components may also get
// the VCALENDAR around them (and a line end after its last line).
bool minimalEdit(const QByteArray &before, const QByteArray &after)
{
    const auto original = ICalText::parse(before, nullptr), changed = ICalText::parse(after, nullptr);
    if (!original || !changed)
        return false;
    const int n = original->lineCount();
    const bool wrapped = original->isBare() && !changed->isBare();
    const int first = wrapped ? 1 : 0, m = changed->lineCount() - (wrapped ? 1 : 0);
    if (wrapped && (ICalText::name(changed->line(0)) != "BEGIN" || ICalText::name(changed->line(m)) != "END"))
        return false;
    const auto same = [&](int i, int j) {
        QByteArray a = original->physical(i), b = changed->physical(j);
        if (wrapped && i == n - 1) {
            while (a.endsWith('\n') || a.endsWith('\r'))
                a.chop(1);
            b.truncate(a.size());
        }
        return a == b;
    };
    int head = 0, tail = 0;
    while (head < n && first + head < m && same(head, first + head))
        ++head;
    while (tail < n && tail < m - first && same(n - 1 - tail, m - 1 - tail))
        ++tail;
    const auto names = [&](int from, int count) {
        QList<QByteArray> out;
        for (int i = from; i < from + count; ++i)
            out.append(ICalText::name(changed->line(i)));
        return out;
    };
    const int count = m - first - n; // lines added
    if (count == 0) // one line replaced: a DESCRIPTION line by a DESCRIPTION line
        return head + std::min(tail, n - head) == n - 1 && ICalText::name(original->line(head)) == "DESCRIPTION"
            && names(first + head, 1) == QList<QByteArray> {"DESCRIPTION"};
    // Lines added at some place p that leaves the lines before it and after it as they were: a
    // DESCRIPTION line, or one component that may hold copies of the series' own components (its
    // alarms), with one RECURRENCE-ID and one DESCRIPTION of its own.
    const auto wellFormed = [](const QList<QByteArray> &added) {
        if (added == QList<QByteArray> {"DESCRIPTION"})
            return true;
        int depth = 0, recurrenceIds = 0, descriptions = 0;
        for (int i = 0; i < added.size(); ++i) {
            if (added.at(i) == "BEGIN")
                ++depth;
            else if (added.at(i) == "END" && --depth == 0 && i != added.size() - 1)
                return false;
            recurrenceIds += depth == 1 && added.at(i) == "RECURRENCE-ID";
            descriptions += depth == 1 && added.at(i) == "DESCRIPTION";
        }
        return added.first() == "BEGIN" && depth == 0 && recurrenceIds == 1 && descriptions == 1;
    };
    for (int p = std::max(0, n - tail); count > 0 && p <= head; ++p) {
        if (wellFormed(names(first + p, count)))
            return true;
    }
    return false;
}
// The line of component's own RECURRENCE-ID, -1 when it has none.
int recurrenceIdLine(const ICalText &text, const ICalText::Component &component)
{
    for (int index : component.properties) {
        if (ICalText::name(text.line(index)) == "RECURRENCE-ID")
            return index;
    }
    return -1;
}

bool thisAndFuture(const QByteArray &line)
{
    return ICalText::parameter(line, "RANGE").toUpper() == "THISANDFUTURE";
}

// Whether after is before with a this-and-future override split: the override lost RANGE from
// its RECURRENCE-ID (same time, same zone) and has its notes edited, and a copy that carries the
// range on follows it. Without the copy and with the range given back, the file must be a
// minimal edit of before.
bool splitEdit(const QByteArray &before, const QByteArray &after)
{
    const auto original = ICalText::parse(before, nullptr), changed = ICalText::parse(after, nullptr);
    if (!original || !changed)
        return false;
    const QList<ICalText::Component> &components = changed->calendar().children;
    for (int c = 0; c + 1 < components.size(); ++c) {
        const ICalText::Component &copy = components.at(c + 1);
        const int own = recurrenceIdLine(*changed, components.at(c));
        const int copied = recurrenceIdLine(*changed, copy);
        if (own < 0 || copied < 0 || thisAndFuture(changed->line(own)) || !thisAndFuture(changed->line(copied)))
            continue;
        const QByteArray split = changed->line(own);
        for (int k = 0; k < original->lineCount(); ++k) {
            const QByteArray line = original->line(k);
            if (ICalText::name(line) != "RECURRENCE-ID" || !thisAndFuture(line)
                || ICalText::value(line) != ICalText::value(split)
                || ICalText::parameter(line, "TZID") != ICalText::parameter(split, "TZID"))
                continue;
            QByteArray undone;
            for (int i = 0; i < changed->lineCount(); ++i) {
                if (i < copy.begin || i > copy.end)
                    undone += i == own ? original->physical(k) : changed->physical(i);
            }
            if (minimalEdit(before, undone))
                return true;
        }
    }
    return false;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    root = new QTemporaryDir;
    QDir(root->path()).mkdir(QStringLiteral("cal"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzzInput(data, size);
    {
        QFile file(eventPath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            abort();
    }
    VdirCalendarStore store(root->filePath(QStringLiteral(".")));
    const QDateTime start = firstStart(bytes);
    const auto predicate = CalendarStore::eventPredicateWithStartDate(
        start.addDays(-1), start.addDays(2), {{QStringLiteral("cal"), QStringLiteral("cal"), QString()}});
    const QList<Event> events = store.eventsWithPredicate(predicate);
    for (int i = 0; i < std::min<int>(2, events.size()); ++i) {
        Event event = events.at(i);
        const QStringList others = described(store.eventsWithPredicate(predicate));
        const QByteArray before = contentOf(eventPath());
        event.notes = event.notes.isEmpty() ? QStringLiteral("(*)") : event.notes + QStringLiteral(" (*)");
        if (!store.saveEvent(event, CalendarStore::CalSpanThisEvent, nullptr))
            continue;
        const QByteArray after = contentOf(eventPath());
        const bool minimal = minimalEdit(before, after) || splitEdit(before, after);
        if (!minimal) {
            QFile::copy(eventPath(), QStringLiteral("edited.ics"));
            fprintf(stderr, "the save changed more than the notes: see edited.ics\n");
        }
        FUZZ_ASSERT(minimal);
        QStringList now = described(store.eventsWithPredicate(predicate));
        QStringList expected = others;
        FUZZ_ASSERT(expected.removeOne(described({events.at(i)}).first()));
        if (!now.contains(described({event}).first()))
            fprintf(stderr, "saved %s\nread back:\n%s\n", qPrintable(described({event}).first()),
                    qPrintable(now.join(QLatin1Char('\n'))));
        FUZZ_ASSERT(now.removeOne(described({event}).first()));
        FUZZ_ASSERT(now == expected);
    }
    return 0;
}
