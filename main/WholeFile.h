// Reading a file a player or an author names, whole, with one open(): whatever
// the path names (a FIFO, a device, a folder, a file growing without end) the
// read answers at once, holds at most a stated number of bytes and never opens
// the path a second time, so what was checked is what was read.
// Any thread but the render thread; allocates.
#pragma once

#include <cstddef>
#include <string>

// Why readWholeFile() read nothing.
enum class FileFault {
    kNone,       // read whole
    kCannotOpen, // open() failed (missing, no permission...)
    kFolder,     // a folder
    kNotRegular, // a FIFO, a device, a socket
    kEmpty,      // 0 bytes
    kTooLarge,   // more than the limit, by fstat() or by what the read found
    kCannotRead, // read() failed
};

struct WholeFile {
    std::string bytes; // the file's contents; empty unless fault is kNone
    FileFault fault = FileFault::kNone;
    int error = 0;    // errno of a failed open() or read()
    size_t limit = 0; // the most bytes the read would take
    bool ok() const { return fault == FileFault::kNone; }
    // Why nothing was read, in words that follow "PATH: " ("not a regular file",
    // "larger than 64 MB", "No such file or directory").
    std::string reason() const;
};

// Opens `path` once, without blocking (a FIFO without a writer answers at once),
// checks on that descriptor that it is a regular file of 1 to `maxBytes` bytes and
// reads it whole from it.
WholeFile readWholeFile(const std::string& path, size_t maxBytes);

// `bytes` as "N MB" when a whole number of MiB, else "N bytes".
std::string byteCount(size_t bytes);
