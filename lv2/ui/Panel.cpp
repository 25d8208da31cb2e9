#include "lv2/ui/Panel.h"

#include "lv2/ui/Pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorleui {

namespace {

constexpr double kMeterLowDb = -60.0, kMeterHighDb = 6.0;

const char* const kNames[kTargetCount] = {"Drive",         "Post gain",    "Bass",
                                          "Model",         "Cabinet",      "Oversampling",
                                          "Data archive…", "Cabinet file…"};

void colour(cairo_t* cr, unsigned rgb, double alpha = 1.0) {
    cairo_set_source_rgba(cr, ((rgb >> 16) & 255) / 255.0, ((rgb >> 8) & 255) / 255.0,
                          (rgb & 255) / 255.0, alpha);
}

void text(cairo_t* cr, double x, double y, const std::string& s, double size, bool centred,
          bool bold = false) {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_move_to(cr, centred ? x - e.x_advance / 2 : x, y);
    cairo_show_text(cr, s.c_str());
}

void box(cairo_t* cr, const Rect& r, unsigned fill, bool focused) {
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    colour(cr, fill);
    cairo_fill_preserve(cr);
    colour(cr, focused ? 0xf0b030 : 0x505860);
    cairo_stroke(cr);
}

// A graph of `curve` in `r`: x from x0 to x1 (log when `logX`), y from y0 to y1 (with
// `autoY`, as far apart but moved to hold the curve's top).
void graph(cairo_t* cr, const Rect& r, double s, const char* title, const Curve& curve, double x0,
           double x1, bool logX, double y0, double y1, bool autoY, const std::string& note) {
    box(cr, r, 0x1c2026, false);
    cairo_save(cr);
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
    cairo_clip(cr);
    if (autoY && !curve.empty()) {
        // The curve's top 6 dB below the frame's, in steps of 12 dB; the span kept.
        const double top = *std::max_element(curve.y.begin(), curve.y.end());
        const double span = y1 - y0;
        y1 = std::ceil((top + 6.0) / 12.0) * 12.0;
        y0 = y1 - span;
    }
    auto px = [&](double x) {
        const double t = logX ? std::log(x / x0) / std::log(x1 / x0) : (x - x0) / (x1 - x0);
        return r.x + t * r.w;
    };
    auto py = [&](double y) { return r.y + r.h - (std::clamp(y, y0, y1) - y0) / (y1 - y0) * r.h; };
    colour(cr, 0x30363e);
    cairo_set_line_width(cr, 1.0 * s);
    for (double y = std::ceil(y0 / 12.0) * 12.0; y <= y1; y += 12.0) {
        cairo_move_to(cr, r.x, py(y));
        cairo_line_to(cr, r.x + r.w, py(y));
    }
    if (logX)
        for (double x : {100.0, 1000.0, 10000.0}) {
            cairo_move_to(cr, px(x), r.y);
            cairo_line_to(cr, px(x), r.y + r.h);
        }
    cairo_stroke(cr);
    if (!curve.empty()) {
        colour(cr, 0x60c8f0);
        cairo_set_line_width(cr, 1.6 * s);
        for (size_t i = 0; i < curve.x.size(); ++i)
            (i ? cairo_line_to : cairo_move_to)(cr, px(curve.x[i]), py(curve.y[i]));
        cairo_stroke(cr);
    }
    colour(cr, 0xc8ccd0);
    text(cr, r.x + 6 * s, r.y + 14 * s, title, 11 * s, false, true);
    colour(cr, 0x90989f);
    text(cr, r.x + 6 * s, r.y + r.h - 6 * s, note, 10 * s, false);
    cairo_restore(cr);
}

void knob(cairo_t* cr, const Rect& r, double s, float value, bool focused) {
    const double cx = r.x + r.w / 2, cy = r.y + r.h / 2, radius = std::min(r.w, r.h) / 2 - 2 * s;
    const double a0 = 0.75 * M_PI, a1 = 2.25 * M_PI, a = a0 + value * (a1 - a0);
    cairo_arc(cr, cx, cy, radius, 0, 2 * M_PI);
    colour(cr, 0x2a3038);
    cairo_fill(cr);
    cairo_set_line_width(cr, 4 * s);
    colour(cr, 0x404850);
    cairo_arc(cr, cx, cy, radius - 3 * s, a0, a1);
    cairo_stroke(cr);
    colour(cr, focused ? 0xf0b030 : 0x60c8f0);
    cairo_arc(cr, cx, cy, radius - 3 * s, a0, a);
    cairo_stroke(cr);
    cairo_set_line_width(cr, 2.5 * s);
    colour(cr, 0xe8ecf0);
    cairo_move_to(cr, cx, cy);
    cairo_line_to(cr, cx + std::cos(a) * (radius - 8 * s), cy + std::sin(a) * (radius - 8 * s));
    cairo_stroke(cr);
}

void meter(cairo_t* cr, const Rect& r, double s, const char* label, float peak, float rms,
           bool clipped) {
    auto px = [&](double db) {
        return r.x + (std::clamp(db, kMeterLowDb, kMeterHighDb) - kMeterLowDb) /
                         (kMeterHighDb - kMeterLowDb) * r.w;
    };
    box(cr, r, 0x1c2026, false);
    // RMS: the full bar; peak: a thin bar over its middle.
    colour(cr, 0x3fa060);
    cairo_rectangle(cr, r.x, r.y + 2 * s, px(rms) - r.x, r.h - 4 * s);
    cairo_fill(cr);
    colour(cr, peak >= -6.0f ? 0xe0c040 : 0x80e0a0);
    cairo_rectangle(cr, r.x, r.y + r.h / 2 - 2 * s, px(peak) - r.x, 4 * s);
    cairo_fill(cr);
    // 0 dBFS, and the clip light beyond it.
    colour(cr, 0xe8ecf0, 0.6);
    cairo_rectangle(cr, px(0.0) - 0.5 * s, r.y, 1 * s, r.h);
    cairo_fill(cr);
    colour(cr, clipped ? 0xff3030 : 0x402020);
    cairo_rectangle(cr, r.x + r.w + 4 * s, r.y, 12 * s, r.h);
    cairo_fill(cr);
    colour(cr, 0xc8ccd0);
    text(cr, r.x - 26 * s, r.y + r.h / 2 + 4 * s, label, 11 * s, false);
    char db[32];
    std::snprintf(db, sizeof db, peak <= quorlelv2::kMeterFloorDb ? "-inf" : "%.1f", peak);
    text(cr, r.x + r.w + 22 * s, r.y + r.h / 2 + 4 * s, db, 10 * s, false);
}

} // namespace

