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
#include <system_error>
#include <unistd.h>

namespace {
// The stats are made in parts of this many names; a helper thread is worth it for a few parts.
constexpr std::size_t namesPerPart = 512;
constexpr std::size_t partsPerHelper = 4;

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

const FolderListing::Info &FolderListing::info(int i) const
{
    m_owner->complete(m_firstPart + std::size_t(i) / namesPerPart);
    return m_infos[std::size_t(i)];
}

FolderListings::FolderListings(const QStringList &paths, FolderListing::Chooser choose,
                               const std::function<void()> &meanwhile)
    : m_listings(std::size_t(paths.size()))
{
    const std::size_t cores = Parallel::threads();

    // The folders' names (and the caller's other work), each task on the first free thread.
    const std::size_t tasks = m_listings.size() + (meanwhile ? 1 : 0);
    std::atomic<std::size_t> next {0};
    Parallel::run(std::min(cores, tasks), [&](std::size_t) {
        for (std::size_t task; (task = next++) < tasks;) {
            if (task < m_listings.size())
                m_listings[task].readFolder(paths.at(int(task)), choose);
            else
                meanwhile();
        }
    });

    // Then the stats, in parts, in the order the caller goes through them.
    for (FolderListing &listing : m_listings) {
        listing.m_owner = this;
        listing.m_firstPart = m_parts.size();
        for (std::size_t begin = 0; begin < listing.m_names.size(); begin += namesPerPart)
            m_parts.push_back({&listing, begin, std::min(listing.m_names.size(), begin + namesPerPart)});
    }
    m_states.reset(new std::atomic<int>[m_parts.size()]);
    for (std::size_t part = 0; part < m_parts.size(); ++part)
        m_states[part] = Waiting;
    const std::size_t helpers = std::min(cores - 1, m_parts.size() / partsPerHelper);
    for (std::size_t t = 0; t < helpers; ++t) {
        try {
            m_helpers.emplace_back([this] {
                for (std::size_t part; (part = m_next++) < m_parts.size();) {
                    if (take(part))
                        finish(part);
                }
            });
        } catch (const std::system_error &) { // no thread to be had: the caller states them all
            break;
        }
    }
}

FolderListings::~FolderListings()
{
    m_next = m_parts.size(); // the helpers stop after the part in hand
    for (std::thread &helper : m_helpers)
        helper.join();
}

bool FolderListings::take(std::size_t part) const
{
    int waiting = Waiting;
    return m_states[part].compare_exchange_strong(waiting, Taken);
}

void FolderListings::finish(std::size_t part) const
{
    const Part &what = m_parts[part];
    what.listing->stat(what.begin, what.end);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_states[part] = Done;
    }
    m_done.notify_all();
}

void FolderListings::complete(std::size_t part) const
{
    if (m_states[part] == Done)
        return;
    if (take(part)) {
        finish(part);
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [&] { return m_states[part] == Done; });
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
