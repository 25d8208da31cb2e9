// A zip archive held in memory, opened with minizip's unzip functions through
// file functions of our own over the buffer (the library has no memory reader).
// Any thread; one thread at a time uses a handle.
#pragma once

#include <unzip.h>

#include <string>

class MemoryZip {
  public:
    // Takes `bytes` and opens them as a zip archive; handle() is null when they
    // are not one. Opening allocates nothing beyond what minizip allocates itself.
    explicit MemoryZip(std::string bytes);
    // Closes the handle.
    ~MemoryZip();
    MemoryZip(const MemoryZip&) = delete;
    MemoryZip& operator=(const MemoryZip&) = delete;

    // The open archive for minizip's unz* calls; null when the bytes are no zip archive.
    unzFile handle() const { return zip; }

  private:
    // The one stream minizip opens on the archive: the bytes and a read position.
    struct Stream {
        std::string bytes;
        ZPOS64_T pos = 0;
    };
    Stream stream;
    unzFile zip = nullptr;

    friend struct MemoryZipCalls;
};
