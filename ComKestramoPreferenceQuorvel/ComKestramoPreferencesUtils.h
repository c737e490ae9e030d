#ifndef COMKESTRAMOPREFERENCESUTILS_H
#define COMKESTRAMOPREFERENCESUTILS_H

#include <QString>
#include <QVariant>

// The process-wide store of the "com.kestramo.ruvelant" preference domain.
class ComKestramoPreferencesUtils
{
public:
    static const QString domain;

    // The shared instance: made on the first call, never released.
    static ComKestramoPreferencesUtils *sharedPreferences();

    // The stored value of key; when there is none, returns defaultValue and stores it at the next
    // synchronize if the key is still missing then.
    QVariant valueFromPreferencesWithKey(const QString &key, const QVariant &defaultValue);
    // The value that the domain's file held under key when last read, without this process's
    // pending sets; invalid when it holds none.
    QVariant storedValueWithKey(const QString &key);
    // Sets key to value, pending until synchronize; an invalid value removes it. Returns false,
    // setting nothing, with the reason in *why, for a value that a setting cannot hold (a
    // character that its file cannot hold, or a text longer than PreferenceService::maxTextSize).
    bool setPrefernceValue(const QVariant &value, const QString &forKey, QString *why = nullptr);
    // As setPrefernceValue(), for a value this process holds since it read read under the key
    // (storedValueWithKey): dropped if by the synchronize the domain holds another value there,
    // stored by another program since, which then stays.
    bool setPrefernceValue(const QVariant &value, const QString &forKey, const QVariant &read, QString *why);
    // Makes pending changes permanent and picks up other processes' changes. Returns false with
    // the reason in *error when the domain's file could not be read (then nothing is written
    // over it) or written.
    bool synchronize(QString *error = nullptr);
    // Why the domain's file could not be read; empty when it could, or there is none yet.
    QString readError();
    // The domain's file.
    QString filePath() const;

private:
    ComKestramoPreferencesUtils() = default;
};

#endif
