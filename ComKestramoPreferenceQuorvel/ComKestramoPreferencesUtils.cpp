#include "ComKestramoPreferencesUtils.h"

#include "preferenceservice.h"

const QString ComKestramoPreferencesUtils::domain = QStringLiteral("com.kestramo.ruvelant");

namespace {
PreferenceService *service()
{
    return PreferenceService::forDomain(ComKestramoPreferencesUtils::domain);
}
} // namespace

ComKestramoPreferencesUtils *ComKestramoPreferencesUtils::sharedPreferences()
{
    static auto *shared = new ComKestramoPreferencesUtils;
    return shared;
}

QVariant ComKestramoPreferencesUtils::valueFromPreferencesWithKey(const QString &key, const QVariant &defaultValue)
{
    const QVariant stored = service()->value(key);
    if (stored.isValid()) {
        return stored;
    }
    // Written back at the next synchronize, unless someone stores the key before then.
    service()->setDefaultValue(key, defaultValue);
    return defaultValue;
}

QVariant ComKestramoPreferencesUtils::storedValueWithKey(const QString &key)
{
    return service()->storedValue(key);
}

bool ComKestramoPreferencesUtils::setPrefernceValue(const QVariant &value, const QString &forKey, QString *why)
{
    return service()->setValue(forKey, value, why);
}

bool ComKestramoPreferencesUtils::setPrefernceValue(const QVariant &value, const QString &forKey, const QVariant &read,
                                                    QString *why)
{
    return service()->setValueUnlessChanged(forKey, value, read, why);
}

bool ComKestramoPreferencesUtils::synchronize(QString *error)
{
    return service()->synchronize(error);
}

QString ComKestramoPreferencesUtils::readError()
{
    return service()->readError();
}

QString ComKestramoPreferencesUtils::filePath() const
{
    return service()->filePath();
}
