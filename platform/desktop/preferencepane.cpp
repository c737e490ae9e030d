#include "preferencepane.h"

#include "bundle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QUiLoader>
#include <QWidget>

Q_LOGGING_CATEGORY(lcPreferencePane, "ruvelant.preferencepane")

PreferencePane::PreferencePane(const QString &bundlePath, InterfaceBuilder builder, QObject *parent)
    : QObject(parent), m_bundle(std::make_unique<Bundle>(bundlePath)), m_builder(std::move(builder))
{
}

PreferencePane::~PreferencePane()
{
    if (m_mainView && !m_mainView->parent()) {
        delete m_mainView; // never shown by a host
    }
}

QString PreferencePane::mainNibName() const
{
    const QString name = m_bundle->objectForInfoDictionaryKey(QStringLiteral("NSMainNibFile")).toString();
    return name.isEmpty() ? m_bundle->objectForInfoDictionaryKey(QStringLiteral("NSPrincipalClass")).toString() : name;
}

QWidget *PreferencePane::loadMainView()
{
    if (m_mainView) {
        return m_mainView;
    }
    const QString path = m_bundle->pathForResource(mainNibName(), QStringLiteral("ui"));
    if (path.isEmpty()) {
        m_error = QStringLiteral("the interface file %1.ui is missing from %2")
                      .arg(mainNibName(), m_bundle->resourcePath());
        qCWarning(lcPreferencePane, "%s", qPrintable(m_error));
        return nullptr;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        qCWarning(lcPreferencePane, "%s", qPrintable(m_error));
        return nullptr;
    }
    QUiLoader loader;
    loader.setWorkingDirectory(QFileInfo(path).absoluteDir());
    QWidget *view = loader.load(&file);
    if (!view) {
        m_error = QStringLiteral("cannot load %1: %2").arg(path, loader.errorString());
        qCWarning(lcPreferencePane, "%s", qPrintable(m_error));
        return nullptr;
    }
    m_mainView = view;
    const QObjectList objects = m_builder ? m_builder(this, view) : QObjectList();
    for (QObject *object : objects) {
        const QMetaObject *meta = object->metaObject();
        if (meta->indexOfMethod("awakeFromNib()") >= 0) {
            QMetaObject::invokeMethod(object, "awakeFromNib", Qt::DirectConnection);
        }
    }
    return view;
}

QWidget *PreferencePane::mainView() const
{
    return m_mainView;
}

QString PreferencePane::errorString() const
{
    return m_error;
}
