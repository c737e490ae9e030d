#ifndef RUVELANT_HOSTWINDOW_H
#define RUVELANT_HOSTWINDOW_H

#include "panecatalog.h"

#include <QHash>
#include <QMainWindow>
#include <QPointer>

class PreferencePane;
class QListWidget;
class QStackedWidget;

// The host's window: the panes in a list on the left (icon and name), the chosen pane's view on
// the right. A pane's plug-in is loaded the first time it is shown; one that cannot be loaded is
// marked as broken and shows why instead of its view.
class HostWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit HostWindow(const QList<PaneRecord> &panes, QWidget *parent = nullptr);

    // Shows the pane with that identifier. Returns false with *error when there is no such pane
    // or it cannot be loaded (it is then marked broken).
    bool reveal(const QString &identifier, QString *error = nullptr);
    // Adds the pane bundle at path (it replaces a pane with the same identifier) and returns its
    // identifier; empty with *error when it is no pane bundle.
    QString addPane(const QString &path, QString *error = nullptr);
    // One line per pane: identifier, state ("not loaded", "loaded", "broken: why"), name, path.
    QStringList describePanes() const;
    // Brings the control with that object name of the pane shown into view (choosing the tabs it
    // lies on) and gives it the focus. Returns false when there is no such control.
    bool showControl(const QString &name);
    // The identifier of the pane shown; empty when none is.
    QString currentIdentifier() const;
    // The identifiers of the panes listed, in the list's order.
    QStringList identifiers() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Entry
    {
        PaneRecord record;
        QPointer<PreferencePane> pane;
        QWidget *page = nullptr;
        QString error;
    };

    void addEntry(const PaneRecord &record);
    int indexOf(const QString &identifier) const;
    bool load(Entry &entry);
    void showRow(int row);
    // Grows the window, as far as the screen allows, to show the whole of the pane's view.
    void makeRoomFor(QWidget *view);
    // The largest size the window takes by itself: most of the screen's.
    QSize largestSize() const;

    QList<Entry> m_entries;
    QListWidget *m_list;
    QStackedWidget *m_stack;
    QWidget *m_placeholder;
};

#endif
