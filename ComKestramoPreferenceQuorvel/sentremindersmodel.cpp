#include "sentreminders.h"

#include "logservice.h"
#include "watchedpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>

#include <sys/stat.h>

namespace {
// The lines of the agent's log that tell of a reminder.
const QString handOver = QStringLiteral("  ->"); // " <title>  -><address>", before the hand-over
const QRegularExpression handOverFailed(QStringLiteral("^Failed to hand over the reminder to '(.*)': (.*)$"),
                                        QRegularExpression::DotMatchesEverythingOption);
const QString noMailSystem = QStringLiteral("Cannot create Scripting Bridge to Mail.app");
const QRegularExpression
    noAddress(QStringLiteral("^Failed to notify '(.*)', its AddressBook contact does not have an email assigned$"),
              QRegularExpression::DotMatchesEverythingOption);

// Which file is at path now (device and inode); empty when none is.
QByteArray identity(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return QByteArray();
    }
    return QByteArray::number(qulonglong(info.st_dev)) + ':' + QByteArray::number(qulonglong(info.st_ino));
}

QByteArray readWhole(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    return file.read(64 * 1024 * 1024);
}
} // namespace

QList<SentReminder> SentReminders::fromRecords(const QString &logText, const QDate &today)
{
    QList<SentReminder> reminders;
    QHash<qint64, int> pending; // pid of a run -> its hand-over whose outcome is not known yet
    const QList<LogService::Record> records = LogService::parseRecords(logText.toUtf8(), today);
    for (const LogService::Record &record : records) {
        const auto open = pending.constFind(record.pid);
        SentReminder *last = open != pending.cend() ? &reminders[*open] : nullptr;
        if (record.level == LogService::Error && last) {
            const QRegularExpressionMatch failed = handOverFailed.match(record.text);
            if (failed.hasMatch() && failed.captured(1) == last->address) {
                last->outcome = SentReminder::Failed;
                last->detail = failed.captured(2);
                pending.remove(record.pid);
                continue;
            }
            if (record.text == noMailSystem) {
                last->outcome = SentReminder::Failed;
                last->detail = record.text;
                pending.remove(record.pid);
                continue;
            }
        }
        if (last) {
            // Anything else the run logged afterwards: the mail system took that reminder.
            last->outcome = SentReminder::Sent;
            pending.remove(record.pid);
        }
        const int arrow = record.text.lastIndexOf(handOver);
        if (record.level == LogService::Info && record.text.startsWith(QLatin1Char(' ')) && arrow > 0) {
            pending.insert(record.pid, reminders.size());
            reminders.append({record.time, record.text.mid(1, arrow - 1), record.text.mid(arrow + handOver.size()),
                              SentReminder::Sending, QString()});
        } else if (record.level == LogService::Error) {
            const QRegularExpressionMatch missing = noAddress.match(record.text);
            if (missing.hasMatch()) {
                reminders.append({record.time, QString(), missing.captured(1), SentReminder::NoAddress, QString()});
            }
        }
    }
    return reminders;
}

QList<SentReminder> SentReminders::read(const QString &logsFolder, const QString &agentName, const QDate &today)
{
    const QString current = QStringLiteral("%1/%2.log").arg(logsFolder, agentName);
    const QString previous = QStringLiteral("%1/%2_previous.log").arg(logsFolder, agentName);
    QByteArray text;
    for (int attempt = 0; attempt < 5; ++attempt) {
        // The agent moves the current file to the previous one when it grows too large: read
        // both, and again if either changed meanwhile, so nothing is read twice or missed.
        const QByteArray before = identity(previous) + '|' + identity(current);
        text = readWhole(previous);
        if (!text.isEmpty() && !text.endsWith('\n')) {
            text += '\n';
        }
        text += readWhole(current);
        if (identity(previous) + '|' + identity(current) == before) {
            break;
        }
    }
    QList<SentReminder> reminders = fromRecords(QString::fromUtf8(text), today);
    std::reverse(reminders.begin(), reminders.end());
    std::stable_sort(reminders.begin(), reminders.end(),
                     [](const SentReminder &a, const SentReminder &b) { return a.time > b.time; });
    return reminders;
}

SentRemindersModel::SentRemindersModel(const QString &logsFolder, const QString &agentName, QObject *parent)
    : QAbstractTableModel(parent)
    , m_logsFolder(logsFolder)
    , m_agentName(agentName)
    , m_watcher(new QFileSystemWatcher(this))
    , m_reloadTimer(new QTimer(this))
{
    m_reloadTimer->setSingleShot(true);
    m_reloadTimer->setInterval(300); // a run writes many records at once
    connect(m_reloadTimer, &QTimer::timeout, this, &SentRemindersModel::reload);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_reloadTimer, qOverload<>(&QTimer::start));
    connect(m_watcher, &QFileSystemWatcher::fileChanged, m_reloadTimer, qOverload<>(&QTimer::start));
    reload();
}

void SentRemindersModel::watch()
{
    // The folder tells of a new or rotated file; the file of records added to it.
    QStringList wanted;
    QString folder = m_logsFolder;
    while (!QFileInfo(folder).isDir() && folder != QDir::rootPath()) {
        folder = QFileInfo(folder).absolutePath(); // until the folder exists, its nearest ancestor
    }
    wanted << folder;
    const QString current = QStringLiteral("%1/%2.log").arg(m_logsFolder, m_agentName);
    if (QFileInfo(current).isFile()) {
        wanted << current;
    }
    watchExactly(m_watcher, wanted);
}

void SentRemindersModel::reload()
{
    beginResetModel();
    m_reminders = SentReminders::read(m_logsFolder, m_agentName, QDate::currentDate());
    endResetModel();
    watch();
}

int SentRemindersModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_reminders.size();
}

int SentRemindersModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 4;
}

QVariant SentRemindersModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid) || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) {
        return QVariant();
    }
    const SentReminder &reminder = m_reminders.at(index.row());
    switch (index.column()) {
    case 0:
        return QLocale().toString(reminder.time, QLocale::ShortFormat);
    case 1:
        return reminder.event;
    case 2:
        return reminder.address;
    default:
        break;
    }
    static const char *const outcomes[]
        = {"SentOutcomeSent", "SentOutcomeFailed", "SentOutcomeNoAddress", "SentOutcomeSending"};
    const QString key = QLatin1String(outcomes[reminder.outcome]);
    const QString outcome = m_texts.value(key, key);
    return reminder.detail.isEmpty() ? outcome : QStringLiteral("%1: %2").arg(outcome, reminder.detail);
}

QVariant SentRemindersModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section > 3) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    static const char *const keys[] = {"SentColumnTime", "SentColumnEvent", "SentColumnAddress", "SentColumnOutcome"};
    const QString key = QLatin1String(keys[section]);
    return m_texts.value(key, key);
}
