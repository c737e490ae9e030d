#ifndef RUVELANT_WORKSPACE_H
#define RUVELANT_WORKSPACE_H

#include <QString>
#include <QUrl>

#include <functional>

class QObject;

// Opens documents and pages with the user's chosen programs (xdg-open and its settings).
namespace Workspace {
// Why a document or page could not be opened.
struct OpenFailure
{
    enum Reason {
        NoSuchFile, // the file is not there
        NoOpener, // neither xdg-open nor the desktop's own services to open it with
        NotStarted, // xdg-open could not be started
        NoProgram, // xdg-open found no program for it (its exit status 3 or 4)
        OpenerFailed, // xdg-open failed otherwise
    };
    QString target; // the file's path, or the page's address
    Reason reason = OpenerFailed;
    int status = 0; // xdg-open's exit status, for NoProgram and OpenerFailed
    QString detail; // what xdg-open (or the system) said
};

// Tells handler, while context lives, of every document or page that could not be opened: at
// once, or when xdg-open has given up after the call returned. The last one set is told; a
// window shows it to the user. Without one, failures are warnings of ruvelant.workspace.
void setFailureHandler(QObject *context, std::function<void(const OpenFailure &)> handler);

// Opens the file at path in the user's viewer for its type. Returns false when there is no
// such file or nothing could be started; *error then says why.
bool openFile(const QString &path, QString *error = nullptr);
// Opens url (a page, or a local file) in the user's browser or viewer.
bool openUrl(const QUrl &url, QString *error = nullptr);
} // namespace Workspace

#endif
