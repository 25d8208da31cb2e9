// Where everything sits in the window and how it is drawn (cairo). Positions are
// laid out at scale 1 in a 660 x 400 window and multiplied by the scale. UI thread.
#pragma once

#include "lv2/ui/UiState.h"

#include <cairo.h>

#include <string>

namespace quorleui {

class Pictures;

// What a point of the window is: a control (Control), a button, a meter, nothing.
enum Target {
    kArchiveButton = kControlCount,
    kCabinetFileButton,
    kTargetCount, // Tab steps through the targets before this one
    kInMeter = kTargetCount,
    kOutMeter,
    kNothing
};

struct Rect {
    double x, y, w, h;
    bool contains(double px, double py) const {
        return px >= x && py >= y && px < x + w && py < y + h;
    }
};

struct PanelView {
    const UiState* state;
    const Pictures* pictures;
    int focus;        // a Target, or kNothing
    std::string hint; // one line under the status ("" for none)
};

class Panel {
  public:
    static constexpr int kWidth = 660, kHeight = 400;

    explicit Panel(double scale) : mScale(scale) {}
    double scale() const { return mScale; }
    int width() const { return static_cast<int>(kWidth * mScale + 0.5); }
    int height() const { return static_cast<int>(kHeight * mScale + 0.5); }

    // The target at window pixel (x, y); for a chooser, `forward` tells whether the
    // point is on its right half.
    int hit(double x, double y, bool* forward = nullptr) const;
    // Target `t`'s rectangle, window pixels.
    Rect rect(int t) const;
    // Draws the whole window.
    void draw(cairo_t* cr, const PanelView& view) const;

  private:
    Rect base(int t) const; // at scale 1
    double mScale;
};

} // namespace quorleui
