#ifndef RUVELANT_PREFERENCEPANE_H
#define RUVELANT_PREFERENCEPANE_H

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class Bundle;
class QWidget;

// The base of a pane's principal class: the pane's bundle, its main view, and the loading of its
// interface file (a Qt Designer form in the bundle's resources). Once the form is loaded, the
// interface builder makes the form's other objects and ties them to its widgets, and every one
// of those objects that has an invokable awakeFromNib() gets that call.
class PreferencePane : public QObject
{
    Q_OBJECT
public:
    // Makes the objects that the interface file holds besides its widgets (owned by owner), sets
    // their outlets and ties, and returns them.
    using InterfaceBuilder = std::function<QObjectList(PreferencePane *owner, QWidget *view)>;

    PreferencePane(const QString &bundlePath, InterfaceBuilder builder, QObject *parent = nullptr);
    ~PreferencePane() override;

    // The pane's bundle; owned by the pane.
    Bundle *bundle() const { return m_bundle.get(); }
    // The interface file's name without ".ui": NSMainNibFile of the bundle, else the principal class.
    virtual QString mainNibName() const;
    // Loads the interface file, once, and returns its main view (nullptr on failure, see errorString).
    virtual QWidget *loadMainView();
    virtual QWidget *mainView() const;
    // Why the main view could not be loaded.
    virtual QString errorString() const;

private:
    std::unique_ptr<Bundle> m_bundle;
    InterfaceBuilder m_builder;
    QPointer<QWidget> m_mainView;
    QString m_error;
};

// The root object of a pane bundle's plug-in: it makes instances of the bundle's principal class.
class PreferencePanePlugin
{
public:
    virtual ~PreferencePanePlugin() = default;
    // A new instance of the principal class for the bundle at bundlePath; the caller owns it.
    virtual PreferencePane *createPrincipalObject(const QString &bundlePath) = 0;
};

#define PreferencePanePlugin_iid "org.ruvelant.SystemPreferences.PreferencePanePlugin/1.0"
Q_DECLARE_INTERFACE(PreferencePanePlugin, PreferencePanePlugin_iid)

#endif
