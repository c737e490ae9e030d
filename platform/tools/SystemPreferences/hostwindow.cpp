#include "hostwindow.h"

#include "application.h"
#include "preferencepane.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLoggingCategory>
#include <QPluginLoader>
#include <QScreen>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>

Q_DECLARE_LOGGING_CATEGORY(lcPaneCatalog)

namespace {
QLabel *messagePage(const QString &text)
{
    auto *label = new QLabel(text);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setMargin(24);
    return label;
}
} // namespace

HostWindow::HostWindow(const QList<PaneRecord> &panes, QWidget *parent)
    : QMainWindow(parent), m_list(new QListWidget), m_stack(new QStackedWidget)
{
    setWindowTitle(QStringLiteral("System Preferences"));
    m_list->setIconSize(QSize(32, 32));
    m_list->setFixedWidth(170);
    m_list->setAccessibleName(QStringLiteral("Preference panes"));
    m_placeholder = messagePage(panes.isEmpty() ? QStringLiteral("No preference panes are installed.")
                                                : QStringLiteral("Choose a preference pane on the left."));
    m_stack->addWidget(m_placeholder);
    auto *central = new QWidget;
    auto *layout = new QHBoxLayout(central);
    layout->addWidget(m_list);
    layout->addWidget(m_stack, 1);
    setCentralWidget(central);
    for (const PaneRecord &record : panes) {
        addEntry(record);
    }
    // A pane is loaded when it is chosen, not when the list merely gets the focus.
    connect(m_list, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem *> selected = m_list->selectedItems();
        showRow(selected.isEmpty() ? -1 : m_list->row(selected.first()));
    });
    // Wide enough for the tables of a pane to show their columns whole (a day, a time, an event,
    // a calendar, a name with its address, a reason), and never larger than the screen.
    resize(QSize(1240, 740).boundedTo(largestSize()));
    Application::closeOnStandardKeys(this);
}

void HostWindow::addEntry(const PaneRecord &record)
{
    const int existing = indexOf(record.identifier);
    if (existing >= 0) {
        // A newer copy of a pane that is already listed: the old one's view goes.
        Entry &entry = m_entries[existing];
        if (entry.page) {
            m_stack->removeWidget(entry.page);
            entry.page->deleteLater();
        }
        delete entry.pane;
        entry = Entry {record, nullptr, nullptr, QString()};
        m_list->item(existing)->setText(record.name);
        m_list->item(existing)->setIcon(QIcon(record.iconPath));
        return;
    }
    m_entries.append(Entry {record, nullptr, nullptr, QString()});
    auto *item = new QListWidgetItem(QIcon(record.iconPath), record.name, m_list);
    item->setToolTip(record.path);
}

int HostWindow::indexOf(const QString &identifier) const
{
    for (int i = 0; i < m_entries.size(); ++i) {
        if (m_entries.at(i).record.identifier == identifier) {
            return i;
        }
    }
    return -1;
}

bool HostWindow::load(Entry &entry)
{
    if (entry.page) {
        return entry.error.isEmpty();
    }
    const PaneRecord &record = entry.record;
    QWidget *view = nullptr;
    if (record.executablePath.isEmpty() || !QFileInfo::exists(record.executablePath)) {
        entry.error = QStringLiteral("the bundle has no plug-in (CFBundleExecutable in Contents/MacOS)");
    } else {
        // The plug-in stays loaded for the life of the host, like the pane it made.
        auto *loader = new QPluginLoader(record.executablePath, this);
        QObject *root = loader->instance();
        auto *plugin = qobject_cast<PreferencePanePlugin *>(root);
        if (!root) {
            entry.error = loader->errorString();
        } else if (!plugin) {
            entry.error = QStringLiteral("the plug-in is not a preference pane");
        } else {
            entry.pane = plugin->createPrincipalObject(record.path);
            const QString made = entry.pane ? QString::fromLatin1(entry.pane->metaObject()->className()) : QString();
            if (!entry.pane) {
                entry.error = QStringLiteral("the plug-in made no pane");
            } else if (!record.principalClass.isEmpty() && made != record.principalClass) {
                entry.error = QStringLiteral("the plug-in made a %1, not the principal class %2")
                                  .arg(made, record.principalClass);
            } else if (!(view = entry.pane->loadMainView())) {
                entry.error = entry.pane->errorString();
            }
        }
    }
    if (!entry.error.isEmpty()) {
        qCWarning(lcPaneCatalog, "%s cannot be loaded: %s", qPrintable(record.path), qPrintable(entry.error));
        entry.page = messagePage(QStringLiteral("“%1” cannot be shown: %2.").arg(record.name, entry.error));
        const int row = indexOf(record.identifier);
        m_list->item(row)->setIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
        m_list->item(row)->setToolTip(entry.error);
    } else {
        // A screen too small for the pane (a laptop at twice the scale) scrolls it rather than
        // squeezing its controls below their size.
        auto *scroller = new QScrollArea;
        scroller->setFrameShape(QFrame::NoFrame);
        scroller->setWidgetResizable(true);
        scroller->setWidget(view);
        view->installEventFilter(this); // its controls grow and shrink: the window makes room
        entry.page = scroller;
    }
    m_stack->addWidget(entry.page);
    return entry.error.isEmpty();
}

