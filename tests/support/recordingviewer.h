#ifndef RUVELANT_RECORDINGVIEWER_H
#define RUVELANT_RECORDINGVIEWER_H

#include <QString>
#include <QStringList>

class ThrowAwayHome;

// The user's chosen viewer, for tests: a desktop entry in the throw-away home that xdg-open picks
// for text and HTML documents and that writes down every file it is asked to open. No desktop
// session is assumed, so xdg-open follows the home's own choices.
class RecordingViewer
{
public:
    explicit RecordingViewer(ThrowAwayHome &home);

    // The files opened so far, oldest first.
    QStringList opened() const;

private:
    QString m_record;
};

#endif
