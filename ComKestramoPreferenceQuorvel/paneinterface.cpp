#include "paneinterface.h"

#include "ComKestramoLocaliztedTooltips.h"
#include "ComKestramoPreferenceQuorvelController.h"
#include "ComKestramoPreferenceQuorvelModel.h"
#include "accountspanel.h"
#include "alertsheet.h"
#include "application.h"
#include "bundle.h"
#include "calendarsync.h"
#include "composition.h"
#include "helpbook.h"
#include "launchagent.h"
#include "mailaccountspanel.h"
#include "mailstatus.h"
#include "preferencepane.h"
#include "preferenceservice.h"
#include "propertylist.h"
#include "reminderpreview.h"
#include "rtfdocument.h"
#include "runoutcome.h"
#include "schedulestatus.h"
#include "sendagain.h"
#include "sentremindersmodel.h"
#include "testreminder.h"
#include "textnumber.h"
#include "userfolders.h"
#include "workspace.h"
#include "xdgpaths.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTextBrowser>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <limits>

Q_LOGGING_CATEGORY(lcPaneInterface, "ruvelant.pane")

namespace {
template<typename Widget> Widget *control(QWidget *view, const char *name)
{
    auto *widget = view->findChild<Widget *>(QLatin1String(name));
    if (!widget) {
        qCWarning(lcPaneInterface, "the interface file has no control %s", name);
    }
    return widget;
}

// Rich text in a label; a label that holds a link is reached with Tab and follows it with Return.
void setLinkText(QLabel *label, const QString &html)
{
    label->setText(html);
    const bool link = html.contains(QLatin1String("<a "));
    label->setTextInteractionFlags(link ? Qt::TextBrowserInteraction : Qt::TextSelectableByMouse);
    label->setFocusPolicy(link ? Qt::StrongFocus : Qt::NoFocus);
}

QString helpBookName(const Bundle &bundle)
{
    return bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookName")).toString();
}

// Calls a function whenever a widget changes its size.
class ResizeWatcher : public QObject
{
public:
    ResizeWatcher(QWidget *widget, std::function<void()> resized) : QObject(widget), m_resized(std::move(resized))
    {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Resize) {
            m_resized();
        }
        return false;
    }

private:
    std::function<void()> m_resized;
};

// The widths that columns of the given text widths take in available: each its whole width when
// they all fit; otherwise the widest are cut to one width, as little as needed, and the others
// stay whole. So a column is cut only when the table cannot show it whole beside the others.
QVector<int> sharedWidths(const QVector<int> &wanted, int available)
{
    QVector<int> sorted = wanted;
    std::sort(sorted.begin(), sorted.end());
    int left = available;
    int cap = std::numeric_limits<int>::max();
    for (int i = 0; i < sorted.size(); ++i) {
        const int sharing = int(sorted.size()) - i;
        if (sorted.at(i) * sharing > left) {
            cap = qMax(0, left / sharing);
            break;
        }
        left -= sorted.at(i);
    }
    QVector<int> widths;
    for (int width : wanted) {
        widths.append(qMin(width, cap));
    }
    return widths;
}

// Sizes the columns of a table to their text: the columns in whole (short ones: a day, a time)
// always; the others whole where the width allows, else the widest are cut as little as they
// must (see sharedWidths); the last column takes what is left. Again whenever the model is filled
// anew or the table changes its size. A cut text is whole in its tooltip.
void fitColumns(QTableView *table, const QList<int> &whole)
{
    QHeaderView *header = table->horizontalHeader();
    header->setStretchLastSection(true);
    table->setTextElideMode(Qt::ElideRight);
    const auto size = [table, header, whole] {
        const int count = table->model()->columnCount();
        int available = table->viewport()->width();
        QList<int> shared;
        QVector<int> wanted;
        for (int column = 0; column < count; ++column) {
            header->setSectionResizeMode(column, QHeaderView::Interactive);
            const int hint = qMax(static_cast<QAbstractItemView *>(table)->sizeHintForColumn(column),
                                  header->sectionSizeHint(column));
            if (whole.contains(column)) {
                header->resizeSection(column, hint);
                available -= hint;
            } else {
                shared.append(column);
                wanted.append(hint);
            }
        }
        const QVector<int> widths = sharedWidths(wanted, available);
        for (int i = 0; i < shared.size(); ++i) {
            if (shared.at(i) != count - 1) {
                header->resizeSection(shared.at(i), widths.at(i));
            }
        }
    };
    size();
    QObject::connect(table->model(), &QAbstractItemModel::modelReset, table, size);
    new ResizeWatcher(table->viewport(), size);
}

void tieTooltips(QWidget *view, const ComKestramoLocaliztedTooltips *tooltips)
{
    const struct
    {
        const char *widget;
        const char *property;
    } ties[] = {{"enableCheckBox", "enableRuvelant"},
                {"mailTitleEdit", "emailSubject"},
                {"senderComboBox", "emailFrom"},
                {"mailContentEdit", "emailContent"},
                {"daysComboBox", "daysList"},
                {"insertDateButton", "insertDate"},
                {"insertTimeButton", "insertTime"},
                {"insertLastNameButton", "insertLastName"},
                {"insertFirstNameButton", "insertFirstName"},
                {"alertNowButton", "alertNow"},
                {"showLogButton", "showLog"},
                {"calendarsTable", "calendarsTable"},
                {"missedRemindersCheckBox", "sendMissedReminders"}};
    for (const auto &tie : ties) {
        Application::setTooltip(control<QWidget>(view, tie.widget), tooltips->property(tie.property).toString());
    }
}

