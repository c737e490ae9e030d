#ifndef RUVELANT_PREFERENCESERVICE_H
#define RUVELANT_PREFERENCESERVICE_H

#include <QHash>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// One preference domain of the current user: an XML property list
// ~/Library/Preferences/<domain>.plist. Sets and removals are pending until synchronize(),
// which merges them into the file as it is then, under an advisory lock, and re-reads it.
class PreferenceService
{
public:
    // folder: where the domain's file lives; empty means $HOME/Library/Preferences.
    explicit PreferenceService(const QString &domain, const QString &folder = QString());

    // The process's shared service for domain under the current home folder; never released.
    static PreferenceService *forDomain(const QString &domain);
    // Whether domain can name a file in the preferences folder (no "/", no "..", not empty).
    static bool isValidDomainName(const QString &domain, QString *why = nullptr);

    QString domain() const { return m_domain; }
    QString filePath() const { return m_path; }

    // The value of key as this process sees it (pending changes included); invalid when missing.
    QVariant value(const QString &key);
    // Every key and value as this process sees them.
    QVariantMap values();
    // Sets key (pending); an invalid value removes it.
    void setValue(const QString &key, const QVariant &value);
    // The value key takes while it is missing (pending): synchronize() stores it only when the
    // key is still missing in the file then, so that a value written meanwhile by anyone wins.
    void setDefaultValue(const QString &key, const QVariant &value);
    // Removes every key (pending).
    void removeAllValues();

    // Writes the pending changes and picks up other processes' changes. Returns false with a
    // message in *error when the file could not be written; the pending changes are then kept.
    bool synchronize(QString *error = nullptr);

private:
    // Reads the file when this process has not read it yet or it changed since (another process
    // synchronised); pending changes stay on top of what was read.
    void loadIfNeeded();
    QByteArray fileStamp() const;
    // Reads the file into *values. Returns false (and says so, once) when a file exists that
    // cannot be read; *values is then empty.
    bool readFile(QVariantMap *values);
    bool parseFile(QVariantMap *values, QString *why) const;
    QString keepUnreadableFile() const;
    // stored with this process's pending sets and removals applied.
    QVariantMap withPendingChanges(const QVariantMap &stored) const;

    QString m_domain;
    QString m_path;
    bool m_loaded = false;
    QByteArray m_loadedStamp; // the file as it was when last read
    bool m_warnedUnreadable = false;
    QVariantMap m_stored;
    bool m_pendingClear = false;
    QHash<QString, std::optional<QVariant>> m_pending; // nullopt: remove
    QHash<QString, QVariant> m_defaults; // stored only where the key is missing
};

#endif
