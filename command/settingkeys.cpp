#include "settingkeys.h"

#include "ComKestramoPreferenceQuorvelModel.h"
#include "preferenceservice.h"
#include "reminderdecisions.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>

#include <cstdio>

namespace {
// The keys of the domain, one line each; a new setting of the model is one more line.
const QList<SettingKey> keys {
    {"quorvelEnabled", SettingKey::Switch},
    {"verboseLogging", SettingKey::Boolean},
    {"daysBeforeEventStart", SettingKey::Days},
    {"activeCalendars", SettingKey::Calendars},
    {"mailTitle", SettingKey::Line},
    {"mailContent", SettingKey::Text},
    {"senderEmail", SettingKey::Sender},
    {"sendMissedReminders", SettingKey::Boolean},
};

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// Standard input as text, without the line break that ends its last line. Read up to just past
// what a setting holds: more is refused without reading it all (it may never end).
std::optional<QString> standardInput(QString *error)
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) {
        return QString();
    }
    // A pipe gives what it holds at the moment: read on until the end, or past the bound.
    const qint64 most = PreferenceService::maxTextSize + 1; // and the line break that ends it
    QByteArray data;
    for (QByteArray part; data.size() <= most && !(part = in.read(most + 1 - data.size())).isEmpty();) {
        data += part;
    }
    if (data.size() > most) {
        *error = QStringLiteral("the text from standard input is longer than the %1 bytes (%2 KiB) that a setting "
                                "may hold")
                     .arg(PreferenceService::maxTextSize)
                     .arg(PreferenceService::maxTextSize / 1024);
        return std::nullopt;
    }
    QString text = QString::fromUtf8(data);
    if (text.toUtf8() != data) {
        *error = QStringLiteral("the text from standard input is not UTF-8");
        return std::nullopt;
    }
    if (text.endsWith(QLatin1Char('\n'))) {
        text.chop(1);
    }
    return text;
}

bool setCalendars(const QStringList &values, ComKestramoPreferenceQuorvelModel &model, QString *error)
{
    // A single empty value leaves no calendar ticked.
    const QStringList wanted = values == QStringList {QString()} ? QStringList() : values;
    QStringList known;
    for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
        known.append(QStringLiteral("%1 (%2)").arg(entry->calendaUID(), entry->calendarTitle()));
    }
    for (const QString &uid : wanted) {
        const bool found
            = std::any_of(model.allCalendars().cbegin(), model.allCalendars().cend(),
                          [&uid](const ComKestramoCalendarEntry *entry) { return entry->calendaUID() == uid; });
        if (!found) {
            *error = known.isEmpty()
                ? QStringLiteral("there is no calendar %1: there are no calendars yet").arg(quoted(uid))
                : QStringLiteral("there is no calendar %1: the calendars are %2")
                      .arg(quoted(uid), known.join(QStringLiteral(", ")));
            return false;
        }
    }
    // Ticked and unticked as in the pane's table: each change stores the settings.
    for (ComKestramoCalendarEntry *entry : model.allCalendars()) {
        entry->setIsCalendarEnabled(wanted.contains(entry->calendaUID()) ? 1 : 0);
    }
    if (model.allCalendars().isEmpty()) {
        model.storeToPreferences(); // calendars that are gone leave the settings
    }
    return true;
}
} // namespace

const QList<SettingKey> &SettingKeys::all()
{
    return keys;
}

const SettingKey *SettingKeys::find(const QString &name)
{
    for (const SettingKey &key : keys) {
        if (name == QLatin1String(key.name)) {
            return &key;
        }
    }
    return nullptr;
}

QString SettingKeys::names()
{
    QStringList names;
    for (const SettingKey &key : keys) {
        names.append(QLatin1String(key.name));
    }
    return names.join(QStringLiteral(", "));
}

QString SettingKeys::valuesOf(SettingKey::Kind kind)
{
    switch (kind) {
    case SettingKey::Switch:
    case SettingKey::Boolean:
        return QStringLiteral("true or false (or yes/no, on/off, 1/0)");
    case SettingKey::Days:
        return QStringLiteral("a number of days from 1 to 7");
    case SettingKey::Calendars:
        return QStringLiteral("the identifiers of calendars (their folder names), or \"\" for none");
    case SettingKey::Line:
        return QStringLiteral("a text of one line (empty: the built-in text)");
    case SettingKey::Text:
        return QStringLiteral("a text (empty: the built-in text; - reads it from standard input)");
    case SettingKey::Sender:
        return QStringLiteral("an address of your own card, or \"\" for the mail system's default sender");
    }
    return QString();
}