// A checkbox that shows a setting and, with set, edits it when clicked.
void tieCheckBox(QCheckBox *box, ComKestramoPreferenceQuorvelModel *model,
                 bool (ComKestramoPreferenceQuorvelModel::*get)() const,
                 void (ComKestramoPreferenceQuorvelModel::*changed)(),
                 void (ComKestramoPreferenceQuorvelModel::*set)(bool) = nullptr)
{
    if (!box) {
        return;
    }
    const auto show = [box, model, get] {
        const QSignalBlocker blocker(box);
        box->setCheckState((model->*get)() ? Qt::Checked : Qt::Unchecked);
    };
    show();
    QObject::connect(model, changed, box, show);
    if (set) {
        QObject::connect(box, &QCheckBox::clicked, model,
                         [box, model, set] { (model->*set)(box->checkState() == Qt::Checked); });
    }
}

void tieDays(QComboBox *box, ComKestramoPreferenceQuorvelModel *model)
{
    if (!box) {
        return;
    }
    const auto show = [box, model] {
        const QSignalBlocker blocker(box);
        box->clear();
        QStringList choices = model->daysList();
        // A value stored by another program is shown as it is, not replaced by a choice.
        if (!choices.contains(model->daysBeforeEventStart())) {
            choices.append(model->daysBeforeEventStart());
        }
        box->addItems(choices);
        box->setCurrentIndex(choices.indexOf(model->daysBeforeEventStart()));
    };
    show();
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::daysListChanged, box, show);
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::daysBeforeEventStartChanged, box, show);
    QObject::connect(box, qOverload<int>(&QComboBox::activated), model,
                     [box, model](int index) { model->setDaysBeforeEventStart(box->itemText(index)); });
}

void tieSender(QComboBox *box, ComKestramoPreferenceQuorvelModel *model, const Bundle &bundle)
{
    if (!box) {
        return;
    }
    const QString noSender = bundle.localizedStringForKey(QStringLiteral("SenderNotChosen"), QString());
    const auto show = [box, model, noSender] {
        const QSignalBlocker blocker(box);
        box->clear();
        const QStringList emails = model->userEmails();
        for (const QString &email : emails) {
            box->addItem(email.trimmed().isEmpty() ? noSender : email, email);
        }
        box->setCurrentIndex(emails.indexOf(model->senderEmail()));
    };
    show();
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::userEmailsChanged, box, show);
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::senderEmailChanged, box, show);
    QObject::connect(box, qOverload<int>(&QComboBox::activated), model,
                     [box, model](int index) { model->setSenderEmail(box->itemData(index).toString()); });
}

// What a subject or message field takes of a text typed or pasted into it: the characters that
// a setting can hold (the others are left out), and at most a setting's size (a longer text is
// not taken: the field keeps what it held). The notice says what was not taken; empty when all was.
struct TemplateEdit
{
    QString text;
    QString notice;
};
TemplateEdit takeTemplate(const QString &typed, const QString &held, const Bundle &bundle)
{
    const QString kept = PropertyList::writableText(typed);
    if (kept.toUtf8().size() > PreferenceService::maxTextSize) {
        return {held,
                bundle.localizedStringForKey(QStringLiteral("TemplateTooLong"), QString())
                    .arg(PreferenceService::maxTextSize / 1024)};
    }
    if (kept == typed) {
        return {typed, QString()};
    }
    // kept is typed without some of its characters: the first ones that differ are those.
    QStringList left;
    for (int i = 0, j = 0; i < typed.size(); ++i) {
        if (j < kept.size() && typed.at(i) == kept.at(j)) {
            ++j;
            continue;
        }
        const QString code = QStringLiteral("U+%1").arg(typed.at(i).unicode(), 4, 16, QLatin1Char('0')).toUpper();
        if (!left.contains(code)) {
            left.append(code);
        }
    }
    return {kept,
            bundle.localizedStringForKey(QStringLiteral("TemplateCharactersLeftOut"), QString())
                .arg(left.join(QStringLiteral(", ")))};
}

void showNotice(QLabel *label, const QString &notice)
{
    if (label) {
        label->setText(notice);
        label->setVisible(!notice.isEmpty());
    }
}

void tieTitle(QLineEdit *edit, QLabel *notice, ComKestramoPreferenceQuorvelModel *model, const Bundle &bundle)
{
    if (!edit) {
        return;
    }
    // What goes out when the subject is left empty.
    edit->setPlaceholderText(builtInReminderSubject(QStringLiteral("<<date>>")));
    const auto show = [edit, model] {
        if (edit->text() != model->mailTitle()) {
            edit->setText(model->mailTitle());
        }
    };
    show();
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::mailTitleChanged, edit, show);
    // Every change is stored as it is typed, so a run started at any moment uses what is shown.
    QObject::connect(edit, &QLineEdit::textEdited, model, [edit, notice, model, &bundle](const QString &typed) {
        const TemplateEdit taken = takeTemplate(typed, model->mailTitle(), bundle);
        showNotice(notice, taken.notice);
        if (taken.text != typed) {
            const int cursor = edit->cursorPosition() - (typed.size() - taken.text.size());
            edit->setText(taken.text);
            edit->setCursorPosition(qBound(0, cursor, int(taken.text.size())));
        }
        if (taken.text != model->mailTitle()) {
            model->setMailTitle(taken.text);
        }
    });
}

