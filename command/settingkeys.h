#ifndef RUVELANT_SETTINGKEYS_H
#define RUVELANT_SETTINGKEYS_H

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class ComKestramoPreferenceQuorvelModel;

// A key of the settings domain as the command reads and writes it: through the settings model's
// property of the same name, with the values that the pane's controls can give it.
struct SettingKey
{
    enum Kind {
        Switch, // reminders on or off: set together with their schedule (see AgentSwitch)
        Boolean,
        Days, // one of the model's daysList ("1" to "7"), stored as that text
        Calendars, // the identifiers of the calendars that take part
        Line, // a text of one line
        Text, // a text of any lines; "-" reads it from standard input
        Sender, // an address of the user's own card, or "" for the mail system's default sender
    };
    const char *name;
    Kind kind;
};

namespace SettingKeys {
// Every key, in the order of the settings' table.
const QList<SettingKey> &all();
// The key of that name; nullptr for a key the domain does not have.
const SettingKey *find(const QString &name);
// The names of every key, for messages.
QString names();
// What values a key of this kind takes, in words.
QString valuesOf(SettingKey::Kind kind);

// The key's value as the command prints it: a line, a line per calendar, or the text as it is.
QStringList value(const SettingKey &key, const ComKestramoPreferenceQuorvelModel &model);
// Sets the key to values through the model's setters, each of which stores the settings as a
// control of the pane does. Not for Switch. Returns false with *error for a value the key does
// not take, and changes nothing then.
bool set(const SettingKey &key, const QStringList &values, ComKestramoPreferenceQuorvelModel &model, QString *error);
// true, yes, on, 1 / false, no, off, 0 (in any case); nullopt for anything else.
std::optional<bool> boolean(const QString &text);
} // namespace SettingKeys

#endif
