#include "folderlisting.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {
// Below this many stats a second thread costs more than it saves.
constexpr std::size_t statsPerThread = 1024;
constexpr unsigned maxThreads = 4;

void statItems(int folder, const char *names, FolderListing::Item *begin, FolderListing::Item *end)
{
    for (FolderListing::Item *item = begin; item != end; ++item) {
        if (item->picked && ::fstatat(folder, names + item->name, &item->info, 0) != 0)
            item->error = errno;
    }
}
} // namespace

FolderListing::~FolderListing()
{
    if (m_folder >= 0)
        ::close(m_folder);
}

bool FolderListing::list(const QString &path, const std::function<bool(const char *, std::size_t)> &pick,
                         QString *error)
{
    m_folder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = m_folder >= 0 ? ::fdopendir(::dup(m_folder)) : nullptr;
    if (!dir || ::fstat(m_folder, &m_folderInfo) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        if (dir)
            ::closedir(dir);
        return false;
    }
    std::size_t picked = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const std::size_t length = std::strlen(entry->d_name);
        if (entry->d_name[0] == '.' && (length == 1 || (length == 2 && entry->d_name[1] == '.')))
            continue;
        Item item;
        item.name = m_names.size();
        item.length = length;
        item.picked = pick(entry->d_name, length);
        picked += item.picked ? 1 : 0;
        m_names.insert(m_names.end(), entry->d_name, entry->d_name + length + 1);
        m_items.push_back(item);
    }
    ::closedir(dir);

    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t threads
        = std::min<std::size_t>({cores, maxThreads, std::max<std::size_t>(1, picked / statsPerThread)});
    const std::size_t share = (m_items.size() + threads - 1) / threads;
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < threads; ++t) {
        Item *begin = m_items.data() + std::min(m_items.size(), t * share);
        Item *end = m_items.data() + std::min(m_items.size(), (t + 1) * share);
        try {
            helpers.emplace_back(statItems, m_folder, m_names.data(), begin, end);
        } catch (const std::system_error &) { // no thread to be had: this one does it
            statItems(m_folder, m_names.data(), begin, end);
        }
    }
    statItems(m_folder, m_names.data(), m_items.data(), m_items.data() + std::min(m_items.size(), share));
    for (std::thread &helper : helpers)
        helper.join();
    return true;
}
