#ifndef RUVELANT_WORKSPACE_H
#define RUVELANT_WORKSPACE_H

#include <QString>
#include <QUrl>

// Opens documents and pages with the user's chosen programs (xdg-open and its settings).
namespace Workspace {
// Opens the file at path in the user's viewer for its type. Returns false when there is no
// such file or nothing could be started; *error then says why.
bool openFile(const QString &path, QString *error = nullptr);
// Opens url (a page, or a local file) in the user's browser or viewer.
bool openUrl(const QUrl &url, QString *error = nullptr);
} // namespace Workspace

#endif
