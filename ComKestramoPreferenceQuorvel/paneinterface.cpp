#include "paneinterface.h"

#include "ComKestramoLocaliztedTooltips.h"
#include "ComKestramoPreferenceQuorvelController.h"
#include "ComKestramoPreferenceQuorvelModel.h"
#include "bundle.h"
#include "helpbook.h"
#include "mailapplication.h"
#include "preferencepane.h"
#include "reminderpreview.h"
#include "rtfdocument.h"
#include "sentreminders.h"
#include "testreminder.h"
#include "userfolders.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTextBrowser>

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

// The form's own texts are written in English; each is the key of its translation.
void localizeTexts(QWidget *view, const Bundle &bundle)
{
    const auto tr = [&bundle](const QString &text) { return bundle.localizedStringForKey(text, text); };
    const auto labels = view->findChildren<QLabel *>();
    for (QLabel *label : labels) {
        label->setText(tr(label->text()));
    }
    const auto buttons = view->findChildren<QAbstractButton *>();
    for (QAbstractButton *button : buttons) {
        button->setText(tr(button->text()));
        if (!button->accessibleName().isEmpty()) {
            button->setAccessibleName(tr(button->accessibleName()));
        } else {
            button->setAccessibleName(button->text());
        }
    }
    const auto tabs = view->findChildren<QTabWidget *>();
    for (QTabWidget *tabWidget : tabs) {
        for (int i = 0; i < tabWidget->count(); ++i) {
            tabWidget->setTabText(i, tr(tabWidget->tabText(i)));
        }
    }
    const auto named = view->findChildren<QWidget *>();
    for (QWidget *widget : named) {
        if (!widget->accessibleName().isEmpty() && !qobject_cast<QAbstractButton *>(widget)) {
            widget->setAccessibleName(tr(widget->accessibleName()));
        }
    }
    // A field is named by the label that stands for it.
    for (QLabel *label : labels) {
        if (QWidget *buddy = label->buddy()) {
            QString name = label->text();
            if (name.endsWith(QLatin1Char(':'))) {
                name.chop(1);
            }
            buddy->setAccessibleName(name);
        }
    }
}

// The tooltip of a control, also its description for screen readers.
void setTooltip(QWidget *widget, const QString &text)
{
    if (widget) {
        widget->setToolTip(text);
        widget->setAccessibleDescription(text);
    }
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
                {"calendarsTable", "calendarsTable"}};
    for (const auto &tie : ties) {
        setTooltip(control<QWidget>(view, tie.widget), tooltips->property(tie.property).toString());
    }
}

void tieCheckBox(QCheckBox *box, ComKestramoPreferenceQuorvelModel *model,
                 bool (ComKestramoPreferenceQuorvelModel::*get)() const,
                 void (ComKestramoPreferenceQuorvelModel::*changed)())
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

void tieTitle(QLineEdit *edit, ComKestramoPreferenceQuorvelModel *model)
{
    if (!edit) {
        return;
    }
    const auto show = [edit, model] {
        if (edit->text() != model->mailTitle()) {
            edit->setText(model->mailTitle());
        }
    };
    show();
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::mailTitleChanged, edit, show);
    // Every change is stored as it is typed, so a run started at any moment uses what is shown.
    QObject::connect(edit, &QLineEdit::textEdited, model, &ComKestramoPreferenceQuorvelModel::setMailTitle);
}

void tieContent(QPlainTextEdit *edit, ComKestramoPreferenceQuorvelModel *model)
{
    if (!edit) {
        return;
    }
    const auto show = [edit, model] {
        if (edit->toPlainText() != model->mailContent()) {
            const QSignalBlocker blocker(edit);
            edit->setPlainText(model->mailContent());
        }
    };
    show();
    QObject::connect(model, &ComKestramoPreferenceQuorvelModel::mailContentChanged, edit, show);
    QObject::connect(edit, &QPlainTextEdit::textChanged, model,
                     [edit, model] { model->setMailContent(edit->toPlainText()); });
}

void tieCalendars(QTableView *table, ComKestramoPreferenceQuorvelModel *model)
{
    if (!table) {
        return;
    }
    table->setModel(model->activeCalendarsController());
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
}

