// A small host for the X11 interface: an Xvfb display started for the test program,
// a parent window on the test's own connection, quorle_ui.so opened from the bundle
// with urid:map, ui:parent, ui:resize, options (ui:scaleFactor) and, when asked,
// ui:requestValue; it records what the interface writes and asks for, and drives it
// with XTest input as a player's mouse and keyboard would.
#pragma once

#include "tools/Lv2HostFeatures.h"

#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <string>
#include <vector>

namespace uitest {

// The display the interfaces open (DISPLAY is set to it); null when none could be
// started, with the reason in `why`.
Display* testDisplay(std::string* why = nullptr);

struct Write {
    uint32_t port, format;
    std::vector<uint8_t> bytes;
    float value() const;
};

struct UiHost {
    explicit UiHost(float scale = 1.0f, bool offerRequestValue = true,
                    const char* plugin = "http://pellark.invalid/plugins/quorle#mono");
    ~UiHost();
    UiHost(const UiHost&) = delete;
    UiHost& operator=(const UiHost&) = delete;

    bool open() const { return handle != nullptr; }
    // Runs the interface's idle() for `ms` milliseconds (at 100 Hz).
    void idle(int ms = 60);
    void portEvent(uint32_t port, float value);
    // `size` bytes at `atom` as an event transfer (a notify message).
    void portEvent(uint32_t port, const void* atom, uint32_t size);
    // The last value written to `port` as a float; NaN when none.
    float lastWrite(uint32_t port) const;
    // A mouse press, moves and release at window pixels (XTest, root = window here).
    void press(int x, int y, unsigned button = 1);
    void moveTo(int x, int y);
    void release(unsigned button = 1);
    void click(int x, int y, unsigned button = 1);
    void key(KeySym sym);
    // The window's pixel at (x, y), 0xRRGGBB.
    unsigned long pixel(int x, int y);
    // Writes the window to a PNG file.
    void screenshot(const std::string& path);

    lv2host::UriMap uris;
    Display* display = nullptr;
    Window parent = 0, window = 0;
    int width = 0, height = 0; // as ui:resize was told
    std::vector<Write> writes;
    std::vector<std::pair<LV2_URID, LV2_URID>> requests; // key, type
    LV2UI_Handle handle = nullptr;

  private:
    void* library = nullptr;
    const LV2UI_Descriptor* descriptor = nullptr;
    const LV2UI_Idle_Interface* idler = nullptr;
    float scaleFactor;
    LV2_Options_Option options[2];
    LV2UI_Resize resize;
    LV2UI_Request_Value requestValue;
};

} // namespace uitest
