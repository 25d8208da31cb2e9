// Owned objects in flight between the audio thread and the worker, held where the
// instance can always find them. A worker message never carries a pointer: it
// carries a ticket to a parcel in the instance's box. Whoever takes the parcel
// owns it; a ticket taken once finds nothing the second time (a message delivered
// twice is refused), and whatever is still in the box when the instance is cleaned
// up (a message the host never delivered) is freed then.
//
// put() and take() are lock-free and allocate nothing: any thread. freeAll() and
// the destructor only when no other thread uses the box.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace quorlelv2 {

struct Parcel {
    virtual ~Parcel() = default;
    uint32_t serial = 0; // set by the box: which ticket may take it
};

struct Ticket {
    uint32_t slot = 0;
    uint32_t serial = 0; // 0: no parcel
};

class ParcelBox {
  public:
    static constexpr uint32_t kSlots = 64;

    ParcelBox() = default;
    ParcelBox(const ParcelBox&) = delete;
    ParcelBox& operator=(const ParcelBox&) = delete;
    ~ParcelBox() { freeAll(); }

    // Keeps `parcel` and gives its ticket; false, `parcel` untouched, when the box is full.
    bool put(std::unique_ptr<Parcel>& parcel, Ticket& ticket) {
        if (!parcel)
            return false;
        uint32_t serial = mNext.fetch_add(1, std::memory_order_relaxed);
        if (serial == 0) // after 2^32 parcels: 0 means none
            serial = mNext.fetch_add(1, std::memory_order_relaxed);
        parcel->serial = serial;
        for (uint32_t i = 0; i < kSlots; ++i) {
            Parcel* empty = nullptr;
            if (mSlots[i].compare_exchange_strong(empty, parcel.get(), std::memory_order_acq_rel)) {
                parcel.release();
                ticket = {i, serial};
                return true;
            }
        }
        return false;
    }

    // The parcel `ticket` names, now the caller's; null when there is none (taken
    // already, or a ticket the box never gave).
    std::unique_ptr<Parcel> take(const Ticket& ticket) {
        if (ticket.serial == 0 || ticket.slot >= kSlots)
            return nullptr;
        std::atomic<Parcel*>& slot = mSlots[ticket.slot];
        Parcel* held = slot.load(std::memory_order_acquire);
        if (!held || held->serial != ticket.serial ||
            !slot.compare_exchange_strong(held, nullptr, std::memory_order_acq_rel))
            return nullptr;
        return std::unique_ptr<Parcel>(held);
    }

    // Parcels held now.
    uint32_t held() const {
        uint32_t n = 0;
        for (const std::atomic<Parcel*>& slot : mSlots)
            n += slot.load(std::memory_order_acquire) ? 1 : 0;
        return n;
    }

    void freeAll() {
        for (std::atomic<Parcel*>& slot : mSlots)
            delete slot.exchange(nullptr, std::memory_order_acq_rel);
    }

  private:
    std::atomic<Parcel*> mSlots[kSlots] = {};
    std::atomic<uint32_t> mNext{1};
};

} // namespace quorlelv2
