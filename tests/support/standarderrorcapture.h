#ifndef RUVELANT_STANDARDERRORCAPTURE_H
#define RUVELANT_STANDARDERRORCAPTURE_H

#include <QString>
#include <QStringList>
#include <QTemporaryFile>

// Sends this process's standard error (and so the system-log lines' copies) to a file until
// released.
class StandardErrorCapture
{
public:
    StandardErrorCapture();
    ~StandardErrorCapture();
    Q_DISABLE_COPY(StandardErrorCapture)

    // Restores standard error (once) and returns what was written meanwhile.
    QString release();
    // The texts of the log records written meanwhile ("... Sender[pid] <Level>: text" → text).
    QStringList logTexts();

private:
    QTemporaryFile m_file;
    int m_saved;
    QString m_written;
};

#endif
