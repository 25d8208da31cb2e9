// Statuses travel as exceptions inside the unit and come out at the component
// entry as the call's result.
#pragma once

#include "platform/AudioUnitTypes.h"

#include <new>

// Throws `status` as a 32-bit status (never as one of the named enumerators' types).
[[noreturn]] inline void ThrowStatus(OSStatus status) {
    throw status;
}

// The status of the exception being handled; call it only inside a catch block.
// Out of memory gives -108, a 32-bit status itself, a 16-bit status sign-extended,
// anything else -1.
inline OSStatus CurrentExceptionStatus() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return memFullErr;
    } catch (OSStatus status) {
        return status;
    } catch (OSErr error) {
        return static_cast<OSStatus>(error);
    } catch (...) {
        return -1;
    }
}
