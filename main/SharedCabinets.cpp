#include "main/SharedCabinets.h"

#include "main/CabinetLoad.h"
#include "main/DataArchive.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

namespace cabinet {

namespace {

// By rate and the cabinet's bytes as the archive holds them: the same file in a
// player's archive is the same cabinet.
using Key = std::pair<double, std::string>;

struct Store {
    std::mutex lock;
    std::map<Key, std::shared_ptr<const ReadyCabinet>> ready;
};

Store& store() {
    static Store kept;
    return kept;
}

// Under the store's lock: makes room for one more, dropping cabinets no one plays.
void makeRoom(Store& s) {
    for (auto it = s.ready.begin(); it != s.ready.end() && s.ready.size() >= kSharedRoom;)
        it = it->second.use_count() == 1 ? s.ready.erase(it) : std::next(it);
}

} // namespace

std::shared_ptr<const ReadyCabinet> shared(const DataArchive& archive, const std::string& name,
                                           double rate, std::string& error) {
    error.clear();
    const std::string* bytes = archive.cabinet(name);
    if (!bytes) {
        error = "the shipped cabinet \"" + name + "\" is damaged in the data archive";
        return nullptr;
    }
    Key key(rate, *bytes);
    Store& s = store();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        const auto found = s.ready.find(key);
        if (found != s.ready.end())
            return found->second;
    }
    // Made outside the lock (it takes milliseconds); two callers racing for the same
    // cabinet each make it and the first stored is kept.
    const std::optional<ImpulseResponse> response = load(archive, name, rate, error);
    if (!response)
        return nullptr;
    auto ready = std::make_shared<ReadyCabinet>();
    ready->rate = rate;
    for (const std::vector<float>& taps : response->channels)
        ready->channels.push_back(Convolver::prepare(taps.data(), taps.size()));
    std::lock_guard<std::mutex> hold(s.lock);
    makeRoom(s);
    return s.ready.emplace(std::move(key), std::move(ready)).first->second;
}

size_t sharedCount() {
    Store& s = store();
    std::lock_guard<std::mutex> hold(s.lock);
    return s.ready.size();
}

std::unique_ptr<Convolver> convolverFor(const ReadyCabinet& ready, uint32_t channel,
                                        uint32_t maxFrames) {
    if (ready.channels.empty())
        return nullptr;
    const size_t which = std::min<size_t>(channel, ready.channels.size() - 1);
    return std::make_unique<Convolver>(ready.channels[which], maxFrames);
}

} // namespace cabinet
