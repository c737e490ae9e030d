#ifndef RUVELANT_PREFERENCEWATCHER_H
#define RUVELANT_PREFERENCEWATCHER_H

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

// Tells when the file of a preference domain may have changed, whoever changed it: its folder
// is watched (a write puts a new file in its place) and the file itself (an editor may write it
// where it is). A burst of changes is told once, when it has settled.
class PreferenceWatcher : public QObject
{
    Q_OBJECT
public:
    explicit PreferenceWatcher(const QString &filePath, QObject *parent = nullptr);

Q_SIGNALS:
    void changed();

private:
    void watch();

    QString m_path;
    QFileSystemWatcher m_watcher;
    QTimer m_settle;
};

#endif
