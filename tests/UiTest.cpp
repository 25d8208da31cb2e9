// The X11 interface under a host of the test's own (UiHost.h), on an Xvfb display:
// what a player's mouse and keyboard do reaches the plug-in's ports, what the
// plug-in tells is shown, and the interface comes and goes without a trace.
#include "lv2/UiProtocol.h"
#include "lv2/ui/Panel.h"
#include <lv2/atom/forge.h>
#include <lv2/patch/patch.h>
// Xlib after the LV2 headers: its macros (Bool, Status) would rename their types.
#include "tests/UiHost.h"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdlib>

namespace {

using quorleui::Panel;
using quorleui::Rect;
using uitest::UiHost;
constexpr quorlelv2::PortMap kPorts = quorlelv2::kMonoPorts;

struct UiTest : testing::Test {
    void SetUp() override {
        std::string why;
        if (!uitest::testDisplay(&why))
            GTEST_SKIP() << "No X server for the interface: " << why;
    }
    static int cx(const Rect& r) { return static_cast<int>(r.x + r.w / 2); }
    static int cy(const Rect& r) { return static_cast<int>(r.y + r.h / 2); }
};

// `property`'s string or path `value` as the plug-in tells it: a patch:Set for a
// property a host writes, a report for the others.
std::vector<uint8_t> patchSet(UiHost& host, const char* property, const std::string& value,
                              bool path) {
    const bool writable = std::string(property) == quorlelv2::kArchiveUri ||
                          std::string(property) == quorlelv2::kCabinetFileUri;
    std::vector<uint8_t> buffer(256 + value.size());
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &host.uris.map);
    lv2_atom_forge_set_buffer(&forge, buffer.data(), buffer.size());
    LV2_Atom_Forge_Frame frame;
    auto* atom = reinterpret_cast<LV2_Atom*>(lv2_atom_forge_object(
        &forge, &frame, 0, host.uris.id(writable ? LV2_PATCH__Set : quorlelv2::kReportUri)));
    lv2_atom_forge_key(&forge, host.uris.id(LV2_PATCH__property));
    lv2_atom_forge_urid(&forge, host.uris.id(property));
    lv2_atom_forge_key(&forge, host.uris.id(LV2_PATCH__value));
    if (path)
        lv2_atom_forge_path(&forge, value.c_str(), static_cast<uint32_t>(value.size()));
    else
        lv2_atom_forge_string(&forge, value.c_str(), static_cast<uint32_t>(value.size()));
    lv2_atom_forge_pop(&forge, &frame);
    buffer.resize(sizeof(LV2_Atom) + atom->size);
    return buffer;
}

TEST_F(UiTest, KnobsFollowTheMouse) {
    UiHost host;
    ASSERT_TRUE(host.open());
    host.idle();
    const Panel panel(1.0);
    const Rect drive = panel.rect(quorleui::kDrive);
    // Dragging up raises Drive; with Shift held the same distance moves it a tenth as far.
    host.press(cx(drive), cy(drive));
    host.moveTo(cx(drive), cy(drive) - 20);
    host.moveTo(cx(drive), cy(drive) - 40);
    host.release();
    const float dragged = host.lastWrite(kPorts.drive());
    EXPECT_NEAR(dragged, 0.7f, 0.01f);
    const float before = dragged;
    host.idle(450); // not a double click
    host.press(cx(drive), cy(drive));
    XTestFakeKeyEvent(host.display, XKeysymToKeycode(host.display, XK_Shift_L), True, CurrentTime);
    host.moveTo(cx(drive), cy(drive) - 40);
    XTestFakeKeyEvent(host.display, XKeysymToKeycode(host.display, XK_Shift_L), False, CurrentTime);
    host.release();
    EXPECT_NEAR(host.lastWrite(kPorts.drive()) - before, 0.02f, 0.005f);
    // The wheel steps Post gain; a double click puts Drive back to its default.
    const Rect post = panel.rect(quorleui::kPost);
    host.click(cx(post), cy(post), Button4);
    EXPECT_NEAR(host.lastWrite(kPorts.post()), 0.52f, 1e-4f);
    host.click(cx(drive), cy(drive));
    host.click(cx(drive), cy(drive));
    EXPECT_FLOAT_EQ(host.lastWrite(kPorts.drive()), 0.5f);
    // A value the host sets is where the next drag starts.
    host.portEvent(kPorts.bass(), 0.9f);
    const Rect bass = panel.rect(quorleui::kBass);
    host.press(cx(bass), cy(bass));
    host.moveTo(cx(bass), cy(bass) - 100);
    host.release();
    EXPECT_FLOAT_EQ(host.lastWrite(kPorts.bass()), 1.0f);
}