Rect Panel::base(int t) const {
    switch (t) {
    case kDrive: return {26, 66, 80, 80};
    case kPost: return {136, 66, 80, 80};
    case kBass: return {246, 66, 80, 80};
    case kModel: return {16, 14, 250, 26};
    case kCabinet: return {276, 14, 240, 26};
    case kOversampling: return {526, 14, 118, 26};
    case kArchiveButton: return {376, 140, 124, 24};
    case kCabinetFileButton: return {510, 140, 124, 24};
    case kInMeter: return {376, 66, 190, 22};
    case kOutMeter: return {376, 100, 190, 22};
    default: return {0, 0, 0, 0};
    }
}

Rect Panel::rect(int t) const {
    const Rect b = base(t);
    return {b.x * mScale, b.y * mScale, b.w * mScale, b.h * mScale};
}

int Panel::hit(double x, double y, bool* forward) const {
    for (int t = 0; t < kNothing; ++t) {
        const Rect r = rect(t);
        if (r.contains(x, y)) {
            if (forward)
                *forward = x >= r.x + r.w / 2;
            return t;
        }
    }
    return kNothing;
}

void Panel::draw(cairo_t* cr, const PanelView& v) const {
    const double s = mScale;
    const UiState& st = *v.state;
    colour(cr, 0x14171b);
    cairo_paint(cr);
    cairo_set_line_width(cr, 1.0 * s);
    for (int c : {kModel, kCabinet, kOversampling}) {
        const Rect r = rect(c);
        box(cr, r, 0x242a31, v.focus == c);
        colour(cr, 0x90989f);
        text(cr, r.x + 8 * s, r.y + r.h / 2 + 4 * s, "◀", 10 * s, false);
        text(cr, r.x + r.w - 18 * s, r.y + r.h / 2 + 4 * s, "▶", 10 * s, false);
        colour(cr, 0xe8ecf0);
        text(cr, r.x + r.w / 2, r.y + r.h / 2 + 4.5 * s, st.words(static_cast<Control>(c)), 12 * s,
             true, c == kModel);
        colour(cr, 0x90989f);
        text(cr, r.x + 2 * s, r.y - 3 * s, kNames[c], 9 * s, false);
    }
    for (int c : {kDrive, kPost, kBass}) {
        const Rect r = rect(c);
        knob(cr, r, s, st.value[c], v.focus == c);
        colour(cr, 0xc8ccd0);
        text(cr, r.x + r.w / 2, r.y - 6 * s, kNames[c], 11 * s, true, true);
        colour(cr, 0xe8ecf0);
        text(cr, r.x + r.w / 2, r.y + r.h + 16 * s, st.words(static_cast<Control>(c)), 12 * s,
             true);
    }
    meter(cr, rect(kInMeter), s, "in", st.meter[0], st.meter[1], st.clipped[0]);
    meter(cr, rect(kOutMeter), s, "out", st.meter[2], st.meter[3], st.clipped[1]);
    for (int b : {kArchiveButton, kCabinetFileButton}) {
        const Rect r = rect(b);
        box(cr, r, 0x2c333b, v.focus == b);
        colour(cr, 0xe8ecf0);
        text(cr, r.x + r.w / 2, r.y + r.h / 2 + 4 * s, kNames[b], 11 * s, true);
    }
    colour(cr, 0x90989f);
    const std::string archive =
        st.archivePath.empty() ? "archive: shipped models" : "archive: " + baseName(st.archivePath);
    text(cr, 376 * s, 184 * s, archive, 10 * s, false);

    const Pictures& p = *v.pictures;
    char note[64];
    std::snprintf(note, sizeof note, "out peak vs in peak, dBFS (drive %s)",
                  st.words(kDrive).c_str());
    graph(cr, {16 * s, 196 * s, 200 * s, 160 * s}, s, "Transfer", p.transfer(), -48.0, 0.0, false,
          -60.0, 12.0, false, note);
    graph(cr, {230 * s, 196 * s, 200 * s, 160 * s}, s, "Model response", p.response(), 30.0,
          20000.0, true, -60.0, 12.0, true, "gain, dB, 30 Hz..20 kHz");
    graph(cr, {444 * s, 196 * s, 200 * s, 160 * s}, s, "Cabinet", p.cabinet(), 30.0, 20000.0, true,
          -60.0, 12.0, true, p.cabinetName());

    // The last refusal, else the hint.
    const std::string line = !st.status.empty() ? st.status : v.hint;
    if (!line.empty()) {
        colour(cr, !st.status.empty() ? 0xff7060 : 0x90989f);
        text(cr, 16 * s, 382 * s, line, 11 * s, false);
    }
}

} // namespace quorleui
