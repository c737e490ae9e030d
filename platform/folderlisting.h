#ifndef RUVELANT_FOLDERLISTING_H
#define RUVELANT_FOLDERLISTING_H

#include <QByteArray>
#include <QString>

#include <functional>
#include <sys/stat.h>
#include <vector>

// The names in one folder and, for the names a filter picks, what stat(2) says of the file they
// name (following symbolic links). A stat costs many times what reading a name does, and a run's
// other cores are idle meanwhile: the stats of a large folder are spread over a few threads.
class FolderListing
{
public:
    struct Item
    {
        std::size_t name = 0; // offset of the name (NUL-terminated) in names()
        std::size_t length = 0;
        bool picked = false; // stated (info and error are set)
        int error = 0; // errno of a failed stat
        struct stat info;
    };

    FolderListing() = default;
    ~FolderListing();
    FolderListing(const FolderListing &) = delete;
    FolderListing &operator=(const FolderListing &) = delete;

    // Lists the folder at path; false with the reason in *error when it cannot be read.
    bool list(const QString &path, const std::function<bool(const char *name, std::size_t length)> &pick,
              QString *error);

    const std::vector<Item> &items() const { return m_items; }
    const char *name(const Item &item) const { return m_names.data() + item.name; }
    QByteArray nameBytes(const Item &item) const { return QByteArray::fromRawData(name(item), int(item.length)); }
    // The folder itself, open while the listing lives (for openat(2) and the like), and its stat.
    int folder() const { return m_folder; }
    const struct stat &folderInfo() const { return m_folderInfo; }

private:
    int m_folder = -1;
    struct stat m_folderInfo
    {
    };
    std::vector<char> m_names;
    std::vector<Item> m_items;
};

#endif