TEST_F(UiTest, ChoosersStepThroughTheModelsTheArchiveHas) {
    UiHost host;
    ASSERT_TRUE(host.open());
    host.idle();
    const Panel panel(1.0);
    const Rect model = panel.rect(quorleui::kModel);
    const int next = static_cast<int>(model.x + model.w - 10),
              back = static_cast<int>(model.x + 10);
    host.click(next, cy(model));
    EXPECT_EQ(host.lastWrite(kPorts.model()), 1.0f);
    for (int i = 0; i < 8; ++i)
        host.click(next, cy(model));
    EXPECT_EQ(host.lastWrite(kPorts.model()), 5.0f); // the shipped archive's last
    host.click(back, cy(model));
    EXPECT_EQ(host.lastWrite(kPorts.model()), 4.0f);
    // A player's archive of three models: the chooser stops at its last.
    auto names =
        patchSet(host, "http://pellark.invalid/plugins/quorle#models", "0 a\n1 b\n2 c\n", false);
    auto archive =
        patchSet(host, "http://pellark.invalid/plugins/quorle#archive", "/tmp/mine.data", true);
    host.portEvent(kPorts.notify(), names.data(), static_cast<uint32_t>(names.size()));
    host.portEvent(kPorts.notify(), archive.data(), static_cast<uint32_t>(archive.size()));
    host.click(next, cy(model));
    EXPECT_EQ(host.lastWrite(kPorts.model()), 2.0f);
    // Keyboard: Tab to the chooser after it (Cabinet), arrows step it.
    host.key(XK_Tab);
    host.key(XK_Right);
    EXPECT_EQ(host.lastWrite(kPorts.cabinet()), 0.0f);
    host.key(XK_Tab);
    host.key(XK_Left);
    EXPECT_EQ(host.lastWrite(kPorts.oversampling()), 1.0f);
}

TEST_F(UiTest, FileButtonsAskTheHostForAPath) {
    UiHost host;
    ASSERT_TRUE(host.open());
    host.idle();
    const Panel panel(1.0);
    host.click(cx(panel.rect(quorleui::kArchiveButton)), cy(panel.rect(quorleui::kArchiveButton)));
    host.click(cx(panel.rect(quorleui::kCabinetFileButton)),
               cy(panel.rect(quorleui::kCabinetFileButton)));
    ASSERT_EQ(host.requests.size(), 2u);
    const LV2_URID path = host.uris.id(LV2_ATOM__Path);
    EXPECT_EQ(host.requests[0],
              std::make_pair(host.uris.id("http://pellark.invalid/plugins/quorle#archive"), path));
    EXPECT_EQ(
        host.requests[1],
        std::make_pair(host.uris.id("http://pellark.invalid/plugins/quorle#cabinetFile"), path));
    // On opening, it asks the plug-in to tell all (a patch:Get on the control port).
    ASSERT_FALSE(host.writes.empty());
    EXPECT_EQ(host.writes[0].port, kPorts.control());
    EXPECT_EQ(host.writes[0].format, host.uris.id(LV2_ATOM__eventTransfer));

    UiHost without(1.0f, false);
    ASSERT_TRUE(without.open());
    without.idle();
    without.click(cx(panel.rect(quorleui::kArchiveButton)),
                  cy(panel.rect(quorleui::kArchiveButton)));
    EXPECT_TRUE(without.requests.empty());
}

TEST_F(UiTest, MetersShowThePortsValues) {
    UiHost host;
    ASSERT_TRUE(host.open());
    host.idle();
    const Rect out = Panel(1.0).rect(quorleui::kOutMeter);
    const int row = cy(out);
    auto lit = [&] {
        int n = 0;
        for (int x = static_cast<int>(out.x) + 2; x < out.x + out.w - 2; ++x)
            n += host.pixel(x, row) != 0x1c2026 && host.pixel(x, row) != 0xe8ecf0 ? 1 : 0;
        return n;
    };
    EXPECT_LE(lit(), 2);
    host.portEvent(kPorts.outPeak(), -6.0f);
    host.portEvent(kPorts.outRms(), -12.0f);
    host.idle();
    // -60..+6 dBFS across the bar: -6 dBFS lights 54/66 of it.
    EXPECT_NEAR(lit(), (out.w - 4) * 54.0 / 66.0, 4.0);
    const int clipX = static_cast<int>(out.x + out.w + 10);
    EXPECT_LT(host.pixel(clipX, row) >> 16, 0x80u);
    host.portEvent(kPorts.outPeak(), 0.0f);
    host.idle();
    EXPECT_GT(host.pixel(clipX, row) >> 16, 0xc0u); // the clip light
    host.portEvent(kPorts.outPeak(), -20.0f);
    host.idle();
    EXPECT_GT(host.pixel(clipX, row) >> 16, 0xc0u); // held until clicked
    host.click(cx(out), row);
    EXPECT_LT(host.pixel(clipX, row) >> 16, 0x80u);
}

