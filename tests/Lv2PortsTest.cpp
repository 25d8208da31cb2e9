// The LV2 plug-in as lilv, the LV2 hosts' library, reads and runs it: the ports
// (the first ones where they always were, the oversampling control and the latency
// output after the audio), drive 0 described as muting; and a running instance
// reporting the unit's own latency at every factor it is switched to.
#include "tools/PluginHost.h"

#include "au/quorleIds.h"
#include "blocks/Oversampler.h"
#include "lv2/CabinetPorts.h"
#include "lv2/InlineDisplay.h"
#include "lv2/UiProtocol.h"
#include "main/DataArchive.h"

#include "BundleWorld.h"
#include "Lv2TestHost.h"

#include <gtest/gtest.h>

#include <lilv/lilv.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace {

using World = quorletest::BundleWorld;
struct Lv2Ports : quorletest::Lv2Test {};

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

// A port's scale points: value -> label.
std::map<float, std::string> points(World& w, const LilvPlugin* p, const char* port) {
    std::map<float, std::string> out;
    LilvScalePoints* all = lilv_port_get_scale_points(p, w.port(p, port));
    LILV_FOREACH(scale_points, i, all) {
        const LilvScalePoint* point = lilv_scale_points_get(all, i);
        out[lilv_node_as_float(lilv_scale_point_get_value(point))] =
            lilv_node_as_string(lilv_scale_point_get_label(point));
    }
    lilv_scale_points_free(all);
    return out;
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

TEST_F(Lv2Ports, OversamplingAndLatencyFollowTheAudioDriveZeroIsMuteAndTheLatencyIsTheUnits) {
    World w;
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.uri);
        const LilvPlugin* p = w.plugin(v.uri);
        ASSERT_NE(p, nullptr);
        std::vector<const char*> symbols = {"drive", "post", "bass", "model"};
        symbols.insert(symbols.end(), v.audio.begin(), v.audio.end());
        // Then control and notify: the patch messages (the data archive parameter).
        symbols.insert(symbols.end(), {"oversampling", "latency", "control", "notify", "cabinet",
                                       "in_peak", "in_rms", "out_peak", "out_rms"});
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
        std::vector<float> values;
        for (const auto& [value, label] : points(w, p, "oversampling"))
            values.push_back(value);
        EXPECT_EQ(values, (std::vector<float>{1, 2, 4, 8}));

        // The cabinet's values: off, file, then the shipped cabinets, and below them
        // the model's own. Saved sessions hold these numbers: the first four name what
        // they named when they shipped, later ones come after them whatever their
        // names, and the archive holds every cabinet listed and no other.
        std::map<float, std::string> listed = {{-1.0f, "Model's own"}, {0.0f, "Off"},
                                               {1.0f, "File"},         {2.0f, "1x12-open"},
                                               {3.0f, "1x8-combo"},    {4.0f, "2x12-bright"},
                                               {5.0f, "4x12-closed"}};
        const auto archive = DataArchive::readFile(QUORLE_BUNDLE_DIR "/quorle.data");
        std::vector<std::string> shipped(std::begin(quorlelv2::kCabinetPortNames),
                                         std::end(quorlelv2::kCabinetPortNames));
        for (size_t i = 4; i < shipped.size(); ++i)
            listed[static_cast<float>(i + 2)] = shipped[i];
        EXPECT_EQ(points(w, p, "cabinet"), listed);
        std::sort(shipped.begin(), shipped.end());
        EXPECT_EQ(shipped, archive->cabinetNames());

        const LilvPort* latency = w.port(p, "latency");
        EXPECT_TRUE(lilv_port_is_a(p, latency, w.uri(LV2_CORE "OutputPort")));
        EXPECT_TRUE(lilv_port_is_a(p, latency, w.uri(LV2_CORE "ControlPort")));
        EXPECT_TRUE(lilv_port_has_property(p, latency, w.uri(LV2_CORE "reportsLatency")));
        EXPECT_TRUE(lilv_port_has_property(p, latency, w.uri(LV2_CORE "integer")));
        EXPECT_EQ(lilv_plugin_get_latency_port_index(p), lilv_port_get_index(p, latency));
        // Its range holds every factor's latency and its default is the default
        // factor's: a host that shows it before the first run (jalv) shows the truth.
        LilvNode *latencyDefault = nullptr, *latencyMin = nullptr, *latencyMax = nullptr;
        lilv_port_get_range(p, latency, &latencyDefault, &latencyMin, &latencyMax);
        ASSERT_TRUE(latencyDefault && latencyMin && latencyMax);
        EXPECT_EQ(lilv_node_as_float(latencyDefault),
                  float(Oversampler::latencyFor(kQuorleDefaultOversampling)));
        EXPECT_EQ(lilv_node_as_float(latencyMin), 0.0f);
        for (int f : {1, 2, 4, 8})
            EXPECT_LE(float(Oversampler::latencyFor(f)), lilv_node_as_float(latencyMax)) << f;
        EXPECT_EQ(lilv_node_as_float(latencyMax), float(Oversampler::latencyFor(8)));
        for (LilvNode* node : {latencyDefault, latencyMin, latencyMax})
            lilv_node_free(node);

        // Every control port says what it does in one line; Drive that 0 mutes.
        for (const char* symbol : {"drive", "post", "bass", "model", "oversampling", "latency",
                                   "cabinet", "in_peak", "in_rms", "out_peak", "out_rms"}) {
            LilvNodes* comments = lilv_port_get_value(
                p, w.port(p, symbol), w.uri("http://www.w3.org/2000/01/rdf-schema#comment"));
            ASSERT_EQ(lilv_nodes_size(comments), 1u) << symbol;
            const std::string comment = lilv_node_as_string(lilv_nodes_get_first(comments));
            EXPECT_EQ(comment.find('\n'), std::string::npos) << symbol;
            if (std::string(symbol) == "drive") {
                EXPECT_NE(comment.find("mutes"), std::string::npos);
            }
            lilv_nodes_free(comments);
        }
        EXPECT_EQ(points(w, p, "drive"), (std::map<float, std::string>{{0.0f, "0 (mute)"}}));
        // Model is a menu: the shipped models by name, then every other number an
        // archive of the player's may fill, up to 64.
        EXPECT_TRUE(lilv_port_has_property(p, w.port(p, "model"), w.uri(LV2_CORE "enumeration")));
        const std::map<float, std::string> models = points(w, p, "model");
        ASSERT_EQ(models.size(), 64u);
        EXPECT_EQ(models.at(0.0f), "1-clean");
        EXPECT_EQ(models.at(5.0f), "6-octave-fuzz");
        EXPECT_EQ(models.at(63.0f), "Archive model 64");

        // Running, the latency output is the unit's own latency at every factor (3 and
        // 100 taken as the nearest factors, 4 and 8), from the run after the port
        // changed (the port holding still hands the factor on).
        quorletest::Lv2Plugin plugin(v.channels == 1 ? mono : stereo, nullptr);
        plugin.controls[0] = 0.6f;
        plugin.controls[3] = 1.0f;
        std::vector<float> in(256, 0.25f), out(256);
        const std::pair<float, UInt32> cases[] = {{2, 2}, {8, 8}, {1, 1}, {4, 4}, {3, 4}, {100, 8}};
        for (const auto& [value, expected] : cases) {
            plugin.factor = value;
            plugin.run(in.data(), out.data(), 256);
            plugin.latency = -1.0f;
            plugin.run(in.data(), out.data(), 256);
            EXPECT_EQ(plugin.latency, float(unitLatency(expected, 48000.0))) << value;
            EXPECT_EQ(plugin.latency == 0.0f, expected == 1) << value;
            EXPECT_TRUE(quorletest::finiteAndSounding({out})) << value;
        }
    }
}

