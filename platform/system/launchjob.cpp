#include "launchjob.h"

#include "propertylist.h"
#include "regularfile.h"
#include "userfolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <QVariantList>
#include <QVariantMap>

#include <cerrno>
#include <limits>

namespace {
bool fail(QString *why, const QString &message)
{
    if (why) {
        *why = message;
    }
    return false;
}
} // namespace

bool containsControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029) {
            return true;
        }
    }
    return false;
}

bool LaunchJob::read(const QString &path, LaunchJob *job, QString *error)
{
    QVariant root;
    QString problem;
    if (!PropertyList::readFile(path, &root, &problem)) {
        return fail(error, problem);
    }
    if (root.userType() != QMetaType::QVariantMap) {
        return fail(error, QStringLiteral("not a launch agent: the property list is not a dictionary"));
    }
    const QVariantMap keys = root.toMap();
    LaunchJob result;

    const QVariant label = keys.value(QStringLiteral("Label"));
    if (label.userType() != QMetaType::QString || label.toString().isEmpty()) {
        return fail(error, QStringLiteral("not a launch agent: no Label text"));
    }
    result.label = label.toString();

    const QVariant arguments = keys.value(QStringLiteral("ProgramArguments"));
    if (arguments.isValid()) {
        if (arguments.userType() != QMetaType::QVariantList) {
            return fail(error, QStringLiteral("ProgramArguments is not an array"));
        }
        const QVariantList list = arguments.toList();
        for (const QVariant &argument : list) {
            if (argument.userType() != QMetaType::QString) {
                return fail(error, QStringLiteral("ProgramArguments holds something other than text"));
            }
            result.programArguments.append(argument.toString());
        }
    }

    const QVariant interval = keys.value(QStringLiteral("StartInterval"));
    if (interval.isValid()) {
        if (interval.userType() != QMetaType::LongLong) {
            return fail(error, QStringLiteral("StartInterval is not an integer"));
        }
        result.startInterval = interval.toLongLong();
    }

    const QVariant keepAlive = keys.value(QStringLiteral("KeepAlive"));
    if (keepAlive.isValid()) {
        if (keepAlive.userType() != QMetaType::Bool) {
            return fail(error, QStringLiteral("KeepAlive is not true or false"));
        }
        result.keepAlive = keepAlive.toBool();
    }
    *job = result;
    return true;
}

bool LaunchJob::isValidLabel(const QString &label, QString *why)
{
    bool valid = !label.isEmpty() && label.size() <= 200 && !label.startsWith(QLatin1Char('.'))
        && !label.startsWith(QLatin1Char('-'));
    for (const QChar c : label) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            || c == QLatin1Char('.') || c == QLatin1Char('_') || c == QLatin1Char('-');
        valid = valid && plain;
    }
    if (!valid) {
        return fail(why,
                    QStringLiteral("the label \"%1\" cannot name a schedule: it takes 1 to 200 letters, digits, "
                                   "'.', '_' and '-', and does not begin with '.' or '-'")
                        .arg(label));
    }
    return true;
}

bool LaunchJob::isSchedulable(QString *why) const
{
    if (!isValidLabel(label, why)) {
        return false;
    }
    if (programArguments.isEmpty()) {
        return fail(why, QStringLiteral("no ProgramArguments: nothing to start"));
    }
    if (!programArguments.first().startsWith(QLatin1Char('/'))) {
        return fail(
            why, QStringLiteral("the program \"%1\" is not given by its absolute path").arg(programArguments.first()));
    }
    for (const QString &argument : programArguments) {
        if (containsControlCharacter(argument)) {
            return fail(why,
                        QStringLiteral("the program argument \"%1\" holds a line break or another control character")
                            .arg(argument.simplified()));
        }
    }
    if (startInterval <= 0) {
        return fail(why,
                    QStringLiteral("no positive StartInterval: only agents started every so many seconds can be "
                                   "scheduled here"));
    }
    if (startInterval > std::numeric_limits<qint32>::max()) {
        return fail(why, QStringLiteral("StartInterval %1 is too large").arg(startInterval));
    }
    if (keepAlive) {
        return fail(why, QStringLiteral("KeepAlive true is not supported: agents are started at their interval only"));
    }
    return true;
}

const char LaunchJob::LaunchctlPath[] = "/bin/launchctl";

QString LaunchJob::launchAgentsFolder()
{
    return userLibraryPath() + QStringLiteral("/LaunchAgents");
}

QString LaunchJob::filePath(const QString &label)
{
    return QStringLiteral("%1/%2.plist").arg(launchAgentsFolder(), label);
}

void LaunchJob::makeLaunchAgentsFolder()
{
    const QString folder = launchAgentsFolder();
    if (!QFileInfo::exists(folder)) {
        QDir().mkpath(folder);
        QFile::setPermissions(folder,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                  | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    }
}

bool LaunchJob::writeFile(const QString &label, const QByteArray &text, mode_t mode, QString *error)
{
    makeLaunchAgentsFolder();
    if (RegularFile::replace(filePath(label), text, mode, error)) {
        return true;
    }
    const int code = errno; // callers log it
    if (!QFileInfo(launchAgentsFolder()).isDir()) {
        *error = QStringLiteral("cannot make the folder %1: %2").arg(launchAgentsFolder(), *error);
    }
    errno = code;
    return false;
}

QStringList LaunchJob::launchctlArguments(const QString &command, const QString &label)
{
    return {command, QStringLiteral("-w"), filePath(label)};
}

QString LaunchJob::launchctlReason(const QString &errors)
{
    QString why = errors.trimmed();
    why.replace(QRegularExpression(QStringLiteral("^launchctl: "), QRegularExpression::MultilineOption), QString());
    return why;
}
