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
    // Sets key to value, pending until synchronize; an invalid value removes the key.
    void setPrefernceValue(const QVariant &value, const QString &forKey);
    // Makes pending changes permanent and picks up other processes' changes.
    void synchronize();

private:
    ComKestramoPreferencesUtils() = default;
};

#endif