TEST_F(UiTest, BadMessagesAreIgnored) {
    UiHost host;
    ASSERT_TRUE(host.open());
    auto set = patchSet(host, "http://pellark.invalid/plugins/quorle#models", "0 x\n1 y\n", false);
    // Every cut of a good message, a string without its terminator, and noise.
    for (uint32_t size = 0; size < set.size(); ++size)
        host.portEvent(kPorts.notify(), set.data(), size);
    auto unterminated = set;
    unterminated[unterminated.size() - 1] = 'z';
    host.portEvent(kPorts.notify(), unterminated.data(),
                   static_cast<uint32_t>(unterminated.size()));
    std::vector<uint8_t> noise(512);
    for (int round = 0; round < 200; ++round) {
        for (auto& b : noise)
            b = static_cast<uint8_t>(std::rand());
        host.portEvent(kPorts.notify(), noise.data(), static_cast<uint32_t>(noise.size()));
        host.portEvent(kPorts.model(), NAN);
        host.portEvent(kPorts.outPeak(), INFINITY);
        host.portEvent(999, 1.0f);
    }
    host.idle();
    const Rect model = Panel(1.0).rect(quorleui::kModel);
    host.click(static_cast<int>(model.x + model.w - 10), cy(model));
    EXPECT_EQ(host.lastWrite(kPorts.model()), 1.0f);
}

TEST_F(UiTest, ScaleSizesTheWindow) {
    const char* dir = std::getenv("QUORLE_UI_SCREENSHOTS");
    for (float scale : {1.0f, 2.0f}) {
        UiHost host(scale, true, quorlelv2::kStereoUri);
        ASSERT_TRUE(host.open());
        host.portEvent(quorlelv2::kStereoPorts.model(), 4.0f); // the pictures of a driven model
        host.portEvent(quorlelv2::kStereoPorts.drive(), 0.75f);
        host.portEvent(quorlelv2::kStereoPorts.post(), 0.4f);
        host.portEvent(quorlelv2::kStereoPorts.inPeak(), -12.0f);
        host.portEvent(quorlelv2::kStereoPorts.inRms(), -20.0f);
        host.portEvent(quorlelv2::kStereoPorts.outPeak(), -3.0f);
        host.portEvent(quorlelv2::kStereoPorts.outRms(), -10.0f);
        host.idle(200);
        EXPECT_EQ(host.width, static_cast<int>(Panel::kWidth * scale));
        EXPECT_EQ(host.height, static_cast<int>(Panel::kHeight * scale));
        XWindowAttributes a;
        XGetWindowAttributes(host.display, host.window, &a);
        EXPECT_EQ(a.width, host.width);
        if (dir)
            host.screenshot(std::string(dir) + (scale == 1.0f ? "/ui-100.png" : "/ui-200.png"));
    }
}

TEST_F(UiTest, OpensAndClosesAgainAndAgain) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        UiHost host(i % 2 ? 2.0f : 1.0f, i % 3 != 0,
                    i % 2 ? quorlelv2::kStereoUri : quorlelv2::kMonoUri);
        ASSERT_TRUE(host.open()) << "opening " << i;
        host.portEvent(kPorts.drive(), static_cast<float>(i) / 200.0f);
        host.idle(10);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    RecordProperty("ms_per_open_and_close", std::to_string(ms / 200.0));
    std::printf("%.1f ms per open, draw and close\n", ms / 200.0);
}

TEST_F(UiTest, IdleWithNothingChangingCostsLittle) {
    UiHost host;
    ASSERT_TRUE(host.open());
    host.idle(100);
    const char* env = std::getenv("QUORLE_UI_IDLE_SECONDS");
    const int seconds = env ? std::atoi(env) : 1;
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    host.idle(seconds * 1000);
    getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& r) {
        return r.ru_utime.tv_sec + r.ru_stime.tv_sec +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
    };
    const double share = (cpu(after) - cpu(before)) / seconds;
    std::printf("idle at 100 Hz with nothing changing: %.2f %% of a core\n", share * 100.0);
    EXPECT_LT(share, 0.05); // no drawing when nothing changes
}

} // namespace
