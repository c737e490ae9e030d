#include "preferenceservice.h"

#include "filelock.h"
#include "propertylist.h"
#include "regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>

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

// Why a text of a value cannot be stored; empty when it can.
QString textProblem(const QString &text)
{
    const QString problem = PropertyList::textProblem(text);
    if (!problem.isEmpty()) {
        return problem;
    }
    const int size = text.toUtf8().size();
    if (size > PreferenceService::maxTextSize) {
        return QStringLiteral("the text is %1 bytes long, more than the %2 (%3 KiB) that a setting may hold")
            .arg(size)
            .arg(PreferenceService::maxTextSize)
            .arg(PreferenceService::maxTextSize / 1024);
    }
    return QString();
}

QString problemAt(const QString &place, const QString &problem)
{
    return problem.isEmpty() || place.isEmpty() ? problem : place + QStringLiteral(": ") + problem;
}

// Why a text of value (at place within the value) cannot be stored; empty when none.
QString valueProblemAt(const QVariant &value, const QString &place)
{
    const auto inner
        = [&place](const QString &name) { return place.isEmpty() ? name : place + QLatin1Char('/') + name; };
    switch (value.userType()) {
    case QMetaType::QString:
        return problemAt(place, textProblem(value.toString()));
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        for (int i = 0; i < list.size(); ++i) {
            const QString problem = valueProblemAt(list.at(i), inner(QStringLiteral("item %1").arg(i + 1)));
            if (!problem.isEmpty()) {
                return problem;
            }
        }
        return QString();
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            QString problem = problemAt(inner(QStringLiteral("a key")), textProblem(it.key()));
            if (problem.isEmpty()) {
                problem = valueProblemAt(it.value(), inner(it.key()));
            }
            if (!problem.isEmpty()) {
                return problem;
            }
        }
        return QString();
    }
    default:
        return QString();
    }
}

// value with the characters that XML cannot hold left out of its texts (and its keys).
QVariant writableValue(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QString:
        return PropertyList::writableText(value.toString());
    case QMetaType::QStringList: {
        QStringList list = value.toStringList();
        for (QString &text : list) {
            text = PropertyList::writableText(text);
        }
        return list;
    }
    case QMetaType::QVariantList: {
        QVariantList list = value.toList();
        for (QVariant &item : list) {
            item = writableValue(item);
        }
        return list;
    }
    case QMetaType::QVariantMap: {
        QVariantMap map;
        const QVariantMap in = value.toMap();
        for (auto it = in.cbegin(); it != in.cend(); ++it) {
            map.insert(PropertyList::writableText(it.key()), writableValue(it.value()));
        }
        return map;
    }
    default:
        return value;
    }
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

QString PreferenceService::valueProblem(const QString &key, const QVariant &value)
{
    const QString problem = problemAt(QStringLiteral("the key"), textProblem(key));
    return problem.isEmpty() ? valueProblemAt(value, QString()) : problem;
}

bool PreferenceService::readFile(QVariantMap *values)
{
    QString why;
    if (parseFile(values, &why)) {
        m_readError.clear();
        m_warnedUnreadable = false;
        return true;
    }
    m_readError = QStringLiteral("Cannot read the preferences %1 (%2)").arg(m_path, why);
    if (!m_warnedUnreadable) {
        m_warnedUnreadable = true;
        report(m_readError
               + QStringLiteral("; the file is left as it is, and nothing is written to it until it can "
                                "be read"));
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
    if (readFile(&m_stored)) {
        dropOutdated(m_stored);
    }
}

void PreferenceService::dropOutdated(const QVariantMap &stored)
{
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->unlessChanged && !PropertyList::sameValue(stored.value(it.key()), it->read)) {
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
}

QString PreferenceService::readError()
{
    loadIfNeeded();
    return m_readError;
}

QVariant PreferenceService::value(const QString &key)
{
    loadIfNeeded();
    const auto pending = m_pending.constFind(key);
    if (pending != m_pending.cend()) {
        return pending->value.value_or(QVariant());
    }
    const QVariant stored = m_pendingClear ? QVariant() : m_stored.value(key);
    return stored.isValid() ? stored : m_defaults.value(key);
}

QVariant PreferenceService::storedValue(const QString &key)
{
    loadIfNeeded();
    return m_stored.value(key);
}

QVariantMap PreferenceService::withPendingChanges(const QVariantMap &stored) const
{
    QVariantMap result = m_pendingClear ? QVariantMap() : stored;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        if (it->value) {
            result.insert(it.key(), *it->value);
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

bool PreferenceService::setValue(const QString &key, const QVariant &value, QString *why)
{
    const QString problem = valueProblem(key, value);
    if (!problem.isEmpty()) {
        if (why) {
            *why = problem;
        }
        return false;
    }
    m_pending.insert(key, Pending {value.isValid() ? std::optional<QVariant>(value) : std::nullopt, false, {}});
    return true;
}

bool PreferenceService::setValueUnlessChanged(const QString &key, const QVariant &value, const QVariant &read,
                                              QString *why)
{
    if (!setValue(key, value, why)) {
        return false;
    }
    Pending &pending = m_pending[key];
    pending.unlessChanged = true;
    pending.read = read;
    return true;
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
    const QByteArray stamp = fileStamp();
    if (!readFile(&onDisk)) {
        // What could not be read is never written over: the settings in it (a file that is too
        // big, damaged, or of a newer form) are the user's, and defaults would replace them.
        // The pending changes wait until it can be read, or is gone.
        if (error) {
            *error = m_readError
                + QStringLiteral("; nothing was written to it, so that the settings it holds are kept. Repair it, or "
                                 "remove it to start afresh");
        }
        m_stored.clear();
        m_loaded = true;
        m_loadedStamp = stamp;
        return false;
    }
    dropOutdated(onDisk);
    const bool hasChanges = m_pendingClear || !m_pending.isEmpty() || !m_defaults.isEmpty();

    if (hasChanges) {
        // A file of an earlier version (or of another program) may hold texts that XML cannot:
        // what it read of them is kept without those characters, so that storing another setting
        // does not fail for them.
        QVariantMap kept;
        for (auto it = onDisk.cbegin(); it != onDisk.cend(); ++it) {
            const QString key = PropertyList::writableText(it.key());
            const QVariant writable = m_pending.contains(it.key()) ? it.value() : writableValue(it.value());
            if (key != it.key() || !PropertyList::sameValue(writable, it.value())) {
                report(QStringLiteral("The setting %1 of %2 held characters that a property list cannot hold: they "
                                      "are left out")
                           .arg(key, m_path));
            }
            kept.insert(key, writable);
        }
        onDisk = kept;
        const QVariantMap merged = withPendingChanges(onDisk);
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
