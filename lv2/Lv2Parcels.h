// Owned objects in flight between the audio thread and the worker. A worker
// message never carries a pointer: it carries a ticket to an object held in the
// instance's box. Whoever takes the object with its ticket owns it; a ticket taken
// once finds nothing the second time (a message delivered twice is refused), and
// whatever is still in the box when the instance is cleaned up (a message the host
// never delivered) is freed then.
//
// The box holds any kind of object (graphs, convolvers, rigs, answers) without a
// carrier around it, so that retiring one never needs a spare parcel that can run
// out. put(), take() and release() are lock-free and allocate nothing: any thread.
// freeAll() and the destructor only when no other thread uses the box.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace quorlelv2 {

struct Ticket {
    uint32_t slot = 0;
    uint32_t serial = 0; // 0: nothing
};

class ParcelBox {
  public:
    static constexpr uint32_t kSlots = 256;

    ParcelBox() = default;
    ParcelBox(const ParcelBox&) = delete;
    ParcelBox& operator=(const ParcelBox&) = delete;
    ~ParcelBox() { freeAll(); }

    // Keeps `object` and gives its ticket; false, `object` untouched, when it is null
    // or the box is full.
    template <typename T> bool put(std::unique_ptr<T>& object, Ticket& ticket) {
        if (!object)
            return false;
        uint32_t serial = 0;
        while (serial == 0 || serial == kClaimed) // 0 and kClaimed name no object
            serial = mNext.fetch_add(1, std::memory_order_relaxed);
        for (uint32_t i = 0; i < kSlots; ++i) {
            Slot& slot = mSlots[i];
            uint32_t empty = 0;
            if (!slot.state.compare_exchange_strong(empty, kClaimed, std::memory_order_acquire))
                continue;
            slot.object = object.release();
            slot.destroy = &destroyAs<T>;
            slot.state.store(serial, std::memory_order_release);
            ticket = {i, serial};
            return true;
        }
        return false;
    }

    // The object `ticket` names, now the caller's; null when there is none (taken
    // already, a ticket the box never gave, or an object of another type, which stays).
    template <typename T> std::unique_ptr<T> take(const Ticket& ticket) {
        Slot* slot = claim(ticket);
        if (!slot)
            return nullptr;
        if (slot->destroy != &destroyAs<T>) {
            slot->state.store(ticket.serial, std::memory_order_release);
            return nullptr;
        }
        auto* object = static_cast<T*>(slot->object);
        slot->object = nullptr;
        slot->state.store(0, std::memory_order_release);
        return std::unique_ptr<T>(object);
    }

    // Frees the object `ticket` names, whatever its type (nothing when taken already).
    // Not on the audio thread.
    void release(const Ticket& ticket) {
        Slot* slot = claim(ticket);
        if (!slot)
            return;
        void* object = slot->object;
        void (*destroy)(void*) = slot->destroy;
        slot->object = nullptr;
        slot->state.store(0, std::memory_order_release);
        destroy(object);
    }

    // Objects held now.
    uint32_t held() const {
        uint32_t n = 0;
        for (const Slot& slot : mSlots)
            n += slot.state.load(std::memory_order_acquire) != 0 ? 1 : 0;
        return n;
    }

    void freeAll() {
        for (uint32_t i = 0; i < kSlots; ++i) {
            const uint32_t serial = mSlots[i].state.load(std::memory_order_acquire);
            if (serial != 0 && serial != kClaimed)
                release({i, serial});
        }
    }

  private:
    static constexpr uint32_t kClaimed = 0xffffffffu; // a thread is filling or emptying it

    struct Slot {
        // 0: empty; kClaimed: in a thread's hands; else the serial of the object held.
        // Only the thread that moved it to kClaimed touches `object` and `destroy`.
        std::atomic<uint32_t> state{0};
        void* object = nullptr;
        void (*destroy)(void*) = nullptr;
    };

    template <typename T> static void destroyAs(void* object) { delete static_cast<T*>(object); }

    // The slot `ticket` names, held for the caller; null when it holds another serial.
    Slot* claim(const Ticket& ticket) {
        if (ticket.serial == 0 || ticket.serial == kClaimed || ticket.slot >= kSlots)
            return nullptr;
        Slot& slot = mSlots[ticket.slot];
        uint32_t expected = ticket.serial;
        if (!slot.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire))
            return nullptr;
        return &slot;
    }

    Slot mSlots[kSlots];
    std::atomic<uint32_t> mNext{1};
};

} // namespace quorlelv2
