#ifndef RUVELANT_FOLDERLISTING_H
#define RUVELANT_FOLDERLISTING_H

#include "filedescriptor.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <thread>
#include <vector>

class FolderListings;

// The names in a folder and, for the names a chooser picks, what stat(2) says of the file they
// name (following symbolic links). Made by FolderListings.
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

    // Whether the folder could be read; if not, why.
    bool isListed() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }
    // The stated names, in the folder's order, and what their stat gave (waiting for it).
    int count() const { return int(m_names.size()); }
    QByteArray name(int i) const
    {
        const char *name = m_text.data() + m_names[std::size_t(i)];
        return QByteArray::fromRawData(name, int(std::strlen(name)));
    }
    const Info &info(int i) const;
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
    friend class FolderListings;
    void readFolder(const QString &path, Chooser choose);
    void stat(std::size_t from, std::size_t to);

    const FolderListings *m_owner = nullptr;
    std::size_t m_firstPart = 0; // see FolderListings::m_parts
    QString m_error = QStringLiteral("not listed");
    quint64 m_folderDevice = 0;
    quint64 m_folderInode = 0;
    FileDescriptor m_folder;
    std::vector<char> m_text; // the stated names, each ending in NUL
    std::vector<quint32> m_names; // offsets in m_text
    std::vector<Info> m_infos;
    QList<QByteArray> m_kept;
};

// Folders listed at once. A stat costs many times what reading a name does, and a run's other
// cores are idle meanwhile: the folders are read on a few threads, then their files are stated
// in parts, in order, by helper threads that go on while the caller goes through the first
// folders; a part that the caller needs before the helpers reach it the caller states itself.
class FolderListings
{
public:
    // Lists the folders at paths; meanwhile (when given) runs beside the reading of the names,
    // on one of the threads.
    FolderListings(const QStringList &paths, FolderListing::Chooser choose,
                   const std::function<void()> &meanwhile = {});
    ~FolderListings(); // waits for the helper threads
    FolderListings(const FolderListings &) = delete;
    FolderListings &operator=(const FolderListings &) = delete;

    // The listing of paths[i].
    const FolderListing &operator[](int i) const { return m_listings[std::size_t(i)]; }

private:
    friend class FolderListing;
    struct Part
    {
        FolderListing *listing;
        std::size_t begin, end;
    };
    enum State : int { Waiting, Taken, Done };
    // Makes sure that part has been stated: states it here when no helper has taken it.
    void complete(std::size_t part) const;
    bool take(std::size_t part) const;
    void finish(std::size_t part) const;

    std::vector<FolderListing> m_listings;
    std::vector<Part> m_parts;
    std::unique_ptr<std::atomic<int>[]> m_states;
    mutable std::atomic<std::size_t> m_next {0}; // the first part no helper looked at
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_done;
    std::vector<std::thread> m_helpers;
};

#endif
