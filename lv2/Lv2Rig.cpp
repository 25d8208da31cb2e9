#include "lv2/Lv2Rig.h"

#include <algorithm>

namespace quorlelv2 {

Rig::~Rig() {
    if (registry) {
        std::lock_guard<std::mutex> hold(registry->mLock);
        auto& rigs = registry->mRigs;
        rigs.erase(std::remove(rigs.begin(), rigs.end(), this), rigs.end());
    }
    // The engines go after: no build can be using them any more.
}

void Rig::describe() {
    names.clear();
    if (!engines[0])
        return;
    const std::vector<std::string>& list = engines[0]->modelNames();
    for (size_t i = 0; i < list.size(); ++i) {
        // The entry name without its ".xml", as hosts of the unit show it.
        const std::string& entry = list[i];
        names +=
            std::to_string(i) + " " + entry.substr(0, entry.size() >= 4 ? entry.size() - 4 : 0);
        names += '\n';
    }
}

void RigRegistry::add(Rig& rig) {
    std::lock_guard<std::mutex> hold(mLock);
    rig.serial = mNext++;
    rig.registry = this;
    mRigs.push_back(&rig);
}

size_t RigRegistry::alive() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mRigs.size();
}

} // namespace quorlelv2