std::optional<bool> SettingKeys::boolean(const QString &text)
{
    const QString word = text.trimmed().toLower();
    for (const char *yes : {"true", "yes", "on", "1"}) {
        if (word == QLatin1String(yes)) {
            return true;
        }
    }
    for (const char *no : {"false", "no", "off", "0"}) {
        if (word == QLatin1String(no)) {
            return false;
        }
    }
    return std::nullopt;
}

QStringList SettingKeys::value(const SettingKey &key, const ComKestramoPreferenceQuorvelModel &model)
{
    const QVariant value = model.property(key.name);
    switch (key.kind) {
    case SettingKey::Switch:
    case SettingKey::Boolean:
        return {value.toBool() ? QStringLiteral("true") : QStringLiteral("false")};
    case SettingKey::Calendars:
        return calendarUids(model, false); // the ticked calendars that are there
    case SettingKey::Sender:
        return {value.toString().trimmed()};
    case SettingKey::Days:
    case SettingKey::Line:
    case SettingKey::Text:
        break;
    }
    return {value.toString()};
}

bool SettingKeys::set(const SettingKey &key, const QStringList &values, ComKestramoPreferenceQuorvelModel &model,
                      QString *error)
{
    const QString name = QLatin1String(key.name);
    if (key.kind == SettingKey::Calendars) {
        return setCalendars(values, model, error);
    }
    if (values.size() != 1) {
        *error = QStringLiteral("%1 takes one value: %2").arg(name, valuesOf(key.kind));
        return false;
    }
    QString text = values.first();
    const auto refuse = [&] {
        *error = QStringLiteral("%1 takes %2, not %3").arg(name, valuesOf(key.kind), quoted(text));
        return false;
    };
    QVariant stored;
    switch (key.kind) {
    case SettingKey::Switch:
    case SettingKey::Boolean: {
        const std::optional<bool> on = boolean(text);
        if (!on) {
            return refuse();
        }
        stored = *on;
        break;
    }
    case SettingKey::Days:
        if (!model.daysList().contains(text.trimmed())) {
            return refuse();
        }
        stored = text.trimmed();
        break;
    case SettingKey::Line:
        if (text.contains(QRegularExpression(QStringLiteral("[\\r\\n\\x{2028}\\x{2029}]")))) {
            *error = QStringLiteral("%1 takes %2: the text holds a line break").arg(name, valuesOf(key.kind));
            return false;
        }
        stored = text;
        break;
    case SettingKey::Text:
        if (text == QLatin1String("-")) {
            QString why;
            const std::optional<QString> input = standardInput(&why);
            if (!input) {
                *error = QStringLiteral("%1 cannot be stored: %2").arg(name, why);
                return false;
            }
            text = *input;
        }
        stored = text;
        break;
    case SettingKey::Sender: {
        // The choices of the pane's sender menu: " " first, then the addresses of the "me" card.
        const QStringList choices = model.userEmails();
        const QString sender = text.trimmed().isEmpty() ? choices.value(0) : text.trimmed();
        if (!choices.contains(sender)) {
            const QStringList own = choices.mid(1);
            *error = own.isEmpty() ? QStringLiteral("%1 takes an address of your own card, and it has none (see "
                                                    "~/.local/share/contacts/me): only \"\" for the mail "
                                                    "system's default sender, not %2")
                                         .arg(name, quoted(text))
                                   : QStringLiteral("%1 takes an address of your own card (%2) or \"\" for the mail "
                                                    "system's default sender, not %3")
                                         .arg(name, own.join(QStringLiteral(", ")), quoted(text));
            return false;
        }
        stored = sender;
        break;
    }
    case SettingKey::Calendars:
        break;
    }
    // What the settings file cannot hold is refused here, in the words of the setting.
    const QString problem = PreferenceService::valueProblem(name, stored);
    if (!problem.isEmpty()) {
        *error = QStringLiteral("%1 cannot be stored: %2").arg(name, problem);
        return false;
    }
    model.setProperty(key.name, stored);
    return true;
}