void tieContent(QPlainTextEdit *edit, QLabel *notice, ComKestramoPreferenceQuorvelModel *model, const Bundle &bundle)
{
    if (!edit) {
        return;
    }
    // What goes out when the message is left empty.
    edit->setPlaceholderText(builtInReminderBody(QStringLiteral("<<date>>"), QStringLiteral("<<time>>")));
    const auto show = [edit, model] {
        if (edit->toPlainText() != model->mailContent()) {
            const QSignalBlocker blocker(edit);
            edit->setPlainText(model->mailContent());
        }
    };
    show();
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::mailContentChanged, edit, show);
    QObject::connect(edit, &QPlainTextEdit::textChanged, model, [edit, notice, model, &bundle] {
        const QString typed = edit->toPlainText();
        const TemplateEdit taken = takeTemplate(typed, model->mailContent(), bundle);
        showNotice(notice, taken.notice);
        if (taken.text != typed) {
            const int cursor = edit->textCursor().position() - (typed.size() - taken.text.size());
            const QSignalBlocker blocker(edit);
            edit->setPlainText(taken.text);
            QTextCursor at = edit->textCursor();
            at.setPosition(qBound(0, cursor, int(taken.text.size())));
            edit->setTextCursor(at);
        }
        model->setMailContent(taken.text);
    });
}

// Above the tabs, while the settings cannot be read (nothing changed in the window is saved
// then) or a change could not be saved: why, with the settings file.
void tieSettingsProblem(QLabel *label, ComKestramoPreferenceQuorvelModel *model, const Bundle &bundle)
{
    if (!label) {
        return;
    }
    const auto show = [label, model, &bundle] {
        const QString problem = model->preferencesProblem();
        const QString key
            = model->preferencesReadable() ? QStringLiteral("SettingsNotSaved") : QStringLiteral("SettingsUnreadable");
        showNotice(label, problem.isEmpty() ? QString() : bundle.localizedStringForKey(key, QString()).arg(problem));
    };
    show();
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::preferencesProblemChanged, label, show);
}

// The calendars to tick; without any, where calendars come from, the help page on getting them
// and a button that opens their folder.
void tieCalendars(QWidget *view, PreferencePane *owner, ComKestramoPreferenceQuorvelModel *model)
{
    auto *table = control<QTableView>(view, "calendarsTable");
    auto *empty = control<QLabel>(view, "calendarsEmptyLabel");
    auto *open = control<QPushButton>(view, "openCalendarsFolderButton");
    if (!table || !empty || !open) {
        return;
    }
    QAbstractItemModel *calendars = model->activeCalendarsController();
    table->setModel(calendars);
    // The box, the title, and the account it belongs to (the rows come grouped by account).
    table->horizontalHeader()->setStretchLastSection(false);
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    table->horizontalHeader()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    const Bundle *bundle = owner->bundle();
    const QString folder = xdgDataHome() + QStringLiteral("/calendars");
    setLinkText(empty,
                QStringLiteral("%1 <a href=\"calendars.html\">%2</a>")
                    .arg(bundle->localizedStringForKey(QStringLiteral("CalendarsEmpty"))
                             .arg(QDir::toNativeSeparators(folder))
                             .toHtmlEscaped(),
                         bundle->localizedStringForKey(QStringLiteral("CalendarsHelpLink")).toHtmlEscaped()));
    QObject::connect(empty, &QLabel::linkActivated, empty,
                     [bundle](const QString &page) { HelpBook::gotoPage(helpBookName(*bundle), page); });
    QObject::connect(open, &QPushButton::clicked, open, [folder] {
        QDir().mkpath(folder); // the place to put them, even before there is one
        Workspace::openFile(folder);
    });
    const auto show = [table, empty, open, calendars] {
        const bool none = calendars->rowCount() == 0;
        table->setVisible(!none);
        empty->setVisible(none);
        open->setVisible(none);
    };
    show();
    QObject::connect(calendars, &QAbstractItemModel::modelReset, table, show);
    QObject::connect(calendars, &QAbstractItemModel::rowsInserted, table, show);
    QObject::connect(calendars, &QAbstractItemModel::rowsRemoved, table, show);
}

// One line that names the account that sends the reminders (or the mail system they are handed
// to), or says what is missing and links to the help page on sending.
QString mailStatusText(const MailStatus &status, const Bundle &bundle)
{
    if (!status.offerAccount) {
        return status.text.toHtmlEscaped();
    }
    return QStringLiteral("%1 <a href=\"mail.html\">%2</a>")
        .arg(status.text.toHtmlEscaped(),
             bundle.localizedStringForKey(QStringLiteral("MailSetupLink"), QString()).toHtmlEscaped());
}

void tieMailSetup(QWidget *view, PreferencePane *owner, ComKestramoPreferenceQuorvelModel *model)
{
    auto *status = control<QLabel>(view, "mailStatusLabel");
    auto *button = control<QPushButton>(view, "testReminderButton");
    auto *result = control<QLabel>(view, "testReminderResultLabel");
    if (!status || !button || !result) {
        return;
    }
    const Bundle *bundle = owner->bundle();
    const auto tr = [bundle](const char *key) { return bundle->localizedStringForKey(QLatin1String(key), QString()); };
    // The mail accounts, read beside the window; the line shows what they say once they are read.
    auto *accounts = new MailAccountsPanel(view, bundle, owner);
    QObject::connect(accounts, &MailAccountsPanel::refreshed, status,
                     [status, accounts, bundle] { setLinkText(status, mailStatusText(accounts->status(), *bundle)); });
    const auto showStatus = [accounts, model] { accounts->refresh(model->senderEmail()); };
    showStatus();
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::senderEmailChanged, accounts, showStatus);
    status->setAccessibleName(tr("Mail"));
    QObject::connect(status, &QLabel::linkActivated, status,
                     [bundle](const QString &page) { HelpBook::gotoPage(helpBookName(*bundle), page); });

    auto *reminder = new TestReminder(owner);
    QObject::connect(button, &QPushButton::clicked, reminder, [=] {
        showStatus(); // the user may have set up mail since the pane opened
        const QString recipient = TestReminder::recipient(*model);
        if (recipient.isEmpty()) {
            result->setText(tr("TestReminderNoAddress"));
            return;
        }
        const Event event = TestReminder::sampleEvent(*model, tr("TestReminderEvent"), QDateTime::currentDateTime());
        if (reminder->send(*model, event, recipient)) {
            button->setEnabled(false);
            result->setText(tr("TestReminderSending").arg(recipient));
        }
    });
    QObject::connect(reminder, &TestReminder::finished, button, [=](bool taken, const QString &error) {
        button->setEnabled(true);
        const QString recipient = TestReminder::recipient(*model);
        result->setText(taken ? tr("TestReminderTaken").arg(recipient)
                              : tr("TestReminderFailed").arg(recipient, error));
        showStatus();
    });
}

