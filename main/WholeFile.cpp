#include "main/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
// Largest piece read at once (bytes).
constexpr size_t kReadChunk = size_t(1) << 20;

// Closes the descriptor on every path out.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

WholeFile fault(WholeFile file, FileFault why, int error = 0) {
    file.bytes.clear();
    file.bytes.shrink_to_fit();
    file.fault = why;
    file.error = error;
    return file;
}
} // namespace

std::string byteCount(size_t bytes) {
    constexpr size_t kMiB = size_t(1) << 20;
    if (bytes >= kMiB && bytes % kMiB == 0)
        return std::to_string(bytes / kMiB) + " MB";
    return std::to_string(bytes) + " bytes";
}

std::string WholeFile::reason() const {
    switch (fault) {
    case FileFault::kNone: return "read";
    case FileFault::kCannotOpen: return std::strerror(error);
    case FileFault::kFolder: return "a folder, not a file";
    case FileFault::kNotRegular: return "not a regular file";
    case FileFault::kEmpty: return "empty (0 bytes)";
    case FileFault::kTooLarge: return "larger than " + byteCount(limit);
    case FileFault::kCannotRead: return std::string("cannot be read: ") + std::strerror(error);
    }
    return "cannot be read";
}

WholeFile readWholeFile(const std::string& path, size_t maxBytes) {
    WholeFile file;
    file.limit = maxBytes;
    // O_NONBLOCK: opening a FIFO for reading returns at once even without a writer;
    // it changes nothing for a regular file.
    Descriptor in{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (in.fd < 0)
        return fault(std::move(file), FileFault::kCannotOpen, errno);
    struct stat info;
    if (::fstat(in.fd, &info) != 0)
        return fault(std::move(file), FileFault::kCannotRead, errno);
    if (S_ISDIR(info.st_mode))
        return fault(std::move(file), FileFault::kFolder);
    if (!S_ISREG(info.st_mode))
        return fault(std::move(file), FileFault::kNotRegular);
    if (info.st_size <= 0)
        return fault(std::move(file), FileFault::kEmpty);
    if (static_cast<unsigned long long>(info.st_size) > maxBytes)
        return fault(std::move(file), FileFault::kTooLarge);

    // The file may change size while it is read: it is read to its end, but never
    // past one byte more than the limit.
    const size_t most = maxBytes < SIZE_MAX ? maxBytes + 1 : maxBytes;
    file.bytes.resize(std::min(static_cast<size_t>(info.st_size), most));
    size_t got = 0;
    for (;;) {
        if (got == file.bytes.size()) {
            if (got >= most)
                break;
            file.bytes.resize(std::min(most, got + kReadChunk));
        }
        const size_t want = std::min(file.bytes.size() - got, kReadChunk);
        const ssize_t n = ::read(in.fd, &file.bytes[got], want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fault(std::move(file), FileFault::kCannotRead, errno);
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    file.bytes.resize(got);
    if (got > maxBytes)
        return fault(std::move(file), FileFault::kTooLarge);
    if (got == 0)
        return fault(std::move(file), FileFault::kEmpty);
    return file;
}
