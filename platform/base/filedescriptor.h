#ifndef RUVELANT_FILEDESCRIPTOR_H
#define RUVELANT_FILEDESCRIPTOR_H

#include <unistd.h>
#include <utility>

// An open file descriptor owned by one object at a time: closed when its owner goes, handed over
// (never copied) when its owner moves.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) { }
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) { }
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Closes the descriptor held, if any, and holds fd instead.
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

#endif
