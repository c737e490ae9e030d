#include "ComKestramoPreferenceQuorvelModel.h"

#include "ComKestramoPreferencesUtils.h"
#include "addressbook.h"
#include "bundle.h"
#include "calendarstore.h"
#include "preferencewatcher.h"
#include "propertylist.h"
#include "textnumber.h"

#include <algorithm>
#include <climits>

namespace {
const QString keyQuorvelEnabled = QStringLiteral("quorvelEnabled");
const QString keyVerboseLogging = QStringLiteral("verboseLogging");
const QString keyDaysBeforeEventStart = QStringLiteral("daysBeforeEventStart");
const QString keyActiveCalendars = QStringLiteral("activeCalendars");
const QString keyMailTitle = QStringLiteral("mailTitle");
const QString keyMailContent = QStringLiteral("mailContent");
const QString keySenderEmail = QStringLiteral("senderEmail");
const QString keySendMissedReminders = QStringLiteral("sendMissedReminders");
// Every key, in the order in which the model stores them.
const QStringList storedKeys {keyQuorvelEnabled, keyVerboseLogging, keyDaysBeforeEventStart, keySenderEmail,
                              keyMailTitle,      keyMailContent,    keyActiveCalendars,      keySendMissedReminders};
const QString defaultDays = QStringLiteral("4"); // daysList element 3
const QString noSender = QStringLiteral(" "); // userEmails element 0

const QString entryKeyUID = QStringLiteral("calendaUID");
const QString entryKeyTitle = QStringLiteral("calendarTitle");
const QString entryKeyEnabled = QStringLiteral("isCalendarEnabled");

// A function of the model's own code: its address finds the bundle that holds that code.
void modelCodeAnchor() { }

// The text of key in the default strings table of the model's bundle; the key when it has none.
QString localizedText(const QString &key)
{
    const Bundle *bundle = Bundle::bundleForCode(reinterpret_cast<const void *>(&modelCodeAnchor));
    return bundle ? bundle->localizedStringForKey(key, QString()) : key;
}

bool isNumber(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

int clampToInt(double value)
{
    if (value >= INT_MAX) {
        return INT_MAX;
    }
    if (value <= INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

// The integer value of a stored setting: a boolean gives 0 or 1, a number its integer part,
// a text its leading decimal integer; anything else 0.
int integerValue(const QVariant &value)
{
    if (value.userType() == QMetaType::Bool) {
        return value.toBool() ? 1 : 0;
    }
    if (value.userType() == QMetaType::QString) {
        return leadingInteger(value.toString());
    }
    if (isNumber(value)) {
        return clampToInt(value.toDouble());
    }
    return 0;
}

// A stored text setting; a number gives its decimal text; any other kind of value gives fallback.
QString textValue(const QVariant &value, const QString &fallback)
{
    if (value.userType() == QMetaType::QString || isNumber(value)) {
        return value.toString();
    }
    return fallback;
}

// A stored list of texts; elements that are not texts are left out.
QStringList textList(const QVariant &value)
{
    QStringList texts;
    if (value.userType() == QMetaType::QStringList) {
        return value.toStringList();
    }
    if (value.userType() == QMetaType::QVariantList) {
        const QVariantList list = value.toList();
        for (const QVariant &element : list) {
            if (element.userType() == QMetaType::QString) {
                texts.append(element.toString());
            }
        }
    }
    return texts;
}

// The account a calendar is listed under: its store's name for it, or for a calendar folder that
// belongs to none, "Calendar folders".
QString accountText(const Calendar &calendar)
{
    return calendar.account.isEmpty() ? localizedText(QStringLiteral("CalendarsFolderAccount")) : calendar.account;
}

// The first identifier of the list under key; empty when the list is empty.
QString firstIdentifier(const QVariantMap &userInfo, const QString &key)
{
    const QStringList ids = userInfo.value(key).toStringList();
    return ids.isEmpty() ? QString() : ids.first();
}
} // namespace

// ---- ComKestramoCalendarEntry

void ComKestramoCalendarEntry::setCalendaUID(const QString &uid)
{
    if (uid != m_calendaUID) {
        m_calendaUID = uid;
        Q_EMIT calendaUIDChanged();
    }
}

void ComKestramoCalendarEntry::setCalendarTitle(const QString &title)
{
    if (title != m_calendarTitle) {
        m_calendarTitle = title;
        Q_EMIT calendarTitleChanged();
    }
}

void ComKestramoCalendarEntry::setCalendarAccount(const QString &account)
{
    if (account != m_calendarAccount) {
        m_calendarAccount = account;
        Q_EMIT calendarAccountChanged();
    }
}

void ComKestramoCalendarEntry::setIsCalendarEnabled(const QVariant &enabled)
{
    m_isCalendarEnabled = enabled;
    Q_EMIT isCalendarEnabledChanged();
}

bool ComKestramoCalendarEntry::enabled() const
{
    if (m_isCalendarEnabled.userType() == QMetaType::Bool) {
        return m_isCalendarEnabled.toBool();
    }
    return isNumber(m_isCalendarEnabled) && m_isCalendarEnabled.toDouble() == 1.0;
}

QVariant ComKestramoCalendarEntry::valueForKey(const QString &key) const
{
    if (key == entryKeyUID) {
        return m_calendaUID;
    }
    if (key == entryKeyTitle) {
        return m_calendarTitle;
    }
    if (key == entryKeyEnabled) {
        return m_isCalendarEnabled;
    }
    return QVariant();
}

void ComKestramoCalendarEntry::setValueForKey(const QVariant &value, const QString &key)
{
    if (key == entryKeyUID) {
        setCalendaUID(value.toString());
    } else if (key == entryKeyTitle) {
        setCalendarTitle(value.toString());
    } else if (key == entryKeyEnabled) {
        setIsCalendarEnabled(value);
    }
}

// ---- ComKestramoPreferenceQuorvelModel

ComKestramoPreferenceQuorvelModel::ComKestramoPreferenceQuorvelModel(bool initListenCalendars, CalendarStore *store,
                                                                     QObject *parent)
    : QObject(parent), m_store(store ? store : CalendarStore::defaultCalendarStore())
{
    ComKestramoPreferencesUtils *prefs = ComKestramoPreferencesUtils::sharedPreferences();

    m_daysList = QStringList {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4"),
                              QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7")};
    m_defaultTitle = localizedText(QStringLiteral("defaultMailTitle"));
    m_defaultContent = localizedText(QStringLiteral("defaultMailContent"));
    const auto read = [this, prefs](const QString &key, const QVariant &defaultValue) {
        applyStored(key, prefs->valueFromPreferencesWithKey(key, defaultValue));
    };
    read(keyQuorvelEnabled, false);
    read(keyVerboseLogging, false);
    read(keyActiveCalendars, QStringList());
    read(keyDaysBeforeEventStart, m_daysList.at(3));
    read(keyMailTitle, m_defaultTitle);
    read(keyMailContent, m_defaultContent);

    QStringList emails {noSender};
    if (const AddressBook *book = AddressBook::sharedAddressBook()) {
        if (const std::optional<Person> me = book->me()) {
            emails += me->emails;
        }
    }
    m_userEmails = emails;
    // A stored address that is not among them reads as " ", in memory only: the domain holds the
    // old address until the next store.
    read(keySenderEmail, emails.at(0));
    read(keySendMissedReminders, true);

    if (m_store) {
        const QList<Calendar> calendars = m_store->calendars();
        for (const Calendar &calendar : calendars) {
            if (calendar.type == CalendarStore::CalCalendarTypeLocal) {
                m_allCalendars.append(builCalendarDictForAllCalendarsArray(calendar));
            }
        }
    }

    // Watching starts only now, so that loading the settings stores nothing but the defaults.
    connect(this, &ComKestramoPreferenceQuorvelModel::quorvelEnabledChanged, this,
            &ComKestramoPreferenceQuorvelModel::storeToPreferences);
    connect(this, &ComKestramoPreferenceQuorvelModel::verboseLoggingChanged, this,
            &ComKestramoPreferenceQuorvelModel::storeToPreferences);
    connect(this, &ComKestramoPreferenceQuorvelModel::daysBeforeEventStartChanged, this,
            &ComKestramoPreferenceQuorvelModel::storeToPreferences);
    connect(this, &ComKestramoPreferenceQuorvelModel::senderEmailChanged, this,
            &ComKestramoPreferenceQuorvelModel::storeToPreferences);
    connect(this, &ComKestramoPreferenceQuorvelModel::mailTitleChanged, this,
            &ComKestramoPreferenceQuorvelModel::storeToPreferences);
    connect(this, &ComKestramoPreferenceQuorvelModel::mailContentChanged, this,
            &ComKestramoPreferenceQuorvelModel::storeToPreferences);
    connect(this, &ComKestramoPreferenceQuorvelModel::sendMissedRemindersChanged, this,
            &ComKestramoPreferenceQuorvelModel::storeToPreferences);
    for (ComKestramoCalendarEntry *entry : std::as_const(m_allCalendars)) {
        observeEntry(entry);
    }

    if (initListenCalendars && m_store) {
        connect(m_store, &CalendarStore::calendarsChangedExternally, this,
                &ComKestramoPreferenceQuorvelModel::calendarsChanged);
    }

    // What each setting was read from: a setting left as it is never replaces a newer value.
    for (const QString &key : storedKeys) {
        noteTaken(key, prefs->storedValueWithKey(key));
    }
    QString problem;
    if (!prefs->synchronize(&problem)) {
        setPreferencesProblem(problem);
    }
    refreshFromPreferences();
    if (initListenCalendars) {
        // The window shows what other programs (ruvelant set, defaults) store while it is open.
        m_watcher = new PreferenceWatcher(prefs->filePath(), this);
        connect(m_watcher, &PreferenceWatcher::changed, this,
                &ComKestramoPreferenceQuorvelModel::refreshFromPreferences);
    }
}

ComKestramoPreferenceQuorvelModel::~ComKestramoPreferenceQuorvelModel()
{
    if (m_store) {
        disconnect(m_store, nullptr, this, nullptr);
    }
    disconnect(this, nullptr, this, nullptr);
    for (ComKestramoCalendarEntry *entry : std::as_const(m_allCalendars)) {
        disconnect(entry, nullptr, this, nullptr);
    }
    delete m_controller;
    m_controller = nullptr;
    qDeleteAll(m_allCalendars);
    m_allCalendars.clear();
}

void ComKestramoPreferenceQuorvelModel::setVerboseLogging(bool verbose)
{
    m_verboseLogging = verbose;
    Q_EMIT verboseLoggingChanged();
}

void ComKestramoPreferenceQuorvelModel::setQuorvelEnabled(bool enabled)
{
    m_quorvelEnabled = enabled;
    Q_EMIT quorvelEnabledChanged();
}

void ComKestramoPreferenceQuorvelModel::setDaysBeforeEventStart(const QString &days)
{
    m_daysBeforeEventStart = days;
    Q_EMIT daysBeforeEventStartChanged();
}

void ComKestramoPreferenceQuorvelModel::setDaysList(const QStringList &days)
{
    m_daysList = days;
    Q_EMIT daysListChanged();
}

void ComKestramoPreferenceQuorvelModel::setActiveCalendars(const QStringList &uids)
{
    m_activeCalendars = uids;
    Q_EMIT activeCalendarsChanged();
}

void ComKestramoPreferenceQuorvelModel::setUserEmails(const QStringList &emails)
{
    m_userEmails = emails;
    Q_EMIT userEmailsChanged();
}

void ComKestramoPreferenceQuorvelModel::setSenderEmail(const QString &sender)
{
    m_senderEmail = sender;
    Q_EMIT senderEmailChanged();
}

void ComKestramoPreferenceQuorvelModel::setMailTitle(const QString &title)
{
    m_mailTitle = title;
    Q_EMIT mailTitleChanged();
}

void ComKestramoPreferenceQuorvelModel::setMailContent(const QString &content)
{
    m_mailContent = content;
    Q_EMIT mailContentChanged();
}

void ComKestramoPreferenceQuorvelModel::setSendMissedReminders(bool send)
{
    m_sendMissedReminders = send;
    Q_EMIT sendMissedRemindersChanged();
}

ComKestramoCalendarsController *ComKestramoPreferenceQuorvelModel::activeCalendarsController()
{
    if (!m_controller) {
        m_controller = new ComKestramoCalendarsController(this);
    }
    return m_controller;
}

void ComKestramoPreferenceQuorvelModel::observeEntry(ComKestramoCalendarEntry *entry)
{
    connect(entry, &ComKestramoCalendarEntry::isCalendarEnabledChanged, this,
            &ComKestramoPreferenceQuorvelModel::storeToPreferences);
}

ComKestramoCalendarEntry *
ComKestramoPreferenceQuorvelModel::builCalendarDictForAllCalendarsArray(const Calendar &calendar)
{
    auto *entry = new ComKestramoCalendarEntry(this);
    entry->setIsCalendarEnabled(isCalendarEnabled(calendar));
    entry->setCalendarTitle(calendar.title);
    entry->setCalendaUID(calendar.uid);
    entry->setCalendarAccount(accountText(calendar));
    return entry;
}

int ComKestramoPreferenceQuorvelModel::isCalendarEnabled(const Calendar &calendar) const
{
    return m_activeCalendars.contains(calendar.uid) ? 1 : 0;
}

void ComKestramoPreferenceQuorvelModel::storeToPreferences()
{
    if (m_taking) {
        return;
    }
    ComKestramoPreferencesUtils *prefs = ComKestramoPreferencesUtils::sharedPreferences();
    setActiveCalendars(calendarsToStore());
    QString problem;
    QStringList changed;
    for (const QString &key : storedKeys) {
        const QVariant value = storedForm(key);
        QString why;
        bool set = false;
        if (PropertyList::sameValue(value, m_taken.value(key))) {
            // Left as it was read: stored unless another program stored a newer value meanwhile.
            set = prefs->setPrefernceValue(value, key, m_read.value(key), &why);
        } else {
            set = prefs->setPrefernceValue(value, key, &why);
            changed.append(key);
        }
        if (!set && problem.isEmpty()) {
            problem = QStringLiteral("%1 cannot be stored: %2").arg(key, why);
        }
    }
    QString error;
    if (prefs->synchronize(&error)) {
        for (const QString &key : std::as_const(changed)) {
            noteTaken(key, storedForm(key)); // as written
        }
        refreshFromPreferences(); // the values that other programs stored meanwhile stay
    } else if (problem.isEmpty()) {
        problem = error;
    }
    setPreferencesProblem(problem);
}

QVariant ComKestramoPreferenceQuorvelModel::storedForm(const QString &key) const
{
    if (key == keyQuorvelEnabled) {
        return m_quorvelEnabled;
    }
    if (key == keyVerboseLogging) {
        return m_verboseLogging;
    }
    if (key == keyDaysBeforeEventStart) {
        return m_daysBeforeEventStart;
    }
    if (key == keySenderEmail) {
        return m_senderEmail;
    }
    if (key == keyMailTitle) {
        return m_mailTitle;
    }
    if (key == keyMailContent) {
        return m_mailContent;
    }
    if (key == keySendMissedReminders) {
        return m_sendMissedReminders;
    }
    return calendarsToStore(); // key == keyActiveCalendars
}

QStringList ComKestramoPreferenceQuorvelModel::calendarsToStore() const
{
    QStringList active;
    for (const ComKestramoCalendarEntry *entry : std::as_const(m_allCalendars)) {
        if (entry->enabled()) {
            active.append(entry->calendaUID());
        }
    }
    // A calendar whose store does not answer now (the desktop's calendar service is not running)
    // has not gone: it stays ticked.
    for (const QString &uid : std::as_const(m_activeCalendars)) {
        const bool listed
            = std::any_of(m_allCalendars.cbegin(), m_allCalendars.cend(),
                          [&uid](const ComKestramoCalendarEntry *entry) { return entry->calendaUID() == uid; });
        if (!listed && !active.contains(uid) && m_store && m_store->isUnreachable(uid)) {
            active.append(uid);
        }
    }
    return active;
}

void ComKestramoPreferenceQuorvelModel::applyStored(const QString &key, const QVariant &value)
{
    if (key == keyQuorvelEnabled) {
        const bool on = integerValue(value.isValid() ? value : false) != 0;
        if (on != m_quorvelEnabled) {
            setQuorvelEnabled(on);
        }
    } else if (key == keyVerboseLogging) {
        const bool on = integerValue(value.isValid() ? value : false) != 0;
        if (on != m_verboseLogging) {
            setVerboseLogging(on);
        }
    } else if (key == keyDaysBeforeEventStart) {
        const QString days = textValue(value, defaultDays);
        if (days != m_daysBeforeEventStart) {
            setDaysBeforeEventStart(days);
        }
    } else if (key == keySenderEmail) {
        QString sender = textValue(value, noSender);
        if (!m_userEmails.contains(sender)) {
            sender = m_userEmails.value(0, noSender);
        }
        if (sender != m_senderEmail) {
            setSenderEmail(sender);
        }
    } else if (key == keyMailTitle) {
        const QString title = textValue(value, m_defaultTitle);
        if (title != m_mailTitle) {
            setMailTitle(title);
        }
    } else if (key == keyMailContent) {
        const QString content = textValue(value, m_defaultContent);
        if (content != m_mailContent) {
            setMailContent(content);
        }
    } else if (key == keySendMissedReminders) {
        const bool send = integerValue(value.isValid() ? value : true) != 0;
        if (send != m_sendMissedReminders) {
            setSendMissedReminders(send);
        }
    } else if (key == keyActiveCalendars) {
        setActiveCalendars(textList(value));
        for (ComKestramoCalendarEntry *entry : std::as_const(m_allCalendars)) {
            const int enabled = m_activeCalendars.contains(entry->calendaUID()) ? 1 : 0;
            if (enabled != (entry->enabled() ? 1 : 0)) {
                entry->setIsCalendarEnabled(enabled);
            }
        }
    }
}

void ComKestramoPreferenceQuorvelModel::noteTaken(const QString &key, const QVariant &stored)
{
    m_read.insert(key, stored);
    m_taken.insert(key, storedForm(key));
}

void ComKestramoPreferenceQuorvelModel::refreshFromPreferences()
{
    ComKestramoPreferencesUtils *prefs = ComKestramoPreferencesUtils::sharedPreferences();
    const QString unreadable = prefs->readError();
    if (!unreadable.isEmpty()) {
        // Nothing of it is taken up: what the model holds is no worse than the defaults.
        m_preferencesReadable = false;
        setPreferencesProblem(unreadable);
        return;
    }
    if (!m_preferencesReadable) {
        m_preferencesReadable = true;
        setPreferencesProblem(QString());
    }
    const bool taking = m_taking;
    m_taking = true;
    for (const QString &key : storedKeys) {
        const QVariant stored = prefs->storedValueWithKey(key);
        // A change made here and not stored yet (the store failed) stays.
        if (!PropertyList::sameValue(stored, m_read.value(key))
            && PropertyList::sameValue(storedForm(key), m_taken.value(key))) {
            applyStored(key, stored);
            noteTaken(key, stored);
        }
    }
    m_taking = taking;
}

void ComKestramoPreferenceQuorvelModel::setPreferencesProblem(const QString &problem)
{
    if (problem != m_preferencesProblem) {
        m_preferencesProblem = problem;
        Q_EMIT preferencesProblemChanged();
    }
}

void ComKestramoPreferenceQuorvelModel::calendarsChanged(const QVariantMap &userInfo)
{
    const auto entryWithUID = [this](const QString &uid) -> ComKestramoCalendarEntry * {
        for (ComKestramoCalendarEntry *entry : std::as_const(m_allCalendars)) {
            if (entry->calendaUID() == uid) {
                return entry;
            }
        }
        return nullptr;
    };

    if (userInfo.contains(CalendarStore::CalInsertedRecordsKey)) {
        const QString uid = firstIdentifier(userInfo, CalendarStore::CalInsertedRecordsKey);
        if (uid.isEmpty() || !m_store || entryWithUID(uid)) {
            return; // a calendar already listed is not listed twice
        }
        const std::optional<Calendar> calendar = m_store->calendarWithUID(uid);
        if (!calendar) {
            return;
        }
        ComKestramoCalendarEntry *entry = builCalendarDictForAllCalendarsArray(*calendar);
        observeEntry(entry);
        if (m_controller) {
            m_controller->addObject(entry);
        } else {
            m_allCalendars.append(entry);
        }
    } else if (userInfo.contains(CalendarStore::CalDeletedRecordsKey)) {
        const QString uid = firstIdentifier(userInfo, CalendarStore::CalDeletedRecordsKey);
        ComKestramoCalendarEntry *entry = uid.isEmpty() ? nullptr : entryWithUID(uid);
        if (!entry) {
            return;
        }
        disconnect(entry, nullptr, this, nullptr);
        if (m_controller) {
            m_controller->removeObject(entry);
        } else {
            m_allCalendars.removeOne(entry);
        }
        delete entry;
        storeToPreferences();
    } else if (userInfo.contains(CalendarStore::CalUpdatedRecordsKey)) {
        const QString uid = firstIdentifier(userInfo, CalendarStore::CalUpdatedRecordsKey);
        if (uid.isEmpty() || !m_store) {
            return;
        }
        const std::optional<Calendar> calendar = m_store->calendarWithUID(uid);
        ComKestramoCalendarEntry *entry = calendar ? entryWithUID(uid) : nullptr;
        if (!entry) {
            return;
        }
        entry->setCalendarTitle(calendar->title);
        entry->setCalendarAccount(accountText(*calendar));
        if (m_controller) {
            m_controller->rearrangeObjects();
        }
    }
}

// ---- ComKestramoCalendarsController

namespace {
// Redraws an entry's row whenever the entry changes.
void redrawOnChange(ComKestramoCalendarsController *controller, const QList<ComKestramoCalendarEntry *> &entries,
                    ComKestramoCalendarEntry *entry)
{
    const auto redraw = [controller, &entries, entry]() {
        const int row = entries.indexOf(entry);
        if (row >= 0) {
            Q_EMIT controller->dataChanged(controller->index(row, 0),
                                           controller->index(row, controller->columnCount() - 1));
        }
    };
    QObject::connect(entry, &ComKestramoCalendarEntry::isCalendarEnabledChanged, controller, redraw);
    QObject::connect(entry, &ComKestramoCalendarEntry::calendarTitleChanged, controller, redraw);
    QObject::connect(entry, &ComKestramoCalendarEntry::calendarAccountChanged, controller, redraw);
}
} // namespace

ComKestramoCalendarsController::ComKestramoCalendarsController(ComKestramoPreferenceQuorvelModel *model)
    : QAbstractTableModel(model), m_model(model)
{
    for (ComKestramoCalendarEntry *entry : std::as_const(m_model->m_allCalendars)) {
        redrawOnChange(this, m_model->m_allCalendars, entry);
    }
}

int ComKestramoCalendarsController::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_model->m_allCalendars.size();
}

int ComKestramoCalendarsController::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 3;
}

QVariant ComKestramoCalendarsController::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid)) {
        return QVariant();
    }
    const ComKestramoCalendarEntry *entry = m_model->m_allCalendars.at(index.row());
    if (index.column() == 0 && role == Qt::CheckStateRole) {
        return entry->enabled() ? Qt::Checked : Qt::Unchecked;
    }
    if (index.column() == 1 && (role == Qt::DisplayRole || role == Qt::EditRole)) {
        return entry->calendarTitle();
    }
    if (index.column() == 2 && (role == Qt::DisplayRole || role == Qt::ToolTipRole)) {
        return entry->calendarAccount();
    }
    return QVariant();
}

