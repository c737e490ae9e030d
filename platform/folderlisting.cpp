#include "folderlisting.h"

#include "parallel.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Below this many stats a thread costs more than it saves.
constexpr std::size_t statsPerThread = 1024;

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

} // namespace

void FolderListing::readFolder(const QString &path, Chooser choose)
{
    m_folder.reset(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    const int copy = m_folder.isOpen() && ::fstat(m_folder.get(), &st) == 0 ? ::dup(m_folder.get()) : -1;
    DIR *dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        if (copy >= 0)
            ::close(copy);
        return;
    }
    m_error.clear();
    m_folderDevice = st.st_dev;
    m_folderInode = st.st_ino;
    while (const dirent *entry = ::readdir(dir)) {
        const std::size_t length = std::strlen(entry->d_name);
        if (entry->d_name[0] == '.' && (length == 1 || (length == 2 && entry->d_name[1] == '.')))
            continue;
        switch (choose(entry->d_name, length)) {
        case Skip:
            break;
        case Keep:
            m_kept.append(QByteArray(entry->d_name, int(length)));
            break;
        case Stat:
            m_names.push_back(quint32(m_text.size()));
            m_text.insert(m_text.end(), entry->d_name, entry->d_name + length + 1);
            break;
        }
    }
    ::closedir(dir);
    m_infos.resize(m_names.size());
}

void FolderListing::stat(std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to; ++i) {
        struct stat st;
        if (::fstatat(m_folder.get(), m_text.data() + m_names[i], &st, 0) != 0) {
            m_infos[i].error = quint16(errno);
            continue;
        }
        m_infos[i] = {quint64(st.st_ino),
                      qint64(st.st_size),
                      nanoseconds(st.st_mtim),
                      nanoseconds(st.st_ctim),
                      quint32(st.st_dev),
                      quint16(st.st_mode),
                      0};
    }
}

std::vector<FolderListing> FolderListing::list(const QStringList &paths, Chooser choose,
                                               const std::function<void()> &meanwhile)
{
    std::vector<FolderListing> listings(std::size_t(paths.size()));
    const std::size_t cores = Parallel::threads();

    // The folders' names (and the caller's other work), each task on the first free thread.
    const std::size_t tasks = listings.size() + (meanwhile ? 1 : 0);
    std::atomic<std::size_t> next {0};
    Parallel::run(std::min(cores, tasks), [&](std::size_t) {
        for (std::size_t task; (task = next++) < tasks;) {
            if (task < listings.size())
                listings[task].readFolder(paths.at(int(task)), choose);
            else
                meanwhile();
        }
    });

    // Then the stats, in equal shares of all the folders' names.
    std::size_t total = 0;
    for (const FolderListing &listing : listings)
        total += listing.m_names.size();
    const std::size_t threads = std::clamp<std::size_t>(total / statsPerThread, 1, cores);
    Parallel::run(threads, [&](std::size_t t) {
        const std::size_t begin = total * t / threads, end = total * (t + 1) / threads;
        std::size_t offset = 0; // of the current listing's first name
        for (FolderListing &listing : listings) {
            const std::size_t size = listing.m_names.size();
            if (offset + size > begin && offset < end)
                listing.stat(std::max(begin, offset) - offset, std::min(end, offset + size) - offset);
            offset += size;
        }
    });
    return listings;
}

bool FolderListing::read(int i, qint64 maxSize, QByteArray *bytes, QString *error) const
{
    const Info &listed = m_infos[std::size_t(i)];
    const char *name = m_text.data() + m_names[std::size_t(i)];
    // O_NONBLOCK: a FIFO put in the file's place since it was stated is opened at once, and
    // refused below; O_NOATIME where the file is the user's own: reading is no access to record.
    constexpr int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd;
    while ((fd = ::openat(m_folder.get(), name, flags | O_NOATIME)) < 0 && errno == EINTR) { }
    if (fd < 0 && errno == EPERM) {
        while ((fd = ::openat(m_folder.get(), name, flags)) < 0 && errno == EINTR) { }
    }
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
    } else if (!S_ISREG(st.st_mode) || st.st_ino != listed.inode || quint32(st.st_dev) != listed.device) {
        *error = QStringLiteral("it was replaced since the folder was listed");
        ok = false;
    } else if (st.st_size > maxSize) {
        *error = QStringLiteral("%1 bytes, more than the %2 read of such a file").arg(st.st_size).arg(maxSize);
        ok = false;
    }
    // One read of the size it has, and one byte more to see that nothing was added meanwhile.
    QByteArray data;
    for (qint64 want = st.st_size + 1; ok; want *= 2) {
        want = std::min(want, maxSize + 1);
        const int old = data.size();
        data.resize(int(want));
        ssize_t n;
        while ((n = ::read(fd, data.data() + old, std::size_t(want - old))) < 0 && errno == EINTR) { }
        if (n < 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            ok = false;
            break;
        }
        data.resize(old + int(n));
        if (data.size() < want) // at its end
            break;
        if (data.size() > maxSize) {
            *error = QStringLiteral("more than the %1 bytes read of such a file").arg(maxSize);
            ok = false;
        }
    }
    ::close(fd);
    if (ok)
        *bytes = data;
    return ok;
}
