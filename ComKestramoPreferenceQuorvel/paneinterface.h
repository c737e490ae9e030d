#ifndef RUVELANT_PANEINTERFACE_H
#define RUVELANT_PANEINTERFACE_H

#include <QObjectList>

class Bundle;
class PreferencePane;
class QWidget;

// What the pane's interface file holds besides its widgets: the settings model (following the
// calendar store), the controller and the tooltip provider, the outlets between them, and every
// tie between a control and the model, the controller or a tooltip, made here in one place.
namespace PaneInterface {
// Makes those objects (owned by owner) around view, the loaded interface file, and ties them.
QObjectList instantiate(PreferencePane *owner, QWidget *view);
} // namespace PaneInterface

#endif