// The meters read what a player sets a guitar's level by: a -12 dBFS sine peaks at
// -12 dB (its RMS 3 dB under) on the input, on every channel's share, and the
// output's meter follows the output; a meter falls to the floor in silence only
// after its hold, and an unconnected meter is no fault.
TEST_F(Lv2Ports, MetersReadTheLevelsInDbfs) {
    for (const LV2_Descriptor* descriptor : {mono, stereo}) {
        quorletest::Lv2Plugin plugin(descriptor, nullptr);
        const uint32_t channels = descriptor == mono ? 1 : 2;
        float meters[4] = {};
        for (uint32_t m = 0; m < 4; ++m)
            plugin.d->connect_port(plugin.h, 9 + 2 * channels + m, &meters[m]);
        std::vector<float> sine(48000), silent(48000, 0.0f), out(48000), out2(48000);
        for (size_t i = 0; i < sine.size(); ++i)
            sine[i] = 0.25119f * std::sin(2.0f * 3.14159265f * 441.0f * i / 48000.0f);
        const float* in[2] = {sine.data(), sine.data()};
        float* outs[2] = {out.data(), out2.data()};
        plugin.run(in, outs, 48000);
        EXPECT_NEAR(meters[0], -12.0f, 0.5f);
        EXPECT_NEAR(meters[1], -15.0f, 0.5f);
        double peak = 0.0;
        for (float x : out)
            peak = std::max(peak, double(std::fabs(x)));
        EXPECT_NEAR(meters[2], 20.0 * std::log10(peak), 0.5);
        EXPECT_LT(meters[3], meters[2]);
        const float* quiet[2] = {silent.data(), silent.data()};
        plugin.run(quiet, outs, 24000); // within the hold: the peak stays
        EXPECT_NEAR(meters[0], -12.0f, 0.5f);
        EXPECT_LT(meters[1], -25.0f); // the RMS lets go at once
        for (int i = 0; i < 8; ++i)
            plugin.run(quiet, outs, 48000);
        EXPECT_EQ(meters[0], quorlelv2::kMeterFloorDb);
        EXPECT_EQ(meters[3], quorlelv2::kMeterFloorDb);
        plugin.d->connect_port(plugin.h, 9 + 2 * channels, nullptr);
        plugin.run(in, outs, 512);
        EXPECT_EQ(meters[0], quorlelv2::kMeterFloorDb); // no longer written
    }
}

} // namespace