bool ComKestramoCalendarsController::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid) || index.column() != 0 || role != Qt::CheckStateRole) {
        return false;
    }
    // The entry's own change signal stores the settings and redraws the row.
    m_model->m_allCalendars.at(index.row())->setIsCalendarEnabled(value.toInt() == Qt::Checked ? 1 : 0);
    return true;
}

Qt::ItemFlags ComKestramoCalendarsController::flags(const QModelIndex &index) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid)) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0) {
        flags |= Qt::ItemIsUserCheckable;
    }
    return flags;
}

void ComKestramoCalendarsController::addObject(ComKestramoCalendarEntry *entry)
{
    if (!entry || m_model->m_allCalendars.contains(entry)) {
        return;
    }
    const int row = m_model->m_allCalendars.size();
    beginInsertRows(QModelIndex(), row, row);
    entry->setParent(m_model);
    m_model->m_allCalendars.append(entry);
    endInsertRows();
    redrawOnChange(this, m_model->m_allCalendars, entry);
}

void ComKestramoCalendarsController::removeObject(ComKestramoCalendarEntry *entry)
{
    const int row = m_model->m_allCalendars.indexOf(entry);
    if (row < 0) {
        return;
    }
    beginRemoveRows(QModelIndex(), row, row);
    m_model->m_allCalendars.removeAt(row);
    endRemoveRows();
    disconnect(entry, nullptr, this, nullptr);
}

void ComKestramoCalendarsController::rearrangeObjects()
{
    const int rows = rowCount();
    if (rows > 0) {
        Q_EMIT dataChanged(index(0, 0), index(rows - 1, columnCount() - 1));
    }
}
