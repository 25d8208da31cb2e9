// A path one thread writes while another reads it, never torn: the audio thread
// writes (a patch:Set in run()) without a lock or an allocation; a reader on any
// other thread (the state's save()) gets the whole of one path that was written,
// retrying while a write is under way. A sequence lock over atomic bytes, so that
// the race is defined behaviour; each byte is written with release and read with
// acquire (no separate fences, which a thread sanitizer cannot follow), so a read
// that sees any byte of a write also sees that write's odd count after it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>

namespace quorlelv2 {

template <size_t Bytes> class PathBox {
  public:
    // Audio thread (one writer at a time): stores `path` (NUL-terminated, shorter than
    // Bytes; a longer one is not stored and false is returned).
    bool write(const char* path) {
        const size_t n = std::strlen(path);
        if (n >= Bytes)
            return false;
        const unsigned s = mSequence.load(std::memory_order_relaxed);
        mSequence.store(s + 1, std::memory_order_relaxed); // odd: a write is under way
        for (size_t i = 0; i <= n; ++i)
            mBytes[i].store(path[i], std::memory_order_release);
        mSequence.store(s + 2, std::memory_order_release);
        return true;
    }

    // Any thread but the writer's: the path last written whole ("" before any).
    std::string read() const {
        for (;;) {
            const unsigned before = mSequence.load(std::memory_order_acquire);
            if (before & 1u)
                continue;
            std::string out;
            for (size_t i = 0; i < Bytes; ++i) {
                const char c = mBytes[i].load(std::memory_order_acquire);
                if (c == 0)
                    break;
                out.push_back(c);
            }
            if (mSequence.load(std::memory_order_relaxed) == before)
                return out;
        }
    }

    // Any thread but the writer's, the audio thread too: copies the path last written
    // whole into `out` (`n` bytes, its terminator included; a longer path is cut),
    // without allocating or waiting; false, `out` unchanged, while a write is under
    // way (try again later).
    bool readInto(char* out, size_t n) const {
        const unsigned before = mSequence.load(std::memory_order_acquire);
        if ((before & 1u) || n == 0)
            return false;
        char copy[Bytes];
        size_t i = 0;
        for (; i + 1 < Bytes; ++i) {
            copy[i] = mBytes[i].load(std::memory_order_acquire);
            if (copy[i] == 0)
                break;
        }
        copy[i] = 0;
        if (mSequence.load(std::memory_order_relaxed) != before)
            return false;
        const size_t kept = std::min(i, n - 1);
        std::memcpy(out, copy, kept);
        out[kept] = 0;
        return true;
    }

  private:
    std::atomic<unsigned> mSequence{0};
    std::atomic<char> mBytes[Bytes] = {};
};

} // namespace quorlelv2
