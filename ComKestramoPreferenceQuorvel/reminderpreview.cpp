#include "reminderpreview.h"

#include "ComKestramoPreferenceQuorvelModel.h"
#include "completedday.h"
#include "composition.h"
#include "dateformatter.h"
#include "sendagain.h"
#include "textnumber.h"
#include "watchedpaths.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QThread>
#include <QTimer>

#include <algorithm>

PreviewRequest PreviewRequest::fromModel(const ComKestramoPreferenceQuorvelModel &model, const QDateTime &now)
{
    PreviewRequest request;
    request.daysBeforeEventStart = leadingInteger(model.daysBeforeEventStart());
    request.now = now;
    request.calendars = calendarUids(model, true);
    const QStringList enabled = calendarUids(model, false);
    request.enabledCalendars = QSet<QString>(enabled.cbegin(), enabled.cend());
    request.mailTitle = model.mailTitle();
    request.sendMissedReminders = model.sendMissedReminders();
    // The user's own addresses, as the agent takes them: those of the "me" card.
    const QStringList emails = model.userEmails();
    request.ownAddresses = emails.mid(1);
    return request;
}

QList<PreviewRow> ReminderPreview::compute(const PreviewRequest &request, CalendarStore &store)
{
    // What earlier runs handed over, read as it is: the preview writes nothing.
    SendJournal journal(request.journalPath);
    QString error;
    journal.read(request.now, &error);
    DecisionSources sources;
    sources.isMine = [own = request.ownAddresses](const QString &address) { return own.contains(address); };
    sources.handedOver
        = [&journal](const SendJournal::Occurrence &occurrence, const QByteArray &version, const QString &address) {
              return journal.handedOver(occurrence, address, version);
          };
    sources.enabledCalendars = request.enabledCalendars;

    const QList<Calendar> calendars = calendarsToBeScanned(request.calendars, store);
    QHash<QString, QString> titles;
    for (const Calendar &calendar : calendars) {
        titles.insert(calendar.uid, calendar.title);
    }
    const std::optional<QDate> lastCompleted
        = CompletedDay(request.completedDayPath).read(request.daysBeforeEventStart);
    QList<PreviewRow> rows;
    QSet<QString> again; // the occurrences asked for again, which today's next run reminds
    for (int day = 0; day < request.dayCount; ++day) {
        const QDateTime runTime = request.now.addDays(day);
        // Today's next run looks for the days missed before it; it leaves none to the runs after it.
        const QList<ReminderDay> days = day == 0
            ? reminderDays(request.daysBeforeEventStart, runTime, lastCompleted, request.sendMissedReminders)
            : reminderDays(request.daysBeforeEventStart, runTime, std::nullopt, false);
        QList<QPair<ReminderDay, QList<Event>>> found;
        for (const ReminderDay &reminderDay : days) {
            found.append({reminderDay,
                          store.eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
                              reminderDay.window.startDate, reminderDay.window.endDate, calendars))});
        }
        // Today's next run also takes the occurrences asked for again; the runs after it do not.
        if (day == 0) {
            const QList<Event> requested = SendAgain::requestedEvents(store, journal, calendars, runTime);
            for (const Event &event : requested) {
                again.insert(occurrenceText(journalOccurrence(event)));
            }
            found.append({days.first(), requested});
        }
        const QList<EventDecision> decisions = decideEvents(eventsToRemind(found, runTime), sources);
        for (const EventDecision &decision : decisions) {
            if (day > 0 && again.contains(occurrenceText(journalOccurrence(decision.event)))) {
                continue;
            }
            PreviewRow row;
            row.reminderDay = runTime.toLocalTime().date();
            row.lateDue = decision.lateDue;
            row.event = decision.event;
            row.calendarTitle = titles.value(decision.event.calendarUid, decision.event.calendarUid);
            row.eventVerdict = decision.verdict;
            if (decision.verdict != EventDecision::RemindAttendees) {
                rows.append(row);
                continue;
            }
            row.hasAttendee = true;
            const QString subject = buildReminderSubject(request.mailTitle, decision.event);
            for (const AttendeeDecision &attendee : decision.attendees) {
                row.attendee = attendee;
                row.subject = attendee.verdict == AttendeeDecision::Remind ? subject : QString();
                rows.append(row);
            }
        }
    }
    return rows;
}

