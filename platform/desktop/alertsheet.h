#ifndef RUVELANT_ALERTSHEET_H
#define RUVELANT_ALERTSHEET_H

#include <QString>

class QDialog;
class QMessageBox;
class QWidget;

// Alert sheets: a message attached to a window, modal to that window only, so the rest of the
// application goes on.
namespace AlertSheet {
// Shows an informational sheet on window with title, message (shown verbatim) and one button
// titled defaultButton, and returns at once. The sheet deletes itself when dismissed; without a
// window it is an application-modal box of its own.
QMessageBox *beginInformationalAlertSheet(const QString &title, const QString &defaultButton, const QString &message,
                                          QWidget *window);
// Shows a warning sheet on window that names a file or address: title, message, then path in a
// field that can be selected, with a button titled copyButton that puts it on the clipboard, and
// the button defaultButton that closes the sheet. Returns at once, as the sheet above does.
QDialog *beginPathAlertSheet(const QString &title, const QString &message, const QString &path,
                             const QString &copyButton, const QString &defaultButton, QWidget *window);
} // namespace AlertSheet

#endif
