// ruvelant upcoming: the lines of the pane's Upcoming tab, from the same decisions, as text or
// JSON.
#include "ComKestramoPreferenceQuorvelModel.h"
#include "bundle.h"
#include "calendarstore.h"
#include "commandline.h"
#include "dateformatter.h"
#include "installedpane.h"
#include "reminderpreview.h"
#include "subcommands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {
constexpr int maxDays = 366;

// A moment as ISO 8601 with the offset of its place in local time: 2010-03-05T09:00:00+01:00.
QString isoText(const QDateTime &moment)
{
    const QDateTime local = moment.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QJsonObject lineObject(const PreviewRow &row, const QString &reminder)
{
    QJsonObject line {
        {QStringLiteral("runDay"), row.reminderDay.toString(Qt::ISODate)},
        {QStringLiteral("start"), isoText(row.event.startDate)},
        {QStringLiteral("end"), isoText(row.event.endDate)},
        {QStringLiteral("event"), row.event.title},
        {QStringLiteral("calendar"), row.event.calendarUid},
        {QStringLiteral("calendarTitle"), row.calendarTitle},
        {QStringLiteral("decision"),
         QLatin1String(row.hasAttendee ? verdictName(row.attendee.verdict) : verdictName(row.eventVerdict))},
        {QStringLiteral("reminder"), reminder},
    };
    if (row.hasAttendee) {
        line.insert(QStringLiteral("attendee"),
                    QJsonObject {{QStringLiteral("name"), row.attendee.attendee.commonName},
                                 {QStringLiteral("address"),
                                  row.attendee.address.isNull() ? QJsonValue(QJsonValue::Null)
                                                                : QJsonValue(row.attendee.address)}});
        if (row.attendee.verdict == AttendeeDecision::Remind) {
            line.insert(QStringLiteral("subject"), row.subject);
            line.insert(QStringLiteral("hasCard"), row.hasCard);
            if (!row.lateDue.isNull()) {
                line.insert(QStringLiteral("lateDue"), row.lateDue.toString(Qt::ISODate));
            }
        }
    }
    return line;
}
} // namespace

int upcomingCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("upcoming [--days N] [--from DATE] [--json]"),
                        QStringLiteral("Lists the events of the coming days and who gets a reminder (with its "
                                       "subject), or why not, as the pane's Upcoming tab does, from the same "
                                       "decisions as the agent's runs: one line each, in the order of the events' "
                                       "starts. Nothing is sent or written."));
    QCommandLineParser &parser = line.parser();
    const QCommandLineOption days(QStringLiteral("days"),
                                  QStringLiteral("The runs of the next N days (1 to %1; default 7).").arg(maxDays),
                                  QStringLiteral("N"), QStringLiteral("7"));
    const QCommandLineOption from(
        QStringLiteral("from"), QStringLiteral("The runs from the start of DATE (YYYY-MM-DD) on, instead of from now."),
        QStringLiteral("DATE"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Writes the lines as JSON, for scripts."));
    parser.addOptions({days, from, json});
    const int status = line.parse(arguments, 0, 0);
    if (status >= 0) {
        return status;
    }
    bool number = false;
    const int dayCount = parser.value(days).toInt(&number);
    if (!number || dayCount < 1 || dayCount > maxDays) {
        return Output::fail(QStringLiteral("--days takes a number of days from 1 to %1, not \"%2\"")
                                .arg(maxDays)
                                .arg(parser.value(days)),
                            ExitStatus::Usage);
    }
    QDateTime now = QDateTime::currentDateTime();
    if (parser.isSet(from)) {
        const QDate date = QDate::fromString(parser.value(from), Qt::ISODate);
        if (!date.isValid()) {
            return Output::fail(QStringLiteral("--from takes a date as YYYY-MM-DD, not \"%1\"").arg(parser.value(from)),
                                ExitStatus::Usage);
        }
        now = date.startOfDay();
    }

    InstalledPane pane;
    if (const int failed = pane.open(ExitStatus::Failure); failed >= 0) {
        return failed;
    }
    const ComKestramoPreferenceQuorvelModel model(false);
    PreviewRequest request = PreviewRequest::fromModel(model, now);
    request.dayCount = dayCount;
    QList<PreviewRow> rows = ReminderPreview::compute(request, *CalendarStore::defaultCalendarStore());
    ReminderPreview::sortByStart(rows);
    ReminderPreview::findCards(rows);

    const auto texts
        = [&pane](const char *key) { return pane.texts().localizedStringForKey(QLatin1String(key), QString()); };
    if (parser.isSet(json)) {
        QJsonArray lines;
        for (const PreviewRow &row : qAsConst(rows)) {
            lines.append(lineObject(row, ReminderPreview::reminderText(row, texts, model.mailContent())));
        }
        const QJsonObject document {{QStringLiteral("remindersOn"), model.quorvelEnabled()},
                                    {QStringLiteral("daysBeforeEventStart"), request.daysBeforeEventStart},
                                    {QStringLiteral("lines"), lines}};
        std::fputs(QJsonDocument(document).toJson(QJsonDocument::Indented).constData(), stdout);
        return ExitStatus::Success;
    }

    if (!model.quorvelEnabled()) {
        Output::note(QStringLiteral("Reminders are off: nothing is sent. If they were on:"));
    }
    if (rows.isEmpty()) {
        Output::note(QStringLiteral("No events in the calendars of the settings for the runs of the next %1 days.")
                         .arg(dayCount));
    }
    const DateFormatter day(DateFormatter::ShortStyle, DateFormatter::NoStyle);
    const DateFormatter time(DateFormatter::NoStyle, DateFormatter::ShortStyle);
    for (const PreviewRow &row : qAsConst(rows)) {
        const QDateTime start = row.event.startDate.toLocalTime();
        const QString attendee = ReminderPreview::attendeeText(row);
        Output::line(QStringLiteral("%1 %2  %3 (%4)%5: %6")
                         .arg(day.stringFromDate(start), time.stringFromDate(start), row.event.title, row.calendarTitle,
                              attendee.isEmpty() ? QString() : QStringLiteral("  ") + attendee,
                              ReminderPreview::reminderText(row, texts, model.mailContent())));
    }
    return ExitStatus::Success;
}