void ReminderPreview::sortByStart(QList<PreviewRow> &rows)
{
    std::stable_sort(rows.begin(), rows.end(),
                     [](const PreviewRow &a, const PreviewRow &b) { return a.event.startDate < b.event.startDate; });
}

void ReminderPreview::findCards(QList<PreviewRow> &rows)
{
    // The names of a reminder come from the address book; an attendee without a card gets none.
    for (PreviewRow &row : rows) {
        row.hasCard = !row.hasAttendee || row.attendee.verdict != AttendeeDecision::Remind
            || mailOwner(row.attendee.address).has_value();
    }
}

QString ReminderPreview::attendeeText(const PreviewRow &row)
{
    if (!row.hasAttendee) {
        return QString();
    }
    const QString name = row.attendee.attendee.commonName;
    const QString address = row.attendee.address.isNull() ? row.attendee.attendee.address : row.attendee.address;
    return name.isEmpty() ? address : QStringLiteral("%1 <%2>").arg(name, address);
}

namespace {
// The key of the text that says why a line gets no reminder: "Preview" and the verdict's name
// with a capital ("PreviewAlreadyMarked"); empty for a line that gets one.
template<typename Verdict> QByteArray reasonKey(Verdict verdict)
{
    const QByteArray name = verdictName(verdict);
    if (name == "remind") {
        return QByteArray();
    }
    return "Preview" + name.left(1).toUpper() + name.mid(1);
}
} // namespace

QString ReminderPreview::reminderText(const PreviewRow &row, const std::function<QString(const char *key)> &text,
                                      const QString &mailContent)
{
    if (!row.hasAttendee) {
        const QString reason = text(reasonKey(row.eventVerdict).constData());
        return row.eventVerdict == EventDecision::TooManyReminders ? reason.arg(maxRemindersPerEventFile) : reason;
    }
    if (row.attendee.verdict == AttendeeDecision::Remind) {
        QString reminder = row.subject;
        if (!row.hasCard
            && (mailContent.contains(QLatin1String("<<first>>")) || mailContent.contains(QLatin1String("<<last>>")))) {
            reminder = text("PreviewNoCard").arg(reminder);
        }
        if (!row.lateDue.isNull()) {
            reminder = text("PreviewLate").arg(dayText(row.lateDue), reminder);
        }
        return reminder;
    }
    const QString reason = text(reasonKey(row.attendee.verdict).constData());
    return row.attendee.verdict == AttendeeDecision::RefusedAddress ? reason.arg(row.attendee.why) : reason;
}

ReminderPreviewModel::ReminderPreviewModel(ComKestramoPreferenceQuorvelModel *settings, QObject *parent)
    : QAbstractTableModel(parent)
    , m_settings(settings)
    , m_refreshTimer(new QTimer(this))
    , m_watcher(new QFileSystemWatcher(this))
{
    m_refreshTimer->setSingleShot(true);
    m_refreshTimer->setInterval(400); // typing, or a sync tool writing many files
    connect(m_refreshTimer, &QTimer::timeout, this, &ReminderPreviewModel::start);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &ReminderPreviewModel::refresh);
    using Settings = ComKestramoPreferenceQuorvelModel;
    for (auto signal :
         {&Settings::daysBeforeEventStartChanged, &Settings::mailTitleChanged, &Settings::activeCalendarsChanged,
          &Settings::userEmailsChanged, &Settings::sendMissedRemindersChanged}) {
        connect(settings, signal, this, &ReminderPreviewModel::refresh);
    }
    // Whether the message names the attendee changes what the reminder column says of them.
    connect(settings, &Settings::mailContentChanged, this, [this] {
        if (!m_rows.isEmpty()) {
            Q_EMIT dataChanged(index(0, 5), index(m_rows.size() - 1, 5));
        }
    });
    // Time goes by: the days to come change, and so do the runs' decisions.
    auto *clock = new QTimer(this);
    clock->setInterval(5 * 60 * 1000);
    connect(clock, &QTimer::timeout, this, &ReminderPreviewModel::refresh);
    clock->start();
    start();
}

ReminderPreviewModel::~ReminderPreviewModel()
{
    if (m_worker) {
        m_worker->wait();
        delete m_worker;
    }
}

void ReminderPreviewModel::refresh()
{
    m_refreshTimer->start();
}

