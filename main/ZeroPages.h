// Zeroed floats in pages of their own, mapped anonymously: the kernel gives each page
// on its first use, so storage laid out for the worst case (a model's 50 work slots,
// where a model writes a handful) keeps resident only what is used. A page only read
// stays the shared zero page.
// Any thread but the audio thread makes and frees one; the floats are anyone's.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>

class ZeroPages {
  public:
    ZeroPages() = default;
    // `count` floats, all 0. Throws std::bad_alloc when they cannot be mapped.
    explicit ZeroPages(size_t count) : mBytes(count * sizeof(float)) {
        if (mBytes == 0)
            return;
        void* p = mmap(nullptr, mBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        mFloats = static_cast<float*>(p);
    }
    ~ZeroPages() {
        if (mFloats)
            munmap(mFloats, mBytes);
    }
    ZeroPages(ZeroPages&& other) noexcept : mFloats(other.mFloats), mBytes(other.mBytes) {
        other.mFloats = nullptr;
        other.mBytes = 0;
    }
    ZeroPages& operator=(ZeroPages&& other) noexcept {
        if (this != &other) {
            this->~ZeroPages();
            new (this) ZeroPages(static_cast<ZeroPages&&>(other));
        }
        return *this;
    }
    ZeroPages(const ZeroPages&) = delete;
    ZeroPages& operator=(const ZeroPages&) = delete;

    float* data() const { return mFloats; }

  private:
    float* mFloats = nullptr;
    size_t mBytes = 0;
};
