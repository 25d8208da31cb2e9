// Takes a fuzzer's input apart into small decisions. Past the end every read
// gives zero, so any input drives a complete, deterministic run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data(data), size(size) {}

    bool empty() const { return at >= size; }
    size_t left() const { return at < size ? size - at : 0; }

    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
    bool flag() { return byte() & 1; }
    // A number in 0 .. n-1 (n > 0).
    uint32_t below(uint32_t n) { return n > 256 ? u32() % n : byte() % n; }
    float rawFloat() {
        uint32_t bits = u32();
        float v;
        std::memcpy(&v, &bits, sizeof(v));
        return v;
    }
    double rawDouble() {
        uint64_t bits = static_cast<uint64_t>(u32()) | static_cast<uint64_t>(u32()) << 32;
        double v;
        std::memcpy(&v, &bits, sizeof(v));
        return v;
    }
    // Up to `most` bytes as a string: a length byte, then the bytes.
    std::string text(size_t most) {
        size_t n = byte() % (most + 1);
        std::string s;
        while (n-- > 0 && !empty())
            s.push_back(static_cast<char>(byte()));
        return s;
    }
    // Picks one element of a table.
    template <class T, size_t N> const T& pick(const T (&table)[N]) {
        return table[below(static_cast<uint32_t>(N))];
    }

  private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};
