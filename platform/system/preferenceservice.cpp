#include "preferenceservice.h"

#include "filelock.h"
#include "propertylist.h"
#include "regularfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <syslog.h>

Q_LOGGING_CATEGORY(lcPreferences, "ruvelant.preferences")

namespace {
// A message for the user: standard error and the system log.
void report(const QString &message)
{
    qCWarning(lcPreferences, "%s", qPrintable(message));
    syslog(LOG_WARNING, "%s", message.toLocal8Bit().constData());
}

} // namespace

PreferenceService::PreferenceService(const QString &domain, const QString &folder) : m_domain(domain)
{
    const QString dir = folder.isEmpty() ? QDir::homePath() + QStringLiteral("/Library/Preferences") : folder;
    m_path = dir + QLatin1Char('/') + domain + QStringLiteral(".plist");
}

PreferenceService *PreferenceService::forDomain(const QString &domain)
{
    static QMutex mutex;
    // Never destroyed, like the services it holds (which callers may use until the very end).
    static auto *services = new QHash<QString, PreferenceService *>;
    QMutexLocker locker(&mutex);
    // Keyed by the file's path, so a changed home folder gets a service of its own.
    PreferenceService probe(domain);
    PreferenceService *&service = (*services)[probe.filePath()];
    if (!service) {
        service = new PreferenceService(domain);
    }
    return service;
}

bool PreferenceService::isValidDomainName(const QString &domain, QString *why)
{
    QString reason;
    if (domain.isEmpty()) {
        reason = QStringLiteral("the domain name is empty");
    } else if (domain.contains(QLatin1Char('/')) || domain.contains(QLatin1String(".."))) {
        reason = QStringLiteral("the domain name \"%1\" may not hold \"/\" or \"..\"").arg(domain);
    } else if (domain.startsWith(QLatin1Char('.')) || domain.contains(QChar(0))) {
        reason = QStringLiteral("the domain name \"%1\" is not a valid name").arg(domain);
    }
    if (why) {
        *why = reason;
    }
    return reason.isEmpty();
}

bool PreferenceService::readFile(QVariantMap *values)
{
    QString why;
    if (parseFile(values, &why)) {
        return true;
    }
    if (!m_warnedUnreadable) {
        m_warnedUnreadable = true;
        report(QStringLiteral("Cannot read the preferences %1 (%2); its values read as missing").arg(m_path, why));
    }
    return false;
}

bool PreferenceService::parseFile(QVariantMap *values, QString *why) const
{
    values->clear();
    if (!QFileInfo::exists(m_path)) {
        return true;
    }
    QByteArray data;
    if (!RegularFile::read(m_path, PropertyList::maxFileSize, &data, why)) {
        return false;
    }
    if (data.trimmed().isEmpty()) {
        return true; // an empty file holds no values, and nothing is lost by replacing it
    }
    QVariant root;
    if (!PropertyList::parse(data, &root) || root.userType() != QMetaType::QVariantMap) {
        *why = QStringLiteral("it is not a property list with a dictionary at its top, nested at most %1 levels")
                   .arg(PropertyList::maxDepth);
        return false;
    }
    *values = root.toMap();
    return true;
}

QByteArray PreferenceService::fileStamp() const
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(m_path).constData(), &st) != 0) {
        return QByteArray("none");
    }
    // Every write replaces the file, so its inode changes even within one clock tick.
    return QByteArray::number(qulonglong(st.st_ino)) + ' ' + QByteArray::number(qlonglong(st.st_size)) + ' '
        + QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.' + QByteArray::number(qlonglong(st.st_mtim.tv_nsec));
}

void PreferenceService::loadIfNeeded()
{
    const QByteArray stamp = fileStamp();
    if (m_loaded && stamp == m_loadedStamp) {
        return;
    }
    m_loaded = true;
    m_loadedStamp = stamp;
    readFile(&m_stored);
}

QVariant PreferenceService::value(const QString &key)
{
    loadIfNeeded();
    const auto pending = m_pending.constFind(key);
    if (pending != m_pending.cend()) {
        return pending->value_or(QVariant());
    }
    const QVariant stored = m_pendingClear ? QVariant() : m_stored.value(key);
    return stored.isValid() ? stored : m_defaults.value(key);
}

QVariantMap PreferenceService::withPendingChanges(const QVariantMap &stored) const
{
    QVariantMap result = m_pendingClear ? QVariantMap() : stored;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        if (it.value()) {
            result.insert(it.key(), *it.value());
        } else {
            result.remove(it.key());
        }
    }
    for (auto it = m_defaults.cbegin(); it != m_defaults.cend(); ++it) {
        if (!result.contains(it.key()) && !m_pending.contains(it.key())) {
            result.insert(it.key(), it.value());
        }
    }
    return result;
}

QVariantMap PreferenceService::values()
{
    loadIfNeeded();
    return withPendingChanges(m_stored);
}

void PreferenceService::setValue(const QString &key, const QVariant &value)
{
    if (value.isValid()) {
        m_pending.insert(key, value);
    } else {
        m_pending.insert(key, std::nullopt);
    }
}

void PreferenceService::setDefaultValue(const QString &key, const QVariant &value)
{
    m_defaults.insert(key, value);
}

void PreferenceService::removeAllValues()
{
    m_pending.clear();
    m_defaults.clear();
    m_pendingClear = true;
}

QString PreferenceService::keepUnreadableFile() const
{
    const QString aside = m_path + QStringLiteral(".unreadable-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = aside;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n) {
        target = aside + QLatin1Char('-') + QString::number(n);
    }
    if (::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(target).constData()) != 0) {
        return QString();
    }
    return target;
}

bool PreferenceService::synchronize(QString *error)
{
    const QString folder = QFileInfo(m_path).absolutePath();
    const bool hasPending = m_pendingClear || !m_pending.isEmpty() || !m_defaults.isEmpty();
    if (!QDir().mkpath(folder)) {
        const QString message = QStringLiteral("Cannot create the preferences folder %1").arg(folder);
        if (hasPending) {
            report(message);
        }
        if (error) {
            *error = message;
        }
        m_loaded = true;
        return !hasPending;
    }

    // The domain's own file cannot carry the lock: every write replaces it with a new file.
    const FileLock lock(m_path + QStringLiteral(".lock"));
    QVariantMap onDisk;
    const bool readable = readFile(&onDisk);

    if (hasPending) {
        const QVariantMap merged = withPendingChanges(onDisk);
        if (!readable) {
            // Never replace what could not be read: keep it beside the new file for the user.
            const QString kept = keepUnreadableFile();
            if (kept.isEmpty()) {
                const QString message
                    = QStringLiteral("Cannot move the unreadable preferences %1 aside (%2); nothing was written")
                          .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
                report(message);
                if (error) {
                    *error = message;
                }
                return false;
            }
            report(QStringLiteral("The unreadable preferences %1 were kept as %2").arg(m_path, kept));
        }
        QString writeError;
        if (!PropertyList::writeFile(m_path, merged, &writeError)) {
            const QString message = QStringLiteral("Cannot write the preferences %1: %2").arg(m_path, writeError);
            report(message);
            if (error) {
                *error = message;
            }
            m_stored = onDisk;
            m_loaded = true;
            return false;
        }
        onDisk = merged;
        m_pending.clear();
        m_defaults.clear();
        m_pendingClear = false;
    }
    m_stored = onDisk;
    m_loaded = true;
    m_loadedStamp = fileStamp();
    return true;
}
