#ifndef RUVELANT_SYNCSCHEDULE_H
#define RUVELANT_SYNCSCHEDULE_H

#include <QObject>
#include <QPointer>
#include <QProcess>

// The schedule that syncs the accounts' calendars every 15 minutes: the launch agent
// com.kestramo.RuvelantSync, loaded into the user's scheduler (a systemd user timer, else a
// crontab line) with launchctl, as the reminder agent's own schedule is.
class SyncSchedule : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    static QString label(); // "com.kestramo.RuvelantSync"
    static constexpr int interval = 900;
    // ~/Library/LaunchAgents/com.kestramo.RuvelantSync.plist
    static QString plistPath();

    // Writes the launch-agent file for the sync program at programPath and loads it; emits finished.
    void load(const QString &programPath);
    // Unloads the launch agent and removes its file; emits finished.
    void unload();
    bool isBusy() const { return m_process; }

Q_SIGNALS:
    // error: launchctl's own words when it failed.
    void finished(bool ok, const QString &error);

private:
    void launchctl(const QString &command);

    QPointer<QProcess> m_process;
};

#endif
