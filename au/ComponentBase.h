// The component entry of a unit class T (derived from AUBase).
//
// Open (-1): makes a T for the instance in params[0], calls its PostConstructor
// and stores it as the instance's storage. Close (-2): PreDestructor, then the
// object is destroyed. Every other selector goes to AUBase::ComponentEntryDispatch.
//
// No exception leaves: out of memory gives -108, a thrown 32-bit status is
// returned as it is, a thrown 16-bit status sign-extended, anything else -1. An
// object whose construction or PostConstructor fails is released.
//
// The storage is the T object; its AUBase part sits at its start (T derives from
// AUBase alone), so the direct entries of the fast-dispatch property may take it
// as the unit.
#pragma once

#include "au/AUBase.h"
#include "au/AUStatus.h"
#include "platform/Components.h"

template <class T> struct ComponentEntryPoint {
    static ComponentResult Dispatch(ComponentParameters* params, T* storage) {
        if (!params)
            return paramErr;
        const auto instance = reinterpret_cast<ComponentInstance>(params->params[0]);
        try {
            switch (params->what) {
            case kComponentOpenSelect: {
                if (!instance)
                    return paramErr;
                T* unit = new T(instance); // a throwing constructor frees the memory
                try {
                    unit->PostConstructor();
                } catch (...) {
                    delete unit;
                    throw;
                }
                SetComponentInstanceStorage(instance, unit);
                return noErr;
            }
            case kComponentCloseSelect: {
                if (!instance || !storage)
                    return paramErr;
                SetComponentInstanceStorage(instance, nullptr);
                try {
                    storage->PreDestructor();
                } catch (...) {
                    delete storage;
                    throw;
                }
                delete storage;
                return noErr;
            }
            default: return AUBase::ComponentEntryDispatch(params, storage);
            }
        } catch (...) {
            return CurrentExceptionStatus();
        }
    }
};
