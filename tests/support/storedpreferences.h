#ifndef RUVELANT_STOREDPREFERENCES_H
#define RUVELANT_STOREDPREFERENCES_H

#include "preferenceservice.h"

#include <QProcess>
#include <QStringList>
#include <QTest>

// Writes the agent's preference domain as another process would: every setting at a usual value
// (switched on, verbose, 4 days, calendar "home", sender me@example.com, missed reminders sent),
// changed by overrides;
// an invalid value leaves the key out.
inline void storePreferences(const QVariantMap &overrides = {})
{
    QVariantMap values {{QStringLiteral("quorvelEnabled"), true},
                        {QStringLiteral("verboseLogging"), true},
                        {QStringLiteral("daysBeforeEventStart"), QStringLiteral("4")},
                        {QStringLiteral("activeCalendars"), QStringList {QStringLiteral("home")}},
                        {QStringLiteral("senderEmail"), QStringLiteral("me@example.com")},
                        {QStringLiteral("mailTitle"), QStringLiteral("On <<date>>")},
                        {QStringLiteral("mailContent"), QStringLiteral("Dear <<first>> <<last>>,\nat <<time>>.")},
                        {QStringLiteral("sendMissedReminders"), true}};
    values.insert(overrides);
    PreferenceService domain(QStringLiteral("com.kestramo.ruvelant"));
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        domain.setValue(it.key(), *it);
    }
    QVERIFY(domain.synchronize());
}

// The agent's preference domain as its file holds it now, as another process would read it.
inline QVariantMap storedDomain()
{
    return PreferenceService(QStringLiteral("com.kestramo.ruvelant")).values();
}

// What Python's plistlib, a strict XML reader as most other programs use, says of the property
// list at path (by default the agent's domain file): empty when it reads it.
inline QString strictReaderRefusal(const QString &path = {})
{
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"), QStringLiteral("import plistlib, sys; plistlib.load(open(sys.argv[1], 'rb'))"),
                  path.isEmpty() ? PreferenceService(QStringLiteral("com.kestramo.ruvelant")).filePath() : path});
    if (!python.waitForFinished(60000) || python.exitStatus() != QProcess::NormalExit) {
        return QStringLiteral("python3 did not run");
    }
    return python.exitCode() == 0 ? QString() : QString::fromUtf8(python.readAllStandardError()).trimmed();
}

#endif