// The texts of the Upcoming tab's columns, reasons and message lines, by their keys.
QHash<QString, QString> previewTexts(const Bundle &bundle)
{
    QHash<QString, QString> texts;
    for (const char *key : {"PreviewColumnDay",
                            "PreviewColumnTime",
                            "PreviewColumnEvent",
                            "PreviewColumnCalendar",
                            "PreviewColumnAttendee",
                            "PreviewColumnReminder",
                            "PreviewAlreadyMarked",
                            "PreviewNoAttendees",
                            "PreviewTooManyReminders",
                            "PreviewCalendarNotEnabled",
                            "PreviewNoAddress",
                            "PreviewOwnAddress",
                            "PreviewAlreadyHandedOver",
                            "PreviewRefusedAddress",
                            "PreviewListedTwice",
                            "PreviewDuplicateOccurrence",
                            "PreviewMessageTo",
                            "PreviewMessageFrom",
                            "PreviewMessageSubject",
                            "SenderNotChosen",
                            "PreviewNoCard",
                            "PreviewDeclined",
                            "PreviewDelegated",
                            "PreviewRoomOrResource",
                            "PreviewLate",
                            "PreviewMessageLate"}) {
        texts.insert(QLatin1String(key), bundle.localizedStringForKey(QLatin1String(key), QString()));
    }
    return texts;
}

// How many reminders go out, or would if reminders were on; or that nothing lies ahead.
void tieUpcomingStatus(QLabel *status, ReminderPreviewModel *preview, ComKestramoPreferenceQuorvelModel *model,
                       const Bundle *bundle)
{
    const auto showStatus = [=] {
        const auto tr = [bundle](const char *key) { return bundle->localizedStringForKey(QLatin1String(key)); };
        if (preview->isComputing()) {
            status->setText(tr("PreviewComputing"));
            return;
        }
        if (preview->rows().isEmpty()) {
            status->setText(tr(model->quorvelEnabled() ? "PreviewNothing" : "PreviewNothingOff"));
            return;
        }
        int reminders = 0;
        for (const PreviewRow &row : preview->rows()) {
            reminders += row.hasAttendee && row.attendee.verdict == AttendeeDecision::Remind ? 1 : 0;
        }
        const QString count = bundle->localizedStringForKey(QStringLiteral("PreviewReminderCount"), reminders);
        const QString days = bundle->localizedStringForKey(QStringLiteral("PreviewDayCount"),
                                                           leadingInteger(model->daysBeforeEventStart()));
        status->setText(tr(model->quorvelEnabled() ? "PreviewSummary" : "PreviewSummaryOff").arg(count, days));
    };
    showStatus();
    QObject::connect(preview, &ReminderPreviewModel::computingChanged, status, showStatus);
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::quorvelEnabledChanged, status, showStatus);
}

// The coming reminders in the Upcoming tab: who gets which reminder on which day, or why not;
// the message of the chosen row as it will be sent.
void tieUpcoming(QWidget *view, PreferencePane *owner, ComKestramoPreferenceQuorvelModel *model)
{
    auto *table = control<QTableView>(view, "upcomingTable");
    auto *message = control<QPlainTextEdit>(view, "upcomingMessage");
    auto *status = control<QLabel>(view, "upcomingStatusLabel");
    if (!table || !message || !status) {
        return;
    }
    const Bundle *bundle = owner->bundle();
    auto *preview = new ReminderPreviewModel(model, owner);
    preview->setObjectName(QStringLiteral("reminderPreview"));
    preview->setTexts(previewTexts(*bundle));
    table->setModel(preview);
    // Day and time fit their text; event, calendar, attendee and the reminder (its subject, or why
    // none goes) share the rest.
    fitColumns(table, {0, 1});
    if (auto *splitter = qobject_cast<QSplitter *>(table->parentWidget())) {
        splitter->setStretchFactor(0, 3); // the list first; the message below it
        splitter->setStretchFactor(1, 1);
    }

    tieUpcomingStatus(status, preview, model, bundle);
    // The chosen reminder as it will be sent; for a line without one, the whole of why not (the
    // table's column may be too narrow for it).
    const auto showMessage = [=] {
        const QModelIndexList chosen = table->selectionModel()->selectedRows();
        const int row = chosen.isEmpty() ? -1 : chosen.first().row();
        const QString text = preview->message(row);
        message->setPlainText(text.isEmpty() && row >= 0 ? preview->index(row, 5).data().toString() : text);
    };
    QObject::connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, message, showMessage);
    QObject::connect(preview, &QAbstractItemModel::modelReset, message, [=] {
        // A fresh list shows the first reminder that will go out, until the user chooses another.
        for (int row = 0; row < preview->rows().size() && table->selectionModel()->selectedRows().isEmpty(); ++row) {
            if (!preview->message(row).isEmpty()) {
                table->selectRow(row);
            }
        }
        showMessage();
    });
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::mailContentChanged, message, showMessage);
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::senderEmailChanged, message, showMessage);
}