void ReminderPreviewModel::start()
{
    if (!m_settings) {
        return;
    }
    if (m_computing) {
        m_pending = true; // taken up when the computation in hand ends
        return;
    }
    watchCalendars();
    const PreviewRequest request = PreviewRequest::fromModel(*m_settings, QDateTime::currentDateTime());
    m_computing = true;
    Q_EMIT computingChanged(true);
    if (m_worker) {
        m_worker->wait(); // it has delivered its result and is ending
        delete m_worker;
    }
    // The calendars are read beside the window, with a store of the worker's own.
    m_worker = QThread::create([this, request] {
        const std::unique_ptr<CalendarStore> store = CalendarStore::makeUserCalendarStore();
        QList<PreviewRow> rows = ReminderPreview::compute(request, *store);
        ReminderPreview::sortByStart(rows);
        QMetaObject::invokeMethod(
            this,
            [this, rows] {
                beginResetModel();
                m_rows = rows;
                ReminderPreview::findCards(m_rows);
                endResetModel();
                m_computing = false;
                Q_EMIT computingChanged(false);
                if (m_pending) {
                    m_pending = false;
                    start();
                }
            },
            Qt::QueuedConnection);
    });
    m_worker->start();
}

void ReminderPreviewModel::watchCalendars()
{
    // New, removed and replaced event files (sync tools replace them) change a folder.
    const QString root = xdgDataHome() + QStringLiteral("/calendars");
    QStringList wanted;
    if (QFileInfo(root).isDir()) {
        wanted.append(root);
        const QStringList folders = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &folder : folders) {
            wanted.append(root + QLatin1Char('/') + folder);
        }
    }
    // A run that completes its day replaces the agent's record of it: no day is missed any more.
    const QString state = QFileInfo(CompletedDay().path()).absolutePath();
    if (QFileInfo(state).isDir()) {
        wanted.append(state);
    }
    watchExactly(m_watcher, wanted);
}

int ReminderPreviewModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

int ReminderPreviewModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 6;
}

QString ReminderPreviewModel::text(const char *key) const
{
    const QString name = QLatin1String(key);
    return m_texts.value(name, name);
}

QString ReminderPreview::dayText(const QDate &day)
{
    return DateFormatter(DateFormatter::ShortStyle, DateFormatter::NoStyle)
        .stringFromDate(QDateTime(day, QTime(12, 0), Qt::LocalTime));
}

QVariant ReminderPreviewModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid) || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) {
        return QVariant();
    }
    const PreviewRow &row = m_rows.at(index.row());
    const QDateTime start = row.event.startDate.toLocalTime();
    switch (index.column()) {
    case 0:
        return DateFormatter(DateFormatter::ShortStyle, DateFormatter::NoStyle).stringFromDate(start);
    case 1:
        return DateFormatter(DateFormatter::NoStyle, DateFormatter::ShortStyle).stringFromDate(start);
    case 2:
        return row.event.title;
    case 3:
        return row.calendarTitle;
    case 4:
        return ReminderPreview::attendeeText(row);
    default:
        return ReminderPreview::reminderText(
            row, [this](const char *key) { return text(key); }, m_settings ? m_settings->mailContent() : QString());
    }
}

QVariant ReminderPreviewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char *const keys[] = {"PreviewColumnDay",      "PreviewColumnTime",     "PreviewColumnEvent",
                                       "PreviewColumnCalendar", "PreviewColumnAttendee", "PreviewColumnReminder"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section > 5) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    return text(keys[section]);
}

QString ReminderPreviewModel::message(int index) const
{
    if (index < 0 || index >= m_rows.size() || !m_settings) {
        return QString();
    }
    const PreviewRow &row = m_rows.at(index);
    if (!row.hasAttendee || row.attendee.verdict != AttendeeDecision::Remind) {
        return QString();
    }
    const QString sender = m_settings->senderEmail().trimmed();
    const QString message = QStringLiteral("%1 %2\n%3 %4\n%5 %6\n\n%7")
                                .arg(text("PreviewMessageTo"), row.attendee.address, text("PreviewMessageFrom"),
                                     sender.isEmpty() ? text("SenderNotChosen") : sender, text("PreviewMessageSubject"),
                                     row.subject, buildReminderBody(*m_settings, row.event, row.attendee.address));
    return row.lateDue.isNull()
        ? message
        : text("PreviewMessageLate").arg(ReminderPreview::dayText(row.lateDue)) + QStringLiteral("\n\n") + message;
}
