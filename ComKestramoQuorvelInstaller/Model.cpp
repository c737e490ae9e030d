#include "Model.h"

#include <QMutexLocker>

namespace {
void setText(QMutex &lock, QString &field, const QString &value)
{
    const QMutexLocker locker(&lock);
    field = value;
}

QString text(QMutex &lock, const QString &field)
{
    const QMutexLocker locker(&lock);
    return field;
}
} // namespace

void Model::setApplicationUpdateNecessary(bool value)
{
    m_applicationUpdateNecessary = value;
    Q_EMIT applicationUpdateNecessaryChanged();
}

void Model::setApplicationAlreadyInstalled(bool value)
{
    m_applicationAlreadyInstalled = value;
    Q_EMIT applicationAlreadyInstalledChanged();
}

void Model::setApplicationAlreadyInstalledInUserHome(bool value)
{
    m_applicationAlreadyInstalledInUserHome = value;
    Q_EMIT applicationAlreadyInstalledInUserHomeChanged();
}

void Model::setApplicationInitCompleted(bool value)
{
    m_applicationInitCompleted = value;
    Q_EMIT applicationInitCompletedChanged();
}

void Model::setApplicationInstallationOrUnistallationCompleted(bool value)
{
    m_applicationInstallationOrUnistallationCompleted = value;
    Q_EMIT applicationInstallationOrUnistallationCompletedChanged();
}

void Model::setApplicationInstallationOrUnistallationInProgress(bool value)
{
    m_applicationInstallationOrUnistallationInProgress = value;
    Q_EMIT applicationInstallationOrUnistallationInProgressChanged();
}

QString Model::proceedButtonLabel() const
{
    return text(m_textLock, m_proceedButtonLabel);
}

void Model::setProceedButtonLabel(const QString &value)
{
    setText(m_textLock, m_proceedButtonLabel, value);
    Q_EMIT proceedButtonLabelChanged();
}

QString Model::message() const
{
    return text(m_textLock, m_message);
}

void Model::setMessage(const QString &value)
{
    setText(m_textLock, m_message, value);
    Q_EMIT messageChanged();
}

QString Model::versionMessage() const
{
    return text(m_textLock, m_versionMessage);
}

void Model::setVersionMessage(const QString &value)
{
    setText(m_textLock, m_versionMessage, value);
    Q_EMIT versionMessageChanged();
}
