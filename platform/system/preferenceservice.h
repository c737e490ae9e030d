#ifndef RUVELANT_PREFERENCESERVICE_H
#define RUVELANT_PREFERENCESERVICE_H

#include <QHash>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// One preference domain of the current user: an XML property list
// ~/Library/Preferences/<domain>.plist. Sets and removals are pending until synchronize(),
// which merges them into the file as it is then, under an advisory lock, and re-reads it. A file
// that cannot be read is never written over; a value that cannot be written is never set.
class PreferenceService
{
public:
    // The longest text of a value, in bytes of UTF-8: a setting, not a document. Far above any
    // reminder template, far below what a domain's file may hold (PropertyList::maxFileSize).
    static constexpr int maxTextSize = 64 * 1024;

    // folder: where the domain's file lives; empty means $HOME/Library/Preferences.
    explicit PreferenceService(const QString &domain, const QString &folder = QString());

    // The process's shared service for domain under the current home folder; never released.
    static PreferenceService *forDomain(const QString &domain);
    // Whether domain can name a file in the preferences folder (no "/", no "..", not empty).
    static bool isValidDomainName(const QString &domain, QString *why = nullptr);

    // Why value cannot be stored under key (a text of either holds a character that a property
    // list cannot hold, or is longer than maxTextSize); empty when it can.
    static QString valueProblem(const QString &key, const QVariant &value);

    QString domain() const { return m_domain; }
    QString filePath() const { return m_path; }

    // The value of key as this process sees it (pending changes included); invalid when missing.
    QVariant value(const QString &key);
    // The value of key as the file held it when last read, without this process's pending
    // changes; invalid when missing.
    QVariant storedValue(const QString &key);
    // Every key and value as this process sees them.
    QVariantMap values();
    // Why the domain's file, which is there, could not be read when it was last read; empty
    // when it could, or when there is none. Nothing is written over such a file.
    QString readError();
    // Sets key (pending); an invalid value removes it. Returns false with the reason in *why, and
    // changes nothing, when the value cannot be stored (see valueProblem).
    bool setValue(const QString &key, const QVariant &value, QString *why = nullptr);
    // As setValue(), for a value that this process holds since it read read under key: the set
    // is dropped if the file holds another value there by then (another process changed it
    // since), so that a newer value is never replaced with an older one.
    bool setValueUnlessChanged(const QString &key, const QVariant &value, const QVariant &read, QString *why = nullptr);
    // The value key takes while it is missing (pending): synchronize() stores it only when the
    // key is still missing in the file then, so that a value written meanwhile by anyone wins.
    void setDefaultValue(const QString &key, const QVariant &value);
    // Removes every key (pending).
    void removeAllValues();

    // Writes the pending changes and picks up other processes' changes. Returns false with a
    // message in *error when the file could not be read (nothing is written then) or written;
    // the pending changes are then kept.
    bool synchronize(QString *error = nullptr);

private:
    struct Pending
    {
        std::optional<QVariant> value; // nullopt: remove
        bool unlessChanged = false; // dropped when the file's value is no longer read
        QVariant read;
    };

    // Reads the file when this process has not read it yet or it changed since (another process
    // synchronised); pending changes stay on top of what was read.
    void loadIfNeeded();
    QByteArray fileStamp() const;
    // Reads the file into *values. Returns false (and says so, once) when a file exists that
    // cannot be read; *values is then empty.
    bool readFile(QVariantMap *values);
    bool parseFile(QVariantMap *values, QString *why) const;
    // Drops the sets made unless changed whose key stored holds another value by now.
    void dropOutdated(const QVariantMap &stored);
    // stored with this process's pending sets and removals applied.
    QVariantMap withPendingChanges(const QVariantMap &stored) const;

    QString m_domain;
    QString m_path;
    bool m_loaded = false;
    QByteArray m_loadedStamp; // the file as it was when last read
    bool m_warnedUnreadable = false;
    QString m_readError;
    QVariantMap m_stored;
    bool m_pendingClear = false;
    QHash<QString, Pending> m_pending;
    QHash<QString, QVariant> m_defaults; // stored only where the key is missing
};

#endif