// One line that names the mail system the reminders are handed to, or says there is none and
// links to the help page on setting one up.
QString mailStatusText(const Bundle &bundle)
{
    const auto tr = [&bundle](const char *key) { return bundle.localizedStringForKey(QLatin1String(key), QString()); };
    const MailApplication::MailSystem system = MailApplication::mailSystem();
    if (system.sendmail.isEmpty()) {
        return QStringLiteral("%1 <a href=\"mail.html\">%2</a>")
            .arg(tr("MailStatusMissing").toHtmlEscaped(), tr("MailSetupLink").toHtmlEscaped());
    }
    QString program = system.sendmail;
    if (!system.target.isEmpty() && system.target != system.sendmail) {
        program += QStringLiteral(" → ") + system.target;
    }
    if (system.name == QLatin1String("script")) {
        return tr("MailStatusScript").arg(program).toHtmlEscaped();
    }
    if (system.name.isEmpty()) {
        return tr("MailStatusUnknown").arg(program).toHtmlEscaped();
    }
    return tr("MailStatusFound").arg(system.name, program).toHtmlEscaped();
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
    const auto showStatus = [status, bundle] { status->setText(mailStatusText(*bundle)); };
    showStatus();
    status->setAccessibleName(tr("Mail"));
    QObject::connect(status, &QLabel::linkActivated, status, [bundle](const QString &page) {
        HelpBook::gotoPage(bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookName")).toString(), page);
    });

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
    QHash<QString, QString> texts;
    for (const char *key : {"PreviewColumnDay",           "PreviewColumnTime",     "PreviewColumnEvent",
                            "PreviewColumnCalendar",      "PreviewColumnAttendee", "PreviewColumnReminder",
                            "PreviewAlreadyMarked",       "PreviewNoAttendees",    "PreviewTooManyReminders",
                            "PreviewCalendarNotEnabled",  "PreviewNoAddress",      "PreviewOwnAddress",
                            "PreviewAlreadyHandedOver",   "PreviewRefusedAddress", "PreviewListedTwice",
                            "PreviewDuplicateOccurrence", "PreviewMessageTo",      "PreviewMessageFrom",
                            "PreviewMessageSubject",      "SenderNotChosen"}) {
        texts.insert(QLatin1String(key), bundle->localizedStringForKey(QLatin1String(key), QString()));
    }
    preview->setTexts(texts);
    table->setModel(preview);
    // Day and time fit their text; event, calendar and attendee get a fair share; the reminder
    // (its subject, or why none goes) the rest.
    QHeaderView *header = table->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    header->resizeSection(2, 140);
    header->resizeSection(3, 100);
    header->resizeSection(4, 210);
    header->setStretchLastSection(true);
    table->setTextElideMode(Qt::ElideRight);
    if (auto *splitter = qobject_cast<QSplitter *>(table->parentWidget())) {
        splitter->setStretchFactor(0, 3); // the list first; the message below it
        splitter->setStretchFactor(1, 1);
    }

    const auto showStatus = [=] {
        if (preview->isComputing()) {
            status->setText(bundle->localizedStringForKey(QStringLiteral("PreviewComputing"), QString()));
            return;
        }
        int reminders = 0;
        for (const PreviewRow &row : preview->rows()) {
            reminders += row.hasAttendee && row.attendee.verdict == AttendeeDecision::Remind ? 1 : 0;
        }
        status->setText(bundle->localizedStringForKey(QStringLiteral("PreviewSummary"), QString())
                            .arg(reminders)
                            .arg(model->daysBeforeEventStart()));
    };
    showStatus();
    QObject::connect(preview, &ReminderPreviewModel::computingChanged, status, showStatus);
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

// The reminders of the agent's log, in the Sent tab.
void tieSent(QWidget *view, PreferencePane *owner, ComKestramoPreferenceQuorvelController *controller)
{
    auto *table = control<QTableView>(view, "sentTable");
    if (!table) {
        return;
    }
    auto *sent = new SentRemindersModel(userLibraryPath() + QStringLiteral("/Logs"), controller->agentName(), owner);
    QHash<QString, QString> texts;
    for (const char *key : {"SentColumnTime", "SentColumnEvent", "SentColumnAddress", "SentColumnOutcome",
                            "SentOutcomeSent", "SentOutcomeFailed", "SentOutcomeNoAddress", "SentOutcomeSending"}) {
        texts.insert(QLatin1String(key), owner->bundle()->localizedStringForKey(QLatin1String(key), QString()));
    }
    sent->setTexts(texts);
    sent->setObjectName(QStringLiteral("sentReminders"));
    table->setModel(sent);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
}

void tieAction(QAbstractButton *button, ComKestramoPreferenceQuorvelController *controller,
               void (ComKestramoPreferenceQuorvelController::*action)(QObject *))
{
    if (button) {
        QObject::connect(button, &QAbstractButton::clicked, controller,
                         [button, controller, action] { (controller->*action)(button); });
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

    localizeTexts(view, bundle);

    // Outlets.
    controller->setPreferencePane(owner);
    controller->setMailContent(control<QPlainTextEdit>(view, "mailContentEdit"));

    // The settings.
    auto *enable = control<QCheckBox>(view, "enableCheckBox");
    tieCheckBox(enable, model, &ComKestramoPreferenceQuorvelModel::quorvelEnabled,
                &ComKestramoPreferenceQuorvelModel::quorvelEnabledChanged);
    if (enable) {
        // The stored setting first, then the schedule: both follow the box.
        QObject::connect(enable, &QCheckBox::clicked, controller, [enable, model, controller] {
            model->setQuorvelEnabled(enable->checkState() == Qt::Checked);
            controller->enableCheckPressed(enable);
        });
    }
    auto *verbose = control<QCheckBox>(view, "verboseCheckBox");
    tieCheckBox(verbose, model, &ComKestramoPreferenceQuorvelModel::verboseLogging,
                &ComKestramoPreferenceQuorvelModel::verboseLoggingChanged);
    if (verbose) {
        QObject::connect(verbose, &QCheckBox::clicked, model,
                         [verbose, model] { model->setVerboseLogging(verbose->checkState() == Qt::Checked); });
    }
    tieDays(control<QComboBox>(view, "daysComboBox"), model);
    tieSender(control<QComboBox>(view, "senderComboBox"), model, bundle);
    tieTitle(control<QLineEdit>(view, "mailTitleEdit"), model);
    tieContent(controller->mailContent(), model);
    tieCalendars(control<QTableView>(view, "calendarsTable"), model);

    // The actions.
    using Controller = ComKestramoPreferenceQuorvelController;
    tieAction(control<QAbstractButton>(view, "alertNowButton"), controller, &Controller::alertNow);
    tieAction(control<QAbstractButton>(view, "showLogButton"), controller, &Controller::showLog);
    tieAction(control<QAbstractButton>(view, "sentShowLogButton"), controller, &Controller::showLog);
    tieAction(control<QAbstractButton>(view, "helpButton"), controller, &Controller::help);
    tieAction(control<QAbstractButton>(view, "insertDateButton"), controller, &Controller::insertDate);
    tieAction(control<QAbstractButton>(view, "insertTimeButton"), controller, &Controller::insertTime);
    tieAction(control<QAbstractButton>(view, "insertFirstNameButton"), controller, &Controller::insertFirstName);
    tieAction(control<QAbstractButton>(view, "insertLastNameButton"), controller, &Controller::insertLastName);

    tieMailSetup(view, owner, model);
    tieUpcoming(view, owner, model);
    tieSent(view, owner, controller);

    // Tooltips and credits.
    tieTooltips(view, tooltips);
    if (auto *credits = control<QTextBrowser>(view, "creditsView")) {
        const QString path = tooltips->creditsPath();
        credits->setHtml(path.isEmpty() ? QString() : RtfDocument::htmlOfPackage(path));
        credits->setAccessibleName(bundle.localizedStringForKey(QStringLiteral("About"), QString()));
    }
    return {model, controller, tooltips};
}
