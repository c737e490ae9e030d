#ifndef RUVELANT_APPLICATION_H
#define RUVELANT_APPLICATION_H

#include <QApplication>

#include <exception>

class Bundle;

// The application object of a program with windows. An exception that escapes an event
// handler or an action run from the event loop ends up here: it is written to the system log
// and the application goes on with the next event, as the platform's applications do.
class Application : public QApplication
{
    Q_OBJECT
public:
    Application(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // How many exceptions the event loop has reported so far.
    int reportedExceptionCount() const { return m_reportedExceptions; }
    // Writes "An uncaught exception was raised: <name>: <reason>" to the system log.
    static void reportException(const std::exception &exception);

    // The window that holds the application's main work; nullptr when none is set.
    static QWidget *mainWindow();
    static void setMainWindow(QWidget *window);
    // Brings the application's windows in front of the other applications' windows, as far as
    // the window system lets a program do that.
    static void activateIgnoringOtherApps(bool flag);
    // Shows window in front of the application's other windows and gives it the keyboard.
    static void makeKeyAndOrderFront(QWidget *window);
    // Ctrl+Q and Ctrl+W (and the platform's own keys for both) close window.
    static void closeOnStandardKeys(QWidget *window);
    // Keeps window (which has a layout) at least as tall as its layout needs at the window's
    // width, wrapped texts included, and grows it when a text grows or a control shows: no text
    // is cut and no field squeezed below its own height. Windows do not do this by themselves.
    static void keepLayoutWhole(QWidget *window);
    // For a program whose command-line modes must work without a display (over ssh, in scripts):
    // called before the application object exists, it has Qt's offscreen platform stand in when
    // neither a display (DISPLAY, WAYLAND_DISPLAY) nor a window platform (QT_QPA_PLATFORM) is
    // given, and isWindowless() then tells the program that no window can be seen. Qt's note that
    // XDG_RUNTIME_DIR is not set (as after "su -" or in cron) is kept off standard error: Qt only
    // looks there for a sandbox's marker, and what of ours needs the folder has its own way.
    static void prepareForSessionWithoutDisplay();
    static bool isWindowless();
    // A control's text as a screen reader says it: without its access key's "&" and a closing colon.
    static QString spokenText(QString text);
    // Puts the translations of bundle in place of a form's own English texts, each the key of its
    // translation: the window title, labels, buttons, tabs, placeholders, tooltips (also the
    // description for screen readers) and accessible names. A button without an accessible name
    // is named by its text, and a field by the label that stands for it.
    static void localizeTexts(QWidget *form, const Bundle &bundle);
    // Gives widget (when there is one) the tooltip text, which is also its description for screen
    // readers.
    static void setTooltip(QWidget *widget, const QString &text);

private:
    int m_reportedExceptions = 0;
};

#endif
