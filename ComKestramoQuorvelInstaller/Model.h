#ifndef MODEL_H
#define MODEL_H

#include <QMutex>
#include <QObject>
#include <QString>

// The installer window's state. Every flag starts false and every text null; each property
// changes only through its setter, and every set is announced by the property's change signal
// (also a set that keeps the value), which the window follows. The texts are read and written
// whole under a lock.
class Model : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool applicationUpdateNecessary READ applicationUpdateNecessary WRITE setApplicationUpdateNecessary
                   NOTIFY applicationUpdateNecessaryChanged)
    Q_PROPERTY(bool applicationAlreadyInstalled READ applicationAlreadyInstalled WRITE setApplicationAlreadyInstalled
                   NOTIFY applicationAlreadyInstalledChanged)
    Q_PROPERTY(bool applicationAlreadyInstalledInUserHome READ applicationAlreadyInstalledInUserHome WRITE
                   setApplicationAlreadyInstalledInUserHome NOTIFY applicationAlreadyInstalledInUserHomeChanged)
    Q_PROPERTY(bool applicationInitCompleted READ applicationInitCompleted WRITE setApplicationInitCompleted NOTIFY
                   applicationInitCompletedChanged)
    Q_PROPERTY(bool applicationInstallationOrUnistallationCompleted READ applicationInstallationOrUnistallationCompleted
                   WRITE setApplicationInstallationOrUnistallationCompleted NOTIFY
                       applicationInstallationOrUnistallationCompletedChanged)
    Q_PROPERTY(
        bool applicationInstallationOrUnistallationInProgress READ applicationInstallationOrUnistallationInProgress
            WRITE setApplicationInstallationOrUnistallationInProgress NOTIFY
                applicationInstallationOrUnistallationInProgressChanged)
    Q_PROPERTY(
        QString proceedButtonLabel READ proceedButtonLabel WRITE setProceedButtonLabel NOTIFY proceedButtonLabelChanged)
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY messageChanged)
    Q_PROPERTY(QString versionMessage READ versionMessage WRITE setVersionMessage NOTIFY versionMessageChanged)
public:
    using QObject::QObject;

    bool applicationUpdateNecessary() const { return m_applicationUpdateNecessary; }
    void setApplicationUpdateNecessary(bool value);
    bool applicationAlreadyInstalled() const { return m_applicationAlreadyInstalled; }
    void setApplicationAlreadyInstalled(bool value);
    bool applicationAlreadyInstalledInUserHome() const { return m_applicationAlreadyInstalledInUserHome; }
    void setApplicationAlreadyInstalledInUserHome(bool value);
    bool applicationInitCompleted() const { return m_applicationInitCompleted; }
    void setApplicationInitCompleted(bool value);
    bool applicationInstallationOrUnistallationCompleted() const
    {
        return m_applicationInstallationOrUnistallationCompleted;
    }
    void setApplicationInstallationOrUnistallationCompleted(bool value);
    bool applicationInstallationOrUnistallationInProgress() const
    {
        return m_applicationInstallationOrUnistallationInProgress;
    }
    void setApplicationInstallationOrUnistallationInProgress(bool value);
    QString proceedButtonLabel() const;
    void setProceedButtonLabel(const QString &value);
    QString message() const;
    void setMessage(const QString &value);
    QString versionMessage() const;
    void setVersionMessage(const QString &value);

Q_SIGNALS:
    void applicationUpdateNecessaryChanged();
    void applicationAlreadyInstalledChanged();
    void applicationAlreadyInstalledInUserHomeChanged();
    void applicationInitCompletedChanged();
    void applicationInstallationOrUnistallationCompletedChanged();
    void applicationInstallationOrUnistallationInProgressChanged();
    void proceedButtonLabelChanged();
    void messageChanged();
    void versionMessageChanged();

private:
    bool m_applicationUpdateNecessary = false;
    bool m_applicationAlreadyInstalled = false;
    bool m_applicationAlreadyInstalledInUserHome = false;
    bool m_applicationInitCompleted = false;
    bool m_applicationInstallationOrUnistallationCompleted = false;
    bool m_applicationInstallationOrUnistallationInProgress = false;
    mutable QMutex m_textLock;
    QString m_proceedButtonLabel;
    QString m_message;
    QString m_versionMessage;
};

#endif
