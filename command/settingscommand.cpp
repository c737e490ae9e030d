// ruvelant get KEY, ruvelant set KEY VALUE...: the settings as the pane's controls read and write
// them, through the settings model.
#include "ComKestramoPreferenceQuorvelModel.h"
#include "agentswitch.h"
#include "commandline.h"
#include "installedpane.h"
#include "settingkeys.h"
#include "subcommands.h"

namespace {
QString keysHelp()
{
    QString text = QStringLiteral("\n\nKeys:");
    for (const SettingKey &key : SettingKeys::all()) {
        text += QStringLiteral("\n  %1: %2").arg(QLatin1String(key.name), SettingKeys::valuesOf(key.kind));
    }
    return text;
}

// The key named by the first argument, or nullptr after a complaint.
const SettingKey *namedKey(const QString &name)
{
    const SettingKey *key = SettingKeys::find(name);
    if (!key) {
        Output::fail(QStringLiteral("there is no setting %1: the keys are %2").arg(name, SettingKeys::names()),
                     ExitStatus::Usage);
    }
    return key;
}

// Complains when the settings file is there but cannot be read: the model then holds the
// defaults, not the user's settings, and nothing is stored over the file.
int unreadable(const ComKestramoPreferenceQuorvelModel &model)
{
    if (model.preferencesReadable()) {
        return -1;
    }
    return Output::fail(model.preferencesProblem()
                        + QStringLiteral("; nothing was changed. Repair that file, or remove it to start afresh with "
                                         "the default settings."));
}
} // namespace

int getCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("get KEY"),
                        QStringLiteral("Prints the setting KEY as Ruvelant reads it (a setting not stored yet takes "
                                       "its default, which is stored then, as the pane does). Booleans print as true "
                                       "or false, activeCalendars a calendar a line, senderEmail an empty line for "
                                       "the mail system's default sender.")
                            + keysHelp());
    line.parser().addPositionalArgument(QStringLiteral("KEY"), QStringLiteral("The setting."));
    const int status = line.parse(arguments, 1, 1);
    if (status >= 0) {
        return status;
    }
    const SettingKey *key = namedKey(line.parser().positionalArguments().first());
    if (!key) {
        return ExitStatus::Usage;
    }
    InstalledPane pane;
    if (const int failed = pane.open(ExitStatus::Failure); failed >= 0) {
        return failed;
    }
    const ComKestramoPreferenceQuorvelModel model(false);
    if (const int failed = unreadable(model); failed >= 0) {
        return failed;
    }
    for (const QString &value : SettingKeys::value(*key, model)) {
        Output::line(value);
    }
    return ExitStatus::Success;
}

int setCommand(const QStringList &arguments)
{
    SubcommandLine line(
        QStringLiteral("set KEY VALUE..."),
        QStringLiteral("Stores the setting KEY, as a control of the pane does, after checking the value: a value "
                       "the key does not take is refused (exit status 2) and nothing changes. activeCalendars "
                       "takes one or more calendars; quorvelEnabled switches reminders on or off with their "
                       "schedule, as ruvelant enable and disable do.")
            + keysHelp());
    line.parser().addPositionalArgument(QStringLiteral("KEY"), QStringLiteral("The setting."));
    line.parser().addPositionalArgument(QStringLiteral("VALUE"), QStringLiteral("Its value."),
                                        QStringLiteral("VALUE..."));
    const int status = line.parse(arguments, 2, -1);
    if (status >= 0) {
        return status;
    }
    const QStringList positional = line.parser().positionalArguments();
    const SettingKey *key = namedKey(positional.first());
    if (!key) {
        return ExitStatus::Usage;
    }
    const QStringList values = positional.mid(1);
    InstalledPane pane;
    if (const int failed = pane.open(ExitStatus::Failure); failed >= 0) {
        return failed;
    }
    ComKestramoPreferenceQuorvelModel model(false);
    if (const int failed = unreadable(model); failed >= 0) {
        return failed;
    }
    if (key->kind == SettingKey::Switch) {
        // The setting and the schedule go together.
        const std::optional<bool> on = values.size() == 1 ? SettingKeys::boolean(values.first()) : std::nullopt;
        if (!on) {
            return Output::fail(
                QStringLiteral("%1 takes %2").arg(QLatin1String(key->name), SettingKeys::valuesOf(key->kind)),
                ExitStatus::Usage);
        }
        return *on ? AgentSwitch::switchOn(model, pane) : AgentSwitch::switchOff(&model, &pane);
    }
    QString error;
    if (!SettingKeys::set(*key, values, model, &error)) {
        return Output::fail(error, ExitStatus::Usage);
    }
    if (!model.preferencesProblem().isEmpty()) {
        return Output::fail(model.preferencesProblem());
    }
    return ExitStatus::Success;
}
