// The main effect as the plug-in instantiates it: the system's host callback and
// no-op critical-section hooks (one instance is only ever driven by one thread).
#pragma once

#include "effect/MasterCallback.h"
#include "main/QrVorlixGeneric.h"

class VorlixMac : public QrVorlixGeneric {
  public:
    VorlixMac() : QrVorlixGeneric(masterCallback) {}
    void enterCriticalSection() override {}
    void leaveCriticalSection() override {}
};