void HostWindow::showRow(int row)
{
    if (row < 0 || row >= m_entries.size()) {
        m_stack->setCurrentWidget(m_placeholder);
        setWindowTitle(QStringLiteral("System Preferences"));
        return;
    }
    Entry &entry = m_entries[row];
    load(entry);
    m_stack->setCurrentWidget(entry.page);
    if (const auto *scroller = qobject_cast<QScrollArea *>(entry.page)) {
        makeRoomFor(scroller->widget());
    }
    setWindowTitle(QStringLiteral("%1 — System Preferences").arg(entry.record.name));
}

bool HostWindow::reveal(const QString &identifier, QString *error)
{
    const int row = indexOf(identifier);
    if (row < 0) {
        if (error) {
            *error = QStringLiteral("there is no pane %1").arg(identifier);
        }
        return false;
    }
    m_list->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
    showRow(row); // also when it was chosen already
    const Entry &entry = m_entries.at(row);
    if (!entry.error.isEmpty() && error) {
        *error = QStringLiteral("the pane %1 cannot be loaded: %2").arg(identifier, entry.error);
    }
    return entry.error.isEmpty();
}

QString HostWindow::addPane(const QString &path, QString *error)
{
    QString why;
    const std::optional<PaneRecord> record = PaneCatalog::read(path, &why);
    if (!record) {
        if (error) {
            *error = why;
        }
        return QString();
    }
    addEntry(*record);
    return record->identifier;
}

QStringList HostWindow::describePanes() const
{
    QStringList lines;
    for (const Entry &entry : m_entries) {
        const QString state = !entry.error.isEmpty() ? QStringLiteral("broken: ") + entry.error
            : entry.page                             ? QStringLiteral("loaded")
                                                     : QStringLiteral("not loaded");
        lines.append(
            QStringList {entry.record.identifier, state, entry.record.name, entry.record.path}.join(QLatin1Char('\t')));
    }
    return lines;
}

bool HostWindow::showControl(const QString &name)
{
    QWidget *control = m_stack->currentWidget()->findChild<QWidget *>(name);
    if (!control) {
        return false;
    }
    for (QWidget *page = control; page && page != m_stack; page = page->parentWidget()) {
        if (auto *tabs
            = qobject_cast<QTabWidget *>(page->parentWidget() ? page->parentWidget()->parentWidget() : nullptr)) {
            tabs->setCurrentWidget(page);
        }
    }
    control->setFocus();
    return true;
}

QString HostWindow::currentIdentifier() const
{
    const QList<QListWidgetItem *> selected = m_list->selectedItems();
    const int row = selected.isEmpty() ? -1 : m_list->row(selected.first());
    return row >= 0 && row < m_entries.size() && m_stack->currentWidget() != m_placeholder
        ? m_entries.at(row).record.identifier
        : QString();
}

QStringList HostWindow::identifiers() const
{
    QStringList identifiers;
    for (const Entry &entry : m_entries) {
        identifiers.append(entry.record.identifier);
    }
    return identifiers;
}

QSize HostWindow::largestSize() const
{
    // The offscreen platform's screen (800x600) is a stand-in of no size: pictures drawn there
    // take the size they need.
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen || QGuiApplication::platformName() == QLatin1String("offscreen")) {
        return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
    return screen->availableSize() * 9 / 10;
}

bool HostWindow::eventFilter(QObject *watched, QEvent *event)
{
    auto *view = qobject_cast<QWidget *>(watched);
    if (event->type() == QEvent::LayoutRequest && view && m_stack->currentWidget()
        && m_stack->currentWidget()->isAncestorOf(view)) {
        // After the view has laid itself out anew, not in the middle of it.
        QTimer::singleShot(0, view, [this, view] { makeRoomFor(view); });
    }
    return QMainWindow::eventFilter(watched, event);
}

void HostWindow::makeRoomFor(QWidget *view)
{
    // Larger fonts than the default size was made for: the window grows where the screen has
    // room, and the pane scrolls only where it has not.
    centralWidget()->layout()->activate();
    const QSize around = size() - m_stack->size();
    QSize needed = view->minimumSizeHint();
    if (view->layout() && view->layout()->hasHeightForWidth()) {
        // Wrapped texts: their height at the width they have.
        needed.setHeight(qMax(needed.height(), view->heightForWidth(qMax(m_stack->width(), needed.width()))));
    }
    const QSize wanted = size().expandedTo(around + needed).boundedTo(largestSize());
    if (wanted != size()) {
        resize(wanted.expandedTo(size()));
    }
}
