// lilv with the built bundle loaded, for the tests that read the plug-in's
// description as hosts do. Nodes made for lookups live as long as the world.
#pragma once

#include <lilv/lilv.h>

#include <vector>

namespace quorletest {

struct BundleWorld {
    BundleWorld() : world(lilv_world_new()) {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, QUORLE_BUNDLE_DIR "/");
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
    }
    ~BundleWorld() {
        for (LilvNode* n : nodes)
            lilv_node_free(n);
        lilv_world_free(world);
    }
    BundleWorld(const BundleWorld&) = delete;
    BundleWorld& operator=(const BundleWorld&) = delete;

    const LilvNode* uri(const char* text) { return nodes.emplace_back(lilv_new_uri(world, text)); }
    const LilvPlugin* plugin(const char* text) {
        return lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri(text));
    }
    const LilvPort* port(const LilvPlugin* p, const char* symbol) {
        return lilv_plugin_get_port_by_symbol(p,
                                              nodes.emplace_back(lilv_new_string(world, symbol)));
    }

    LilvWorld* world;
    std::vector<LilvNode*> nodes;
};

} // namespace quorletest
