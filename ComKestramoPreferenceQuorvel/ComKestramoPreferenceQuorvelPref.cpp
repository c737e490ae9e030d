#include "ComKestramoPreferenceQuorvelPref.h"

#include "paneinterface.h"

ComKestramoPreferenceQuorvelPref::ComKestramoPreferenceQuorvelPref(const QString &bundlePath, QObject *parent)
    : PreferencePane(bundlePath, &PaneInterface::instantiate, parent)
{
}
