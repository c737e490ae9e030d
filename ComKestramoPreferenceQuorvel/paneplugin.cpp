// The root object of the pane bundle's plug-in, through which the host makes the principal class.
#include "ComKestramoPreferenceQuorvelPref.h"

#include <QtPlugin>

class ComKestramoPreferenceQuorvelPlugin : public QObject, public PreferencePanePlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID PreferencePanePlugin_iid)
    Q_INTERFACES(PreferencePanePlugin)
public:
    PreferencePane *createPrincipalObject(const QString &bundlePath) override
    {
        return new ComKestramoPreferenceQuorvelPref(bundlePath);
    }
};

#include "paneplugin.moc"
