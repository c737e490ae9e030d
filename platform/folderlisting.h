#ifndef RUVELANT_FOLDERLISTING_H
#define RUVELANT_FOLDERLISTING_H

#include "filedescriptor.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstring>
#include <functional>
#include <sys/types.h>
#include <vector>

// The names in a folder and, for the names a chooser picks, what stat(2) says of the file they
// name (following symbolic links). A stat costs many times what reading a name does, and a run's
// other cores are idle meanwhile: folders are read, and their files stated, on a few threads.
class FolderListing
{
public:
    // What a run needs of a stat(2).
    struct Info
    {
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modified = 0; // st_mtime in nanoseconds since the epoch
        qint64 changed = 0; // st_ctime in nanoseconds since the epoch
        quint32 device = 0;
        quint16 mode = 0; // st_mode
        quint16 error = 0; // errno of a failed stat, else 0
    };
    enum Choice { Skip, Stat, Keep }; // Keep: the name only
    // Called on several threads at once: it may not touch shared state.
    using Chooser = Choice (*)(const char *name, std::size_t length);

    // Lists the folders at paths, one listing each in their order; meanwhile (when given) runs
    // beside, on one of the threads.
    static std::vector<FolderListing> list(const QStringList &paths, Chooser choose,
                                           const std::function<void()> &meanwhile = {});

    // Whether the folder could be read; if not, why.
    bool isListed() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }
    // The stated names, in the folder's order, and what their stat gave.
    int count() const { return int(m_names.size()); }
    QByteArray name(int i) const
    {
        const char *name = m_text.data() + m_names[std::size_t(i)];
        return QByteArray::fromRawData(name, int(std::strlen(name)));
    }
    const Info &info(int i) const { return m_infos[std::size_t(i)]; }
    // The content of the stated file i, when it is still the regular file that was stated (not
    // replaced since, by a FIFO or anything else) and holds at most maxSize bytes; opened
    // within the folder as it was listed, without waiting for anything. False with the reason
    // in *error otherwise.
    bool read(int i, qint64 maxSize, QByteArray *bytes, QString *error) const;
    // The names kept without a stat.
    const QList<QByteArray> &kept() const { return m_kept; }
    // The folder's device and inode.
    quint64 folderDevice() const { return m_folderDevice; }
    quint64 folderInode() const { return m_folderInode; }

private:
    void readFolder(const QString &path, Chooser choose);
    void stat(std::size_t from, std::size_t to);

    QString m_error = QStringLiteral("not listed");
    quint64 m_folderDevice = 0;
    quint64 m_folderInode = 0;
    FileDescriptor m_folder;
    std::vector<char> m_text; // the stated names, each ending in NUL
    std::vector<quint32> m_names; // offsets in m_text
    std::vector<Info> m_infos;
    QList<QByteArray> m_kept;
};

#endif
