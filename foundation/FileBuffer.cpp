#include "foundation/FileBuffer.h"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ORVEX {

namespace {

// Owns one descriptor; closes it on every exit path.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Opens without blocking (a FIFO would block a plain open) and accepts only a
// regular file, whose length the status query gives reliably.
int openRegular(const std::string& path, int flags, struct stat& st) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool FileBuffer::load(const std::string& path) {
    return load(path, 0, 0);
}

bool FileBuffer::load(const std::string& path, std::uint64_t size, std::uint64_t offset) {
    struct stat st {};
    Descriptor file(openRegular(path, O_RDONLY, st));
    if (file.get() < 0) return false;
    const auto length = static_cast<std::uint64_t>(st.st_size);
    if (length == 0) {
        // A pseudo-file (/proc) reports length 0 whatever it holds: its
        // length is unknown, and it is not taken for an empty file.
        std::uint8_t probe = 0;
        ssize_t n = 0;
        do {
            n = ::pread(file.get(), &probe, 1, 0);
        } while (n < 0 && errno == EINTR);
        if (n != 0) return false;
        clear();
        return true;
    }
    if (size == 0) {
        offset = 0;
        size = length;
    } else if (size > length || offset > length - size) {
        return false;
    }
    Buffer bytes;
    // A length the memory cannot hold (a huge sparse file named by mistake)
    // is a file that cannot be read, not the end of the process.
    try {
        bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    std::uint64_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(file.get(), bytes.data() + done, static_cast<std::size_t>(size - done),
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // error, or the file shrank: a short read is a failure
        done += static_cast<std::uint64_t>(n);
    }
    swap(bytes);
    return true;
}

bool FileBuffer::save(const std::string& path) const {
    struct stat st {};
    Descriptor file(openRegular(path, O_WRONLY | O_CREAT | O_TRUNC, st));
    if (file.get() < 0) return false;
    std::size_t done = 0;
    while (done < size()) {
        const ssize_t n = ::write(file.get(), data() + done, size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return file.close();
}

void FileBuffer::write(const void* bytes, std::uint64_t count) {
    if (count == 0 || bytes == nullptr) return;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    insert(end(), p, p + count);
}

bool FileBuffer::remove(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

}  // namespace ORVEX