namespace {

// An interface open or closed makes no difference to the sound: its patch:Get
// every cycle and the meters it reads change no sample of the output.
TEST_F(Lv2Ports, WhatTheInterfaceAsksChangesNoSample) {
    quorletest::UriMap map;
    quorletest::Lv2Plugin watched(mono, nullptr, &map), alone(mono, nullptr, &map);
    float meters[4] = {};
    for (uint32_t m = 0; m < 4; ++m)
        watched.d->connect_port(watched.h, 11 + m, &meters[m]);
    std::vector<float> in(24000), heard(in.size()), unheard(in.size());
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = 0.3f * std::sin(0.02f * i) * std::exp(-0.0001f * i);
    for (size_t at = 0; at < in.size(); at += 256) {
        watched.askAll();
        const auto n = static_cast<uint32_t>(std::min<size_t>(256, in.size() - at));
        watched.run(in.data() + at, heard.data() + at, n);
        alone.run(in.data() + at, unheard.data() + at, n);
    }
    EXPECT_GT(meters[2], -40.0f);
    EXPECT_EQ(heard, unheard);
}

// Ardour's mixer-strip picture: asked for at most 25 times a second while the output
// moves, and drawn by render() with the output meter's bar as long as its level.
TEST_F(Lv2Ports, TheInlineDisplayIsAskedForAtAMeterRateAndDrawsTheMeter) {
    int calls = 0;
    quorlelv2::InlineQueueDraw queue = {&calls, [](void* h) { ++*static_cast<int*>(h); }};
    LV2_Feature feature = {quorlelv2::kInlineDisplayQueueDrawUri, &queue};
    quorletest::Lv2Plugin plugin(mono, nullptr, nullptr, &feature);
    plugin.controls[0] = 0.25f; // a clean drive: the output stays near the input's level
    std::vector<float> in(64), out(64);
    for (int block = 0; block < 750; ++block) { // one second
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = 0.25f * std::sin(2.0f * 3.14159265f * 441.0f * (block * 64 + i) / 48000.0f);
        plugin.run(in.data(), out.data(), 64);
    }
    EXPECT_GE(calls, 1);
    EXPECT_LE(calls, 26);

    const auto* face = static_cast<const quorlelv2::InlineDisplayInterface*>(
        mono->extension_data(quorlelv2::kInlineDisplayInterfaceUri));
    ASSERT_NE(face, nullptr);
    const quorlelv2::InlineImage* image = face->render(plugin.h, 120, 80);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 120);
    EXPECT_EQ(image->height, 40);
    // Pixels are B, G, R, A: green where the RMS bar is, the dark track past the peak.
    auto green = [&](int x) { return image->data[30 * image->stride + 4 * x + 1]; };
    EXPECT_GT(green(6), 150);
    EXPECT_LT(green(112), 90);
}

} // namespace