// The reminders of the agent's log, in the Sent tab; without any yet, what the tab will show.
SentRemindersModel *tieSent(QWidget *view, PreferencePane *owner, ComKestramoPreferenceQuorvelController *controller)
{
    auto *table = control<QTableView>(view, "sentTable");
    auto *hint = control<QLabel>(view, "sentHintLabel");
    auto *detail = control<QLabel>(view, "sentDetailLabel");
    if (!table || !hint || !detail) {
        return nullptr;
    }
    const Bundle *bundle = owner->bundle();
    auto *sent
        = new SentRemindersModel(userLibraryPath() + QStringLiteral("/Logs"), controller->agentName(), bundle, owner);
    sent->setObjectName(QStringLiteral("sentReminders"));
    table->setModel(sent);
    // The time fits its text, event, attendee and outcome share the rest. The chosen row's outcome
    // is shown whole below in plain words, the log's own line (the agent's words, such as "Cannot
    // create Scripting Bridge to Mail.app") in its tooltip.
    fitColumns(table, {0});
    const QString filled = hint->text();
    const auto showDetail = [table, sent, detail] {
        const QModelIndexList chosen = table->selectionModel()->selectedRows();
        const int row = chosen.isEmpty() ? -1 : chosen.first().row();
        const QString text = row >= 0 ? sent->index(row, 3).data().toString() : QString();
        detail->setText(text);
        detail->setToolTip(row >= 0 ? sent->reminders().at(row).logLine : QString());
        detail->setVisible(!text.isEmpty());
    };
    const auto show = [=] {
        hint->setText(sent->rowCount() > 0 ? filled : bundle->localizedStringForKey(QStringLiteral("SentEmpty")));
        // The newest failure is chosen, so that its reason shows at once.
        for (int row = 0; row < sent->rowCount() && table->selectionModel()->selectedRows().isEmpty(); ++row) {
            if (sent->reminders().at(row).outcome == SentReminder::Failed) {
                table->selectRow(row);
            }
        }
        showDetail();
    };
    show();
    QObject::connect(sent, &QAbstractItemModel::modelReset, hint, show);
    QObject::connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, detail, showDetail);
    return sent;
}

// "Send Again" on the Sent tab, as a button and in the table's context menu: for the chosen
// reminder, if it was sent and its event is still to come in a ticked calendar (else disabled,
// with the reason as its tooltip), the next run sends that event's reminders again. A run going
// on is not waited for: the line below the table says to try again.
void tieSendAgain(QWidget *view, PreferencePane *owner, ComKestramoPreferenceQuorvelModel *model,
                  SentRemindersModel *sent)
{
    auto *table = control<QTableView>(view, "sentTable");
    auto *button = control<QPushButton>(view, "sendAgainButton");
    auto *result = control<QLabel>(view, "sendAgainResultLabel");
    if (!table || !button || !result || !sent) {
        return;
    }
    const Bundle *bundle = owner->bundle();
    const auto tr = [bundle](const char *key) { return bundle->localizedStringForKey(QLatin1String(key)); };
    auto *action = new QAction(bundle->localizedStringForKey(QStringLiteral("Send &Again")), table);
    action->setObjectName(QStringLiteral("sendAgainAction"));
    table->addAction(action);
    table->setContextMenuPolicy(Qt::ActionsContextMenu); // the menu key too
    result->hide();
    const auto chosen = [table, sent]() -> const SentReminder * {
        const QModelIndexList rows = table->selectionModel()->selectedRows();
        return rows.isEmpty() ? nullptr : &sent->reminders().at(rows.first().row());
    };
    const auto enabledCalendars = [model] {
        const QStringList enabled = calendarUids(*model, false);
        return QSet<QString>(enabled.cbegin(), enabled.cend());
    };
    const auto update = [=] {
        const SentReminder *reminder = chosen();
        QString why;
        if (!reminder || reminder->outcome != SentReminder::Sent || reminder->occurrence.calendar.isEmpty()) {
            why = tr("SendAgainNotSent");
        } else {
            static const char *const reasons[] = {nullptr, "SendAgainGone", "SendAgainBegun", "SendAgainCalendarOff"};
            const auto refusal
                = SendAgain::refusal(SendAgain::find(*CalendarStore::defaultCalendarStore(), reminder->occurrence),
                                     QDateTime::currentDateTime(), enabledCalendars());
            why = refusal == SendAgain::Refusal::None ? QString() : tr(reasons[int(refusal)]);
        }
        button->setEnabled(why.isEmpty());
        action->setEnabled(why.isEmpty());
        const QString tip = why.isEmpty() ? tr("SendAgainTooltip") : why;
        Application::setTooltip(button, tip);
        action->setToolTip(tip);
    };
    const auto sendAgain = [=] {
        const SentReminder *reminder = chosen();
        if (!reminder || !button->isEnabled()) {
            return;
        }
        const QString title = reminder->event;
        const SendAgain::Outcome outcome
            = SendAgain::request(*CalendarStore::defaultCalendarStore(), reminder->occurrence,
                                 QDateTime::currentDateTime(), std::chrono::milliseconds::zero());
        QString text;
        switch (outcome.code) {
        case SendAgain::Outcome::Done:
            text = tr(model->quorvelEnabled() ? "SendAgainDone" : "SendAgainDoneOff").arg(title);
            break;
        case SendAgain::Outcome::Busy:
            text = tr("SendAgainBusy");
            break;
        case SendAgain::Outcome::JournalFailed:
            text = tr("SendAgainJournalFailed").arg(outcome.detail);
            break;
        case SendAgain::Outcome::MarkerNotRemoved:
            text = tr("SendAgainMarkerKept").arg(title, outcome.detail);
            break;
        }
        result->setText(text);
        result->setAccessibleDescription(text);
        result->show();
        update();
    };
    QObject::connect(button, &QPushButton::clicked, action, sendAgain);
    QObject::connect(action, &QAction::triggered, button, sendAgain);
    QObject::connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, button, update);
    QObject::connect(sent, &QAbstractItemModel::modelReset, button, update);
    update();
}

