#ifndef COMKESTRAMOPREFERENCEQUORVELPREF_H
#define COMKESTRAMOPREFERENCEQUORVELPREF_H

#include "preferencepane.h"

// The principal class of the pane bundle. It owns the pane's interface file and adds nothing of
// its own: the interface file's objects do the work.
class ComKestramoPreferenceQuorvelPref : public PreferencePane
{
    Q_OBJECT
public:
    explicit ComKestramoPreferenceQuorvelPref(const QString &bundlePath, QObject *parent = nullptr);
};

#endif
