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

void ComKestramoPreferencesUtils::setPrefernceValue(const QVariant &value, const QString &forKey)
{
    service()->setValue(forKey, value);
}

void ComKestramoPreferencesUtils::synchronize()
{
    service()->synchronize();
}