// The line below the enable box: the schedule as the scheduler holds it, and the button that
// brings it in line with the box when the two differ.
ScheduleStatus *tieSchedule(QWidget *view, PreferencePane *owner, ComKestramoPreferenceQuorvelModel *model,
                            ComKestramoPreferenceQuorvelController *controller)
{
    auto *label = control<QLabel>(view, "scheduleStatusLabel");
    auto *fix = control<QPushButton>(view, "scheduleFixButton");
    if (!label || !fix) {
        return nullptr;
    }
    const Bundle *bundle = owner->bundle();
    auto *status = new ScheduleStatus(LaunchAgent::label(), owner);
    status->setObjectName(QStringLiteral("scheduleStatus"));
    const QString scheduleText = fix->text();
    const QString removeText = bundle->localizedStringForKey(QStringLiteral("Remove Sc&hedule"));
    const auto show = [=] {
        const ScheduleStatus::Result &result = status->result();
        label->setText(ScheduleStatus::text(result, *bundle, QDateTime::currentDateTime()));
        label->setAccessibleDescription(label->text());
        fix->setText(result.state == ScheduleStatus::OffButScheduled ? removeText : scheduleText);
        fix->setAccessibleName(Application::spokenText(fix->text()));
        fix->setVisible(result.state == ScheduleStatus::NotScheduled || result.state == ScheduleStatus::SchedulerStopped
                        || result.state == ScheduleStatus::OffButScheduled);
    };
    show();
    QObject::connect(status, &ScheduleStatus::changed, label, show);
    const auto refresh = [status, model] { status->refresh(model->quorvelEnabled()); };
    QObject::connect(fix, &QPushButton::clicked, controller, [=] {
        if (status->result().state == ScheduleStatus::OffButScheduled) {
            controller->disableAlerter();
        } else {
            controller->enableAlerter();
        }
        refresh();
    });
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::quorvelEnabledChanged, status, refresh);
    // The next run's time moves on, and other programs may change the schedule.
    auto *clock = new QTimer(status);
    clock->setInterval(60 * 1000);
    QObject::connect(clock, &QTimer::timeout, status, refresh);
    clock->start();
    refresh();
    return status;
}

// "Send Reminders Now": only while reminders are on (the tooltip says why not otherwise), busy
// while its run goes on, and then one line on what the run did, with a way to the Sent tab.
void tieAlertNow(QWidget *view, PreferencePane *owner, ComKestramoPreferenceQuorvelModel *model,
                 ComKestramoPreferenceQuorvelController *controller, const ComKestramoLocaliztedTooltips *tooltips,
                 SentRemindersModel *sent, ScheduleStatus *status)
{
    auto *button = control<QPushButton>(view, "alertNowButton");
    auto *result = control<QLabel>(view, "alertNowResultLabel");
    auto *tabs = control<QTabWidget>(view, "tabs");
    auto *sentTab = control<QWidget>(view, "sentTab");
    if (!button || !result || !tabs || !sentTab) {
        return;
    }
    const Bundle *bundle = owner->bundle();
    const QString idleText = button->text();
    // Room for the line kept from the start (two lines: a run with several causes of failure),
    // so that the window does not move when it comes.
    result->setText(QStringLiteral("<a href=\"#\">X</a><br>X")); // measured as it is drawn
    result->setMinimumHeight(result->sizeHint().height());
    result->clear();
    const auto show = [=] {
        const bool running = controller->isAgentRunning();
        button->setEnabled(model->quorvelEnabled() && !running);
        button->setText(running ? bundle->localizedStringForKey(QStringLiteral("AlertNowRunning")) : idleText);
        const QString tip = model->quorvelEnabled() ? tooltips->alertNow()
                                                    : bundle->localizedStringForKey(QStringLiteral("AlertNowOff"));
        Application::setTooltip(button, tip);
    };
    show();
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::quorvelEnabledChanged, button, show);
    QObject::connect(controller, &ComKestramoPreferenceQuorvelController::agentRunningChanged, button, show);
    QObject::connect(controller, &ComKestramoPreferenceQuorvelController::agentRunningChanged, result,
                     [result, bundle](bool running) {
                         if (running) {
                             setLinkText(result, bundle->localizedStringForKey(QStringLiteral("AlertNowStarted")));
                         }
                     });
    QObject::connect(
        controller, &ComKestramoPreferenceQuorvelController::agentRunFinished, result,
        [=](qint64 pid, const QDateTime &started) {
            const QString logs = userLibraryPath() + QStringLiteral("/Logs");
            const RunOutcome outcome = RunOutcome::ofProcess(SentReminders::readLogText(logs, controller->agentName()),
                                                             pid, started, QDate::currentDate());
            const QString text = outcome.found ? outcome.summary(*bundle)
                                               : bundle->localizedStringForKey(QStringLiteral("RunNotInLog"));
            setLinkText(result,
                        QStringLiteral("%1 <a href=\"#sent\">%2</a>")
                            .arg(text.toHtmlEscaped(),
                                 bundle->localizedStringForKey(QStringLiteral("RunShowSent")).toHtmlEscaped()));
            if (sent) {
                sent->reload();
            }
            if (status) {
                status->refresh(model->quorvelEnabled());
            }
        });
    QObject::connect(result, &QLabel::linkActivated, tabs, [tabs, sentTab] { tabs->setCurrentWidget(sentTab); });
}

