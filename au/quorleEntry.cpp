// The plug-in's one exported function: every component call of a host arrives here.
#include "au/ComponentBase.h"
#include "au/quorle.h"

extern "C" __attribute__((visibility("default"))) ComponentResult
quorleEntry(ComponentParameters* params, void* storage) {
    return ComponentEntryPoint<quorle>::Dispatch(params, static_cast<quorle*>(storage));
}
