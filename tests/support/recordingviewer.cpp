#include "recordingviewer.h"

#include "throwawayhome.h"

#include <QFile>

RecordingViewer::RecordingViewer(ThrowAwayHome &home) : m_record(home.filePath(QStringLiteral("viewer/opened")))
{
    const QString script = home.filePath(QStringLiteral("viewer/record"));
    home.writeFile(QStringLiteral("viewer/record"),
                   "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + QFile::encodeName(m_record) + "'\n");
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    home.writeFile(QStringLiteral(".local/share/applications/recording-viewer.desktop"),
                   "[Desktop Entry]\nType=Application\nName=Recording viewer\nExec=" + QFile::encodeName(script)
                       + " %f\nMimeType=text/plain;text/html;\n");
    home.writeFile(QStringLiteral(".config/mimeapps.list"),
                   "[Default Applications]\ntext/plain=recording-viewer.desktop\ntext/html=recording-viewer.desktop\n");
    // xdg-open uses desktop entries only with a display, and a desktop's own opener when it
    // detects one; neither is used otherwise here.
    home.setEnv("DISPLAY", ":0");
    for (const char *name : {"WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                             "GNOME_DESKTOP_SESSION_ID", "BROWSER"}) {
        home.setEnv(name, QByteArray());
    }
}

QStringList RecordingViewer::opened() const
{
    return QString::fromUtf8(readFile(m_record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
