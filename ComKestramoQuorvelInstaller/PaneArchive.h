#ifndef PANEARCHIVE_H
#define PANEARCHIVE_H

#include <QString>

// The pane archive that the installer carries, checked before anything is unpacked and again
// before anything is replaced: it may hold the pane bundle and nothing else, within a bounded size.
class PaneArchive
{
public:
    // The most that unpacking the archive may write, and the most entries it may have.
    static constexpr qint64 maxUnpackedSize = 512LL * 1024 * 1024;
    static constexpr int maxEntries = 10000;

    // Why the archive is not unpacked: an entry outside the folder bundle/ (another top-level
    // item, an absolute path, a ".." part), one below a symbolic link of the archive, a device or
    // FIFO, too many entries or too many bytes unpacked. Empty when it may be.
    static QString refusal(const QString &archive, const QString &bundle);

    // Why what unzip unpacked into folder is not put in place: anything but the folder bundle at
    // its top, or a symbolic link in it that leads out of it (or nowhere). Empty when it may be.
    static QString unpackedRefusal(const QString &folder, const QString &bundle);
};

#endif
