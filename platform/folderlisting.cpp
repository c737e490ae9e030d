#include "folderlisting.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {
// Below this many stats a thread costs more than it saves.
constexpr std::size_t statsPerThread = 1024;
constexpr unsigned maxThreads = 4;

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

// Runs work(0) .. work(threads - 1) at once, work(0) on this thread; a thread that cannot be
// started leaves its share to this one.
void together(std::size_t threads, const std::function<void(std::size_t)> &work)
{
    std::vector<std::thread> helpers;
    std::vector<std::size_t> left;
    for (std::size_t t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(work, t);
        } catch (const std::system_error &) {
            left.push_back(t);
        }
    }
    work(0);
    for (std::size_t t : left)
        work(t);
    for (std::thread &helper : helpers)
        helper.join();
}
} // namespace

void FolderListing::read(const QString &path, Chooser choose)
{
    m_folder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    const int copy = m_folder >= 0 && ::fstat(m_folder, &st) == 0 ? ::dup(m_folder) : -1;
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
        if (::fstatat(m_folder, m_text.data() + m_names[i], &st, 0) != 0) {
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
    const std::size_t cores = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, maxThreads);

    // The folders' names (and the caller's other work), each task on the first free thread.
    const std::size_t tasks = listings.size() + (meanwhile ? 1 : 0);
    std::atomic<std::size_t> next {0};
    together(std::min(cores, tasks), [&](std::size_t) {
        for (std::size_t task; (task = next++) < tasks;) {
            if (task < listings.size())
                listings[task].read(paths.at(int(task)), choose);
            else
                meanwhile();
        }
    });

    // Then the stats, in equal shares of all the folders' names.
    std::size_t total = 0;
    for (const FolderListing &listing : listings)
        total += listing.m_names.size();
    const std::size_t threads = std::clamp<std::size_t>(total / statsPerThread, 1, cores);
    together(threads, [&](std::size_t t) {
        const std::size_t begin = total * t / threads, end = total * (t + 1) / threads;
        std::size_t offset = 0; // of the current listing's first name
        for (FolderListing &listing : listings) {
            const std::size_t size = listing.m_names.size();
            if (offset + size > begin && offset < end)
                listing.stat(std::max(begin, offset) - offset, std::min(end, offset + size) - offset);
            offset += size;
        }
    });
    for (FolderListing &listing : listings) {
        if (listing.m_folder >= 0)
            ::close(listing.m_folder);
        listing.m_folder = -1;
    }
    return listings;
}
