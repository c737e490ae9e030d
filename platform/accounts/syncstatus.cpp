#include "syncstatus.h"

#include "privatefile.h"
#include "propertylist.h"
#include "xdgpaths.h"

#include <cerrno>
#include <csignal>

bool SyncOutcome::isRunning() const
{
    // A sync stopped before its last word leaves its process id behind, which another process may
    // carry later; no sync lasts longer than its steps' time limits.
    constexpr qint64 longestSyncSeconds = 3 * 15 * 60;
    return pid > 0 && started.isValid() && started.secsTo(QDateTime::currentDateTimeUtc()) < longestSyncSeconds
        && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

QString SyncStatus::path()
{
    return xdgStateHome() + QStringLiteral("/ruvelant/calendarsync.plist");
}

QHash<QString, SyncOutcome> SyncStatus::load()
{
    QHash<QString, SyncOutcome> outcomes;
    QVariant value;
    if (!PropertyList::readFile(path(), &value)) {
        return outcomes;
    }
    const QVariantMap accounts = value.toMap();
    for (auto it = accounts.cbegin(); it != accounts.cend(); ++it) {
        const QVariantMap fields = it->toMap();
        SyncOutcome outcome;
        outcome.started = fields.value(QStringLiteral("started")).toDateTime();
        outcome.finished = fields.value(QStringLiteral("finished")).toDateTime();
        outcome.failure = calDavFailureFromName(fields.value(QStringLiteral("failure")).toString());
        outcome.detail = fields.value(QStringLiteral("detail")).toString();
        outcome.pid = fields.value(QStringLiteral("pid")).toLongLong();
        outcomes.insert(it.key(), outcome);
    }
    return outcomes;
}

bool SyncStatus::save(const QHash<QString, SyncOutcome> &outcomes, QString *error)
{
    QVariantMap accounts;
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it) {
        QVariantMap fields {{QStringLiteral("failure"), calDavFailureName(it->failure)},
                            // What the sync program said may hold terminal colours.
                            {QStringLiteral("detail"), PropertyList::writableText(it->detail)},
                            {QStringLiteral("pid"), it->pid}};
        if (it->started.isValid()) {
            fields.insert(QStringLiteral("started"), it->started);
        }
        if (it->finished.isValid()) {
            fields.insert(QStringLiteral("finished"), it->finished);
        }
        accounts.insert(it.key(), fields);
    }
    const QByteArray xml = PropertyList::toXml(accounts, error);
    return !xml.isEmpty() && PrivateFile::write(path(), xml, error);
}
