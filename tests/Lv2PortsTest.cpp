// The LV2 plug-in as lilv, the LV2 hosts' library, reads and runs it: the ports
// (the first ones where they always were, the oversampling control and the latency
// output after the audio), drive 0 described as muting, and a running instance
// reporting the unit's own latency at every factor it is switched to.
#include "tools/PluginHost.h"

#include "au/quorleIds.h"
#include "main/DataArchive.h"

#include "BundleWorld.h"
#include <gtest/gtest.h>

#include <lilv/lilv.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using World = quorletest::BundleWorld;

#define LV2_CORE "http://lv2plug.in/ns/lv2core#"

struct Variant {
    const char* uri;
    uint32_t channels;
    std::vector<const char*> audio; // symbols from index 4 on
};
const Variant kVariants[] = {
    {"http://pellark.invalid/plugins/quorle#mono", 1, {"in", "out"}},
    {"http://pellark.invalid/plugins/quorle#stereo", 2, {"in_l", "in_r", "out_l", "out_r"}},
};

TEST(Lv2Ports, OversamplingAndLatencyFollowTheAudioAndDriveZeroIsMute) {
    World w;
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.uri);
        const LilvPlugin* p = w.plugin(v.uri);
        ASSERT_NE(p, nullptr);
        std::vector<const char*> symbols = {"drive", "post", "bass", "model"};
        symbols.insert(symbols.end(), v.audio.begin(), v.audio.end());
        symbols.push_back("oversampling");
        symbols.push_back("latency");
        symbols.push_back("control"); // patch messages: the data archive parameter
        symbols.push_back("notify");
        symbols.push_back("cabinet");
        ASSERT_EQ(lilv_plugin_get_num_ports(p), symbols.size());
        for (uint32_t i = 0; i < symbols.size(); ++i)
            EXPECT_EQ(lilv_port_get_index(p, w.port(p, symbols[i])), i) << symbols[i];

        const LilvPort* factor = w.port(p, "oversampling");
        EXPECT_TRUE(lilv_port_is_a(p, factor, w.uri(LV2_CORE "InputPort")));
        EXPECT_TRUE(lilv_port_has_property(p, factor, w.uri(LV2_CORE "integer")));
        EXPECT_TRUE(lilv_port_has_property(p, factor, w.uri(LV2_CORE "enumeration")));
        LilvNode* def = nullptr;
        lilv_port_get_range(p, factor, &def, nullptr, nullptr);
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(lilv_node_as_float(def), float(kQuorleDefaultOversampling));
        lilv_node_free(def);
        LilvScalePoints* points = lilv_port_get_scale_points(p, factor);
        std::vector<float> values;
        LILV_FOREACH(scale_points, i, points)
        values.push_back(
            lilv_node_as_float(lilv_scale_point_get_value(lilv_scale_points_get(points, i))));
        lilv_scale_points_free(points);
        std::sort(values.begin(), values.end());
        EXPECT_EQ(values, (std::vector<float>{1, 2, 4, 8}));

        // The cabinet's values: off, file, then the shipped cabinets in the order the
        // plug-in counts them (the archive's list).
        LilvScalePoints* cabinets = lilv_port_get_scale_points(p, w.port(p, "cabinet"));
        std::vector<std::string> labels(lilv_scale_points_size(cabinets));
        LILV_FOREACH(scale_points, i, cabinets) {
            const LilvScalePoint* point = lilv_scale_points_get(cabinets, i);
            const auto at =
                static_cast<size_t>(lilv_node_as_float(lilv_scale_point_get_value(point)));
            ASSERT_LT(at, labels.size());
            labels[at] = lilv_node_as_string(lilv_scale_point_get_label(point));
        }
        lilv_scale_points_free(cabinets);
        std::vector<std::string> listed = {"Off", "File"};
        const auto archive = DataArchive::readFile(QUORLE_BUNDLE_DIR "/quorle.data");
        for (const std::string& name : archive->cabinetNames())
            listed.push_back(name);
        EXPECT_EQ(labels, listed);

        const LilvPort* latency = w.port(p, "latency");
        EXPECT_TRUE(lilv_port_is_a(p, latency, w.uri(LV2_CORE "OutputPort")));
        EXPECT_TRUE(lilv_port_is_a(p, latency, w.uri(LV2_CORE "ControlPort")));
        EXPECT_TRUE(lilv_port_has_property(p, latency, w.uri(LV2_CORE "reportsLatency")));
        EXPECT_TRUE(lilv_port_has_property(p, latency, w.uri(LV2_CORE "integer")));
        EXPECT_EQ(lilv_plugin_get_latency_port_index(p), lilv_port_get_index(p, latency));

        const LilvPort* drive = w.port(p, "drive");
        LilvScalePoints* drivePoints = lilv_port_get_scale_points(p, drive);
        ASSERT_NE(drivePoints, nullptr);
        ASSERT_EQ(lilv_scale_points_size(drivePoints), 1u);
        const LilvScalePoint* mute =
            lilv_scale_points_get(drivePoints, lilv_scale_points_begin(drivePoints));
        EXPECT_EQ(lilv_node_as_float(lilv_scale_point_get_value(mute)), 0.0f);
        EXPECT_STREQ(lilv_node_as_string(lilv_scale_point_get_label(mute)), "0 (mute)");
        lilv_scale_points_free(drivePoints);
        LilvNodes* comments =
            lilv_port_get_value(p, drive, w.uri("http://www.w3.org/2000/01/rdf-schema#comment"));
        ASSERT_EQ(lilv_nodes_size(comments), 1u);
        EXPECT_NE(std::string(lilv_node_as_string(lilv_nodes_get_first(comments))).find("mutes"),
                  std::string::npos);
        lilv_nodes_free(comments);
    }
}