// The order in which Tab goes through the controls: down the window, through the page of the
// tabs that is shown (the others' controls are hidden and passed over), and back to the top.
void tieTabOrder(QWidget *view)
{
    static const char *const order[] = {"enableCheckBox",
                                        "helpButton",
                                        "scheduleFixButton",
                                        "tabs",
                                        "daysComboBox",
                                        "missedRemindersCheckBox",
                                        "calendarsTable",
                                        "calendarsEmptyLabel",
                                        "openCalendarsFolderButton",
                                        "addAccountButton",
                                        "senderComboBox",
                                        "mailTitleEdit",
                                        "mailContentEdit",
                                        "mailStatusLabel",
                                        "mailStatusAddButton",
                                        "testReminderButton",
                                        "verboseCheckBox",
                                        "showLogButton",
                                        "alertNowButton",
                                        "alertNowResultLabel",
                                        "upcomingTable",
                                        "upcomingMessage",
                                        "sentTable",
                                        "sendAgainButton",
                                        "sentShowLogButton",
                                        "accountsTable",
                                        "accountsHelpLabel",
                                        "accountsAddButton",
                                        "syncNowButton",
                                        "removeAccountButton",
                                        "mailAccountsTable",
                                        "addMailAccountButton",
                                        "removeMailAccountButton",
                                        "creditsView"};
    QWidget *previous = nullptr;
    for (const char *name : order) {
        QWidget *next = control<QWidget>(view, name);
        if (auto *tabs = qobject_cast<QTabWidget *>(next)) {
            // Its bar is the stop: the tab widget itself, which only hands the focus on to its
            // bar, would make a second stop at its own place in the chain, after its pages.
            tabs->setFocusProxy(nullptr);
            tabs->setFocusPolicy(Qt::NoFocus);
            next = tabs->tabBar();
        }
        if (previous && next) {
            QWidget::setTabOrder(previous, next);
        }
        previous = next ? next : previous;
    }
}

void tieAction(QAbstractButton *button, ComKestramoPreferenceQuorvelController *controller,
               void (ComKestramoPreferenceQuorvelController::*action)(QObject *))
{
    if (button) {
        QObject::connect(button, &QAbstractButton::clicked, controller,
                         [button, controller, action] { (controller->*action)(button); });
    }
}

// The enable box: the stored setting first, then the schedule, both follow it; reminders that
// cannot be scheduled are not on, and the box and the setting say so.
QCheckBox *tieEnable(QWidget *view, ComKestramoPreferenceQuorvelModel *model,
                     ComKestramoPreferenceQuorvelController *controller)
{
    auto *enable = control<QCheckBox>(view, "enableCheckBox");
    tieCheckBox(enable, model, &ComKestramoPreferenceQuorvelModel::quorvelEnabled,
                &ComKestramoPreferenceQuorvelModel::quorvelEnabledChanged);
    if (enable) {
        QObject::connect(enable, &QCheckBox::clicked, controller, [enable, model, controller] {
            model->setQuorvelEnabled(enable->checkState() == Qt::Checked);
            controller->enableCheckPressed(enable);
        });
    }
    QObject::connect(controller, &ComKestramoPreferenceQuorvelController::schedulingFailed, model,
                     [model](bool enabling) {
                         if (enabling) {
                             model->setQuorvelEnabled(false);
                         }
                     });
    return enable;
}

// The settings' controls besides the enable box, and the calendar accounts.
void tieSettings(QWidget *view, PreferencePane *owner, ComKestramoPreferenceQuorvelModel *model,
                 ComKestramoPreferenceQuorvelController *controller)
{
    const Bundle &bundle = *owner->bundle();
    tieCheckBox(control<QCheckBox>(view, "verboseCheckBox"), model, &ComKestramoPreferenceQuorvelModel::verboseLogging,
                &ComKestramoPreferenceQuorvelModel::verboseLoggingChanged,
                &ComKestramoPreferenceQuorvelModel::setVerboseLogging);
    tieCheckBox(control<QCheckBox>(view, "missedRemindersCheckBox"), model,
                &ComKestramoPreferenceQuorvelModel::sendMissedReminders,
                &ComKestramoPreferenceQuorvelModel::sendMissedRemindersChanged,
                &ComKestramoPreferenceQuorvelModel::setSendMissedReminders);
    tieDays(control<QComboBox>(view, "daysComboBox"), model);
    tieSender(control<QComboBox>(view, "senderComboBox"), model, bundle);
    auto *notice = control<QLabel>(view, "templateNoticeLabel");
    tieTitle(control<QLineEdit>(view, "mailTitleEdit"), notice, model, bundle);
    tieContent(controller->mailContent(), notice, model, bundle);
    tieSettingsProblem(control<QLabel>(view, "settingsProblemLabel"), model, bundle);
    tieCalendars(view, owner, model);
    // Calendar accounts: "Add Account..." beside the calendars, the list on a tab of its own.
    new AccountsPanel(view, owner->bundle(),
                      owner->bundle()->resourcePath() + QLatin1Char('/') + CalendarSync::programName(), owner);
}

