#include "graph/BuilderState.h"

#include "graph/Debug.h"
#include "graph/MixerAudioNode.h"

#include <unordered_set>

std::list<int32_t> gBuffs;
std::vector<AudioNode*> gNodeList;
std::map<std::string, AudioNode*> gNodeMap;

void resetBuilderState() {
    gBuffs.clear();
    for (int32_t slot = kFirstWorkSlot; slot < kNumSlots; ++slot)
        gBuffs.push_back(slot);
    gNodeList.clear();
    gNodeMap.clear();
}

int getBuffer() {
    if (gBuffs.empty())
        return kNoSlot;
    int slot = gBuffs.front();
    gBuffs.pop_front();
    return slot;
}

AudioNode* findNode(const char* id) {
    if (!id)
        return nullptr;
    auto found = gNodeMap.find(id);
    return found == gNodeMap.end() ? nullptr : found->second;
}

void appendNode(AudioNode* node) {
    if (!gNodeList.empty())
        gNodeList.back()->next = node;
    gNodeList.push_back(node);
    debug("node:%s, out:%d\n", node->name.c_str(), node->outBuffer);
}

namespace {

// The i-th node that `node` depends on, in listing order; null past the end or
// for an absent reference.
AudioNode* dependency(const AudioNode* node, size_t i, bool& more) {
    const size_t mapped = node->params.size();
    more = true;
    if (i < mapped)
        return node->params[i].node;
    i -= mapped;
    if (i == 0 &&
        (node->kind == kFxNode || node->kind == kMixerNode || node->kind == kProcessorNode))
        return node->input;
    if (i == 1 && node->kind == kMixerNode)
        return static_cast<const MixerAudioNode*>(node)->input2;
    more = false;
    return nullptr;
}

} // namespace

void buildNodeList(AudioNode* node) {
    // Depth-first post-order with an explicit stack, so that a long chain in a model
    // cannot exhaust the thread's stack. A node met again while its own
    // dependencies are being listed (a cycle) is not followed.
    struct Frame {
        AudioNode* node;
        size_t next;
    };
    if (!node || node->listed)
        return;
    std::vector<Frame> stack{{node, 0}};
    std::unordered_set<AudioNode*> visiting{node};
    while (!stack.empty()) {
        Frame& top = stack.back();
        bool more = false;
        AudioNode* dep = dependency(top.node, top.next++, more);
        if (more) {
            if (dep && !dep->listed && visiting.insert(dep).second)
                stack.push_back({dep, 0});
            continue;
        }
        AudioNode* done = top.node;
        stack.pop_back();
        visiting.erase(done);
        appendNode(done);
        done->listed = true;
    }
}