// The unit's latency in frames at `factor`, read through its own property.
long unitLatency(UInt32 factor, double rate) {
    PluginHost host;
    std::string error;
    if (!host.load(QUORLE_BUNDLE_DIR, error) ||
        AudioUnitSetProperty(host.unit(), kQuorleProperty_Oversampling, kAudioUnitScope_Global, 0,
                             &factor, sizeof(factor)) != noErr ||
        host.start(rate, 1, 512) != noErr)
        return -1;
    Float64 seconds = -1;
    UInt32 size = sizeof(seconds);
    AudioUnitGetProperty(host.unit(), kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0,
                         &seconds, &size);
    return std::lround(seconds * rate);
}

TEST(Lv2Ports, TheLatencyOutputIsTheUnitsLatencyAtEveryFactor) {
    World w;
    const double rate = 48000.0;
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.uri);
        LilvInstance* instance = lilv_plugin_instantiate(w.plugin(v.uri), rate, nullptr);
        ASSERT_NE(instance, nullptr);
        float controls[4] = {0.6f, 0.5f, 0.5f, 1.0f}, factor = 2, latency = -1;
        std::vector<std::vector<float>> audio(2 * v.channels, std::vector<float>(256, 0.25f));
        for (uint32_t i = 0; i < 4; ++i)
            lilv_instance_connect_port(instance, i, &controls[i]);
        for (uint32_t i = 0; i < 2 * v.channels; ++i)
            lilv_instance_connect_port(instance, 4 + i, audio[i].data());
        lilv_instance_connect_port(instance, 4 + 2 * v.channels, &factor);
        lilv_instance_connect_port(instance, 5 + 2 * v.channels, &latency);
        lilv_instance_activate(instance);
        // 3 and 100 are taken as the nearest factors, 4 and 8.
        const std::pair<float, UInt32> cases[] = {{2, 2}, {8, 8}, {1, 1}, {4, 4}, {3, 4}, {100, 8}};
        for (const auto& [value, expected] : cases) {
            factor = value;
            lilv_instance_run(instance, 256);
            EXPECT_EQ(latency, float(unitLatency(expected, rate))) << value;
            EXPECT_EQ(latency == 0.0f, expected == 1) << value;
            bool sounding = false;
            for (float s : audio[v.channels])
                sounding |= std::isfinite(s) && s != 0.0f;
            EXPECT_TRUE(sounding) << value;
        }
        lilv_instance_deactivate(instance);
        lilv_instance_free(instance);
    }
}

} // namespace