// Help pages, the log and the calendars' folder that could not be opened (no browser or viewer
// set up, no xdg-open): a sheet on the window in front says which and why, with the path to copy
// and open some other way.
void tieOpenFailures(QWidget *view, PreferencePane *owner)
{
    const Bundle *bundle = owner->bundle();
    const QPointer<QWidget> pane = view;
    Workspace::setFailureHandler(owner, [pane, bundle](const Workspace::OpenFailure &failure) {
        const auto tr = [bundle](const char *key) { return bundle->localizedStringForKey(QLatin1String(key)); };
        QString message;
        switch (failure.reason) {
        case Workspace::OpenFailure::NoSuchFile:
            message = tr("OpenFailedNoSuchFile");
            break;
        case Workspace::OpenFailure::NoOpener:
            message = tr("OpenFailedNoOpener");
            break;
        case Workspace::OpenFailure::NotStarted:
            message = tr("OpenFailedNotStarted").arg(failure.detail);
            break;
        case Workspace::OpenFailure::NoProgram:
            message = tr("OpenFailedNoProgram");
            break;
        case Workspace::OpenFailure::OpenerFailed:
            message = tr("OpenFailedOther").arg(failure.status);
            break;
        }
        if (failure.reason != Workspace::OpenFailure::NotStarted && !failure.detail.isEmpty()) {
            message += QStringLiteral("\n\n") + tr("OpenFailedSaid").arg(failure.detail);
        }
        QWidget *window = QApplication::activeModalWidget();
        if (!window && pane) {
            window = pane->window();
        }
        const QString name = QFileInfo(failure.target).fileName();
        AlertSheet::beginPathAlertSheet(tr("OpenFailed").arg(name.isEmpty() ? failure.target : name), message,
                                        failure.target, tr("OpenFailedCopy"), QStringLiteral("OK"), window);
    });
}

// The buttons that run the controller's actions.
void tieActions(QWidget *view, ComKestramoPreferenceQuorvelController *controller)
{
    using Controller = ComKestramoPreferenceQuorvelController;
    tieAction(control<QAbstractButton>(view, "alertNowButton"), controller, &Controller::alertNow);
    // The placeholders go in where the message's cursor is, and the message keeps the keyboard.
    if (QPlainTextEdit *content = controller->mailContent()) {
        for (const char *name :
             {"insertDateButton", "insertTimeButton", "insertFirstNameButton", "insertLastNameButton"}) {
            if (auto *insert = control<QAbstractButton>(view, name)) {
                QObject::connect(insert, &QAbstractButton::clicked, content, [content] { content->setFocus(); });
            }
        }
    }
    tieAction(control<QAbstractButton>(view, "showLogButton"), controller, &Controller::showLog);
    tieAction(control<QAbstractButton>(view, "sentShowLogButton"), controller, &Controller::showLog);
    tieAction(control<QAbstractButton>(view, "helpButton"), controller, &Controller::help);
    tieAction(control<QAbstractButton>(view, "insertDateButton"), controller, &Controller::insertDate);
    tieAction(control<QAbstractButton>(view, "insertTimeButton"), controller, &Controller::insertTime);
    tieAction(control<QAbstractButton>(view, "insertFirstNameButton"), controller, &Controller::insertFirstName);
    tieAction(control<QAbstractButton>(view, "insertLastNameButton"), controller, &Controller::insertLastName);
}

// The About tab: the credits of the pane's package.
void tieCredits(QWidget *view, const ComKestramoLocaliztedTooltips *tooltips, const Bundle &bundle)
{
    if (auto *credits = control<QTextBrowser>(view, "creditsView")) {
        const QString path = tooltips->creditsPath();
        credits->setHtml(path.isEmpty() ? QString() : RtfDocument::htmlOfPackage(path));
        credits->setAccessibleName(bundle.localizedStringForKey(QStringLiteral("About"), QString()));
    }
}
} // namespace

QObjectList PaneInterface::instantiate(PreferencePane *owner, QWidget *view)
{
    const Bundle &bundle = *owner->bundle();
    auto *model = new ComKestramoPreferenceQuorvelModel(true, nullptr, owner);
    auto *controller = new ComKestramoPreferenceQuorvelController(owner);
    auto *tooltips = new ComKestramoLocaliztedTooltips(owner);
    model->setObjectName(QStringLiteral("model"));
    controller->setObjectName(QStringLiteral("controller"));
    tooltips->setObjectName(QStringLiteral("tooltips"));

    Application::localizeTexts(view, bundle);

    // Outlets.
    controller->setPreferencePane(owner);
    controller->setMailContent(control<QPlainTextEdit>(view, "mailContentEdit"));

    QCheckBox *enable = tieEnable(view, model, controller);
    tieSettings(view, owner, model, controller);
    tieActions(view, controller);
    tieMailSetup(view, owner, model);
    tieUpcoming(view, owner, model);
    SentRemindersModel *sent = tieSent(view, owner, controller);
    tieSendAgain(view, owner, model, sent);

    // Tooltips and credits.
    tieTooltips(view, tooltips);
    ScheduleStatus *schedule = tieSchedule(view, owner, model, controller);
    if (enable && schedule) {
        QObject::connect(enable, &QCheckBox::clicked, schedule,
                         [schedule, model] { schedule->refresh(model->quorvelEnabled()); });
    }
    tieAlertNow(view, owner, model, controller, tooltips, sent, schedule);

    tieTabOrder(view);
    tieCredits(view, tooltips, bundle);
    tieOpenFailures(view, owner);
    return {model, controller, tooltips};
}
