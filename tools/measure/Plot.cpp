#include "tools/measure/Plot.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace measure {

namespace {

constexpr double kLeft = 72, kRight = 24, kTop = 40, kBottom = 56; // margins, pixels
constexpr double kFontSize = 12;
constexpr Colour kPalette[] = {{0.12, 0.47, 0.71}, {1.00, 0.50, 0.05}, {0.17, 0.63, 0.17},
                               {0.84, 0.15, 0.16}, {0.58, 0.40, 0.74}, {0.55, 0.34, 0.29},
                               {0.89, 0.47, 0.76}, {0.40, 0.40, 0.40}, {0.62, 0.62, 0.05},
                               {0.05, 0.65, 0.72}};
constexpr size_t kPaletteSize = sizeof(kPalette) / sizeof(kPalette[0]);
constexpr double kTickFontSize = 10;
constexpr double kLabelPad = 2;    // around a label's text, pixels
constexpr double kLabelGap = 6;    // from a mark to its label, pixels
constexpr double kDotRadius = 4;   // a Dot mark
constexpr double kTickHeight = 10; // a Tick mark

struct Range {
    double lo, hi;
};

// Maps data to pixels inside the plot area.
struct Frame {
    double x0, y0, w, h; // plot area, pixels
    Range x, y;
    bool logX;
    double tx(double v) const {
        const double a = logX ? std::log10(v) : v, lo = logX ? std::log10(x.lo) : x.lo,
                     hi = logX ? std::log10(x.hi) : x.hi;
        return x0 + (a - lo) / (hi - lo) * w;
    }
    double ty(double v) const { return y0 + h - (v - y.lo) / (y.hi - y.lo) * h; }
};

// Cairo's text loads fonts through fontconfig, whose caches live until the process
// ends; they are handed back at exit, so that leak checkers see none.
void releaseFonts() {
    cairo_debug_reset_static_data();
    FcFini();
}

void releaseFontsAtExit() {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(releaseFonts); });
}

bool usable(double v, bool log) {
    return std::isfinite(v) && (!log || v > 0.0);
}

Range dataRange(const PlotSpec& plot, bool forX, double setLo, double setHi) {
    double lo = INFINITY, hi = -INFINITY;
    for (const PlotSeries& s : plot.series)
        for (size_t i = 0; i < std::min(s.x.size(), s.y.size()); ++i) {
            if (!usable(s.x[i], plot.logX) || !std::isfinite(s.y[i]))
                continue;
            const double v = forX ? s.x[i] : s.y[i];
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    if (!std::isfinite(lo)) {
        lo = plot.logX && forX ? 1.0 : 0.0;
        hi = lo * 10.0 + 1.0;
    }
    if (!forX || !plot.logX) { // a little room around the data
        const double pad = hi > lo ? 0.05 * (hi - lo) : std::max(1.0, std::fabs(lo) * 0.1);
        lo -= pad;
        hi += pad;
    }
    if (std::isfinite(setLo))
        lo = setLo;
    if (std::isfinite(setHi))
        hi = setHi;
    if (!(hi > lo))
        hi = lo + 1.0;
    return {lo, hi};
}

// A round step giving about `count` ticks over the range.
double niceStep(const Range& r, int count) {
    const double raw = (r.hi - r.lo) / count;
    const double decade = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (m * decade >= raw)
            return m * decade;
    return 10.0 * decade;
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", std::fabs(v) < 1e-12 ? 0.0 : v);
    return text;
}

// 20, 500, 2k, 10k: frequencies as axis labels.
std::string shortNumber(double v) {
    return v >= 1000.0 ? number(v / 1000.0) + "k" : number(v);
}

void text(cairo_t* cr, const std::string& s, double x, double y, double alignX, double alignY) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_move_to(cr, x - alignX * e.width - e.x_bearing, y - alignY * e.height - e.y_bearing);
    cairo_show_text(cr, s.c_str());
}

void gridLine(cairo_t* cr, double x1, double y1, double x2, double y2, double grey) {
    cairo_set_source_rgb(cr, grey, grey, grey);
    cairo_move_to(cr, x1, y1);
    cairo_line_to(cr, x2, y2);
    cairo_stroke(cr);
}

void drawAxes(cairo_t* cr, const PlotSpec& plot, const Frame& f) {
    cairo_set_line_width(cr, 1.0);
    // y: linear ticks
    const double yStep = niceStep(f.y, 6);
    for (double v = std::ceil(f.y.lo / yStep) * yStep; v <= f.y.hi + 1e-9 * yStep; v += yStep) {
        gridLine(cr, f.x0, f.ty(v), f.x0 + f.w, f.ty(v), 0.88);
        cairo_set_source_rgb(cr, 0, 0, 0);
        text(cr, number(v), f.x0 - 6, f.ty(v), 1.0, 0.5);
    }
    if (plot.logX) {
        for (double decade = std::pow(10.0, std::floor(std::log10(f.x.lo))); decade <= f.x.hi;
             decade *= 10.0)
            for (int m = 1; m <= 9; ++m) {
                const double v = m * decade;
                if (v < f.x.lo * (1 - 1e-9) || v > f.x.hi * (1 + 1e-9))
                    continue;
                const bool major = m == 1 || m == 2 || m == 5;
                gridLine(cr, f.tx(v), f.y0, f.tx(v), f.y0 + f.h, major ? 0.82 : 0.93);
                if (major) {
                    cairo_set_source_rgb(cr, 0, 0, 0);
                    text(cr, shortNumber(v), f.tx(v), f.y0 + f.h + 6, 0.5, 0.0);
                }
            }
    } else {
        const double xStep = niceStep(f.x, 8);
        for (double v = std::ceil(f.x.lo / xStep) * xStep; v <= f.x.hi + 1e-9 * xStep; v += xStep) {
            gridLine(cr, f.tx(v), f.y0, f.tx(v), f.y0 + f.h, 0.88);
            cairo_set_source_rgb(cr, 0, 0, 0);
            text(cr, number(v), f.tx(v), f.y0 + f.h + 6, 0.5, 0.0);
        }
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, f.x0, f.y0, f.w, f.h);
    cairo_stroke(cr);
    text(cr, plot.xLabel, f.x0 + f.w / 2, f.y0 + f.h + 28, 0.5, 0.0);
    cairo_save(cr);
    cairo_translate(cr, 16, f.y0 + f.h / 2);
    cairo_rotate(cr, -M_PI / 2);
    text(cr, plot.yLabel, 0, 0, 0.5, 0.5);
    cairo_restore(cr);
    cairo_set_font_size(cr, kFontSize + 3);
    text(cr, plot.title, f.x0 + f.w / 2, 12, 0.5, 0.0);
    cairo_set_font_size(cr, kFontSize);
}

void setColour(cairo_t* cr, const Colour& c) {
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

Colour seriesColour(const PlotSpec& plot, size_t s) {
    return plot.series[s].colour ? *plot.series[s].colour : kPalette[s % kPaletteSize];
}

void setDash(cairo_t* cr, bool dashed) {
    const double dash[] = {7.0, 4.0};
    cairo_set_dash(cr, dash, dashed ? 2 : 0, 0.0);
}

void drawSeries(cairo_t* cr, const PlotSpec& plot, const Frame& f) {
    cairo_save(cr);
    cairo_rectangle(cr, f.x0, f.y0, f.w, f.h);
    cairo_clip(cr);
    cairo_set_line_width(cr, 1.6);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (size_t s = 0; s < plot.series.size(); ++s) {
        const PlotSeries& series = plot.series[s];
        setColour(cr, seriesColour(plot, s));
        setDash(cr, series.dashed);
        const size_t n = std::min(series.x.size(), series.y.size());
        if (series.style != PlotSeries::Style::Dots) {
            bool drawing = false;
            for (size_t i = 0; i < n; ++i) {
                if (!usable(series.x[i], plot.logX) || !std::isfinite(series.y[i])) {
                    drawing = false;
                    continue;
                }
                if (drawing)
                    cairo_line_to(cr, f.tx(series.x[i]), f.ty(series.y[i]));
                else
                    cairo_move_to(cr, f.tx(series.x[i]), f.ty(series.y[i]));
                drawing = true;
            }
            cairo_stroke(cr);
        }
        if (series.style != PlotSeries::Style::Line)
            for (size_t i = 0; i < n; ++i)
                if (usable(series.x[i], plot.logX) && std::isfinite(series.y[i])) {
                    cairo_arc(cr, f.tx(series.x[i]), f.ty(series.y[i]), 3.0, 0, 2 * M_PI);
                    cairo_fill(cr);
                }
    }
    setDash(cr, false);
    cairo_restore(cr);
}

// A label's box for text `s` in the current font, its text at (box.x + kLabelPad, baseline).
Box labelSize(cairo_t* cr, const std::string& s) {
    cairo_text_extents_t e;
    cairo_font_extents_t fe;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_font_extents(cr, &fe);
    return {0, 0, e.x_advance + 2 * kLabelPad, fe.ascent + fe.descent + 2 * kLabelPad};
}

// Text on a white, slightly see-through box, so that it reads over grid and curves.
void boxedText(cairo_t* cr, const std::string& s, const Box& b, const Colour& c) {
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.8);
    cairo_rectangle(cr, b.x, b.y, b.w, b.h);
    cairo_fill(cr);
    setColour(cr, c);
    cairo_move_to(cr, b.x + kLabelPad, b.y + kLabelPad + fe.ascent);
    cairo_show_text(cr, s.c_str());
}

// Draws the reference lines; returns their label boxes.
std::vector<Box> drawLines(cairo_t* cr, const PlotSpec& plot, const Frame& f) {
    std::vector<Box> labels;
    for (const PlotLine& line : plot.hLines) {
        if (!std::isfinite(line.y) || line.y < f.y.lo || line.y > f.y.hi)
            continue;
        const double y = f.ty(line.y);
        cairo_save(cr);
        cairo_set_line_width(cr, 1.4);
        setDash(cr, line.dashed);
        setColour(cr, line.colour);
        cairo_move_to(cr, f.x0, y);
        cairo_line_to(cr, f.x0 + f.w, y);
        cairo_stroke(cr);
        cairo_restore(cr);
        if (line.label.empty())
            continue;
        Box b = labelSize(cr, line.label);
        b.x = f.x0 + f.w - b.w - 4;
        b.y = y - b.h - 1; // above the line, or below it when there is no room above
        if (b.y < f.y0)
            b.y = y + 1;
        boxedText(cr, line.label, b, line.colour);
        labels.push_back(b);
    }
    return labels;
}

// The pixels a mark's symbol covers.
Box markBox(const PlotMark& m, const Frame& f) {
    const double x = f.tx(m.x), y = f.ty(m.y);
    if (m.kind == PlotMark::Kind::Tick)
        return {x - 1.5, y - kTickHeight - 2, 3, kTickHeight + 2};
    return {x - kDotRadius, y - kDotRadius, 2 * kDotRadius, 2 * kDotRadius};
}

bool drawable(const PlotMark& m, const PlotSpec& plot, const Frame& f) {
    return usable(m.x, plot.logX) && std::isfinite(m.y) && m.x >= f.x.lo && m.x <= f.x.hi &&
           m.y >= f.y.lo && m.y <= f.y.hi;
}

void drawMarkSymbols(cairo_t* cr, const PlotSpec& plot, const Frame& f) {
    for (const PlotMark& m : plot.marks) {
        if (!drawable(m, plot, f))
            continue;
        setColour(cr, m.colour);
        const double x = f.tx(m.x), y = f.ty(m.y);
        if (m.kind == PlotMark::Kind::Tick) {
            cairo_set_line_width(cr, 2.0);
            cairo_move_to(cr, x, y - 2);
            cairo_line_to(cr, x, y - 2 - kTickHeight);
            cairo_stroke(cr);
        } else {
            cairo_arc(cr, x, y, kDotRadius, 0, 2 * M_PI);
            cairo_fill(cr);
        }
    }
}

// Labels of the marks, laid out clear of each other, of every mark's symbol and of
// `taken` (the legend, the reference lines' labels). A label moved away from its
// mark is joined to it by a thin line.
void drawMarkLabels(cairo_t* cr, const PlotSpec& plot, const Frame& f, std::vector<Box> taken) {
    std::vector<const PlotMark*> shown;
    std::vector<LabelRequest> requests;
    for (const PlotMark& m : plot.marks) {
        if (!drawable(m, plot, f) || m.label.empty())
            continue;
        taken.push_back(markBox(m, f));
        cairo_set_font_size(cr, m.kind == PlotMark::Kind::Tick ? kTickFontSize : kFontSize);
        const Box size = labelSize(cr, m.label);
        // A tick's label sits beside the tick's top.
        const double y = f.ty(m.y) - (m.kind == PlotMark::Kind::Tick ? kTickHeight : 0.0);
        requests.push_back({f.tx(m.x), y, size.w, size.h});
        shown.push_back(&m);
    }
    const std::vector<LabelPlace> places = layoutLabels(requests, {f.x0, f.y0, f.w, f.h}, taken);
    for (size_t i = 0; i < places.size(); ++i) {
        if (!places[i].placed)
            continue;
        const Box& b = places[i].box;
        const PlotMark& m = *shown[i];
        const double ax = requests[i].anchorX, ay = requests[i].anchorY;
        if (ay < b.y - 2 || ay > b.y + b.h + 2) { // moved off the mark's height
            const double ex = ax < b.x ? b.x : b.x + b.w, ey = ay < b.y ? b.y : b.y + b.h;
            cairo_set_source_rgba(cr, m.colour.r, m.colour.g, m.colour.b, 0.6);
            cairo_set_line_width(cr, 0.8);
            cairo_move_to(cr, ax, ay);
            cairo_line_to(cr, ex, ey);
            cairo_stroke(cr);
        }
        cairo_set_font_size(cr, m.kind == PlotMark::Kind::Tick ? kTickFontSize : kFontSize);
        boxedText(cr, m.label, b, m.colour);
    }
    cairo_set_font_size(cr, kFontSize);
}

struct Legend {
    Box box{0, 0, 0, 0};
    std::vector<size_t> rows; // the series listed, in order
};

// How much of the curves `b` would hide: the number of points, taken every few
// pixels along each curve, that fall inside it.
size_t covered(const PlotSpec& plot, const Frame& f, const Box& b) {
    size_t count = 0;
    for (const PlotSeries& s : plot.series) {
        bool have = false;
        double px = 0, py = 0;
        for (size_t i = 0; i < std::min(s.x.size(), s.y.size()); ++i) {
            if (!usable(s.x[i], plot.logX) || !std::isfinite(s.y[i])) {
                have = false;
                continue;
            }
            const double x = f.tx(s.x[i]), y = f.ty(s.y[i]);
            const double length =
                have && s.style != PlotSeries::Style::Dots ? std::hypot(x - px, y - py) : 0.0;
            const int steps = std::min(1000, static_cast<int>(length / 4.0)) + 1;
            for (int k = 1; k <= steps; ++k) {
                const double t = static_cast<double>(k) / steps;
                const double qx = px + (x - px) * t, qy = py + (y - py) * t;
                count += qx >= b.x && qx <= b.x + b.w && qy >= b.y && qy <= b.y + b.h;
            }
            px = x;
            py = y;
            have = true;
        }
    }
    for (const PlotMark& m : plot.marks)
        count += 20 * markBox(m, f).overlaps(b); // a hidden mark weighs as a stretch of curve
    return count;
}

Legend placeLegend(cairo_t* cr, const PlotSpec& plot, const Frame& f) {
    Legend legend;
    double width = 0;
    for (size_t s = 0; s < plot.series.size(); ++s) {
        if (plot.series[s].label.empty())
            continue;
        cairo_text_extents_t e;
        cairo_text_extents(cr, plot.series[s].label.c_str(), &e);
        width = std::max(width, e.x_advance);
        legend.rows.push_back(s);
    }
    if (legend.rows.empty())
        return legend;
    const double w = width + 40, h = static_cast<double>(legend.rows.size()) * 18 + 8;
    const double left = f.x0 + 8, right = f.x0 + f.w - w - 8, top = f.y0 + 8,
                 bottom = f.y0 + f.h - h - 8;
    const Box corners[] = {
        {right, top, w, h}, {left, top, w, h}, {right, bottom, w, h}, {left, bottom, w, h}};
    switch (plot.legend) {
    case LegendPlace::TopRight: legend.box = corners[0]; break;
    case LegendPlace::TopLeft: legend.box = corners[1]; break;
    case LegendPlace::BottomRight: legend.box = corners[2]; break;
    case LegendPlace::BottomLeft: legend.box = corners[3]; break;
    case LegendPlace::Auto: {
        size_t best = SIZE_MAX;
        for (const Box& b : corners) {
            const size_t c = covered(plot, f, b);
            if (c < best) {
                best = c;
                legend.box = b;
            }
        }
        break;
    }
    }
    return legend;
}

void drawLegend(cairo_t* cr, const PlotSpec& plot, const Legend& legend) {
    if (legend.rows.empty())
        return;
    const Box& b = legend.box;
    cairo_set_source_rgba(cr, 1, 1, 1, 0.85);
    cairo_rectangle(cr, b.x, b.y, b.w, b.h);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
    for (size_t row = 0; row < legend.rows.size(); ++row) {
        const PlotSeries& s = plot.series[legend.rows[row]];
        const double ly = b.y + 13 + 18 * static_cast<double>(row);
        setColour(cr, seriesColour(plot, legend.rows[row]));
        if (s.style != PlotSeries::Style::Dots) {
            cairo_set_line_width(cr, 2.0);
            setDash(cr, s.dashed);
            cairo_move_to(cr, b.x + 6, ly);
            cairo_line_to(cr, b.x + 28, ly);
            cairo_stroke(cr);
            setDash(cr, false);
        }
        if (s.style != PlotSeries::Style::Line) {
            cairo_arc(cr, b.x + 17, ly, 3.5, 0, 2 * M_PI);
            cairo_fill(cr);
        }
        cairo_set_source_rgb(cr, 0, 0, 0);
        text(cr, s.label, b.x + 34, ly, 0.0, 0.5);
    }
}

} // namespace

Box plotArea(int width, int height) {
    return {kLeft, kTop, width - kLeft - kRight, height - kTop - kBottom};
}

std::vector<LabelPlace> layoutLabels(const std::vector<LabelRequest>& labels, const Box& area,
                                     const std::vector<Box>& obstacles) {
    std::vector<LabelPlace> places;
    std::vector<Box> taken = obstacles;
    for (const LabelRequest& l : labels) {
        LabelPlace place{{0, 0, 0, 0}, false};
        const bool sane = std::isfinite(l.anchorX) && std::isfinite(l.anchorY) &&
                          std::isfinite(l.w) && std::isfinite(l.h) && l.w >= 0 && l.h > 0 &&
                          std::isfinite(area.y) && std::isfinite(area.h);
        // Enough steps for the label to pass from the anchor to either edge of the area.
        const double step = l.h / 2.0;
        const double reach =
            sane ? std::fabs(l.anchorY - area.y) + std::fabs(l.anchorY - area.y - area.h) + l.h
                 : 0.0;
        const int steps = sane ? static_cast<int>(std::min(1e5, reach / step)) + 1 : -1;
        for (int k = 0; k <= steps && !place.placed; ++k)
            for (int sign : {1, -1}) {
                if (k == 0 && sign < 0)
                    continue;
                const double y = l.anchorY - l.h / 2.0 + sign * k * step;
                for (double x : {l.anchorX + kLabelGap, l.anchorX - kLabelGap - l.w}) {
                    const Box b{x, y, l.w, l.h};
                    if (!b.inside(area) || std::any_of(taken.begin(), taken.end(),
                                                       [&](const Box& t) { return t.overlaps(b); }))
                        continue;
                    place = {b, true};
                    break;
                }
                if (place.placed)
                    break;
            }
        if (place.placed)
            taken.push_back(place.box);
        places.push_back(place);
    }
    return places;
}

bool writePng(const PlotSpec& plot, const std::string& path, std::string& error, int width,
              int height) {
    if (width <= kLeft + kRight + 10 || height <= kTop + kBottom + 10) {
        error = "a plot needs at least " + std::to_string(int(kLeft + kRight + 11)) + " x " +
                std::to_string(int(kTop + kBottom + 11)) + " pixels";
        return false;
    }
    std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> surface(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height), cairo_surface_destroy);
    std::unique_ptr<cairo_t, void (*)(cairo_t*)> context(cairo_create(surface.get()),
                                                         cairo_destroy);
    cairo_t* cr = context.get();
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        error = std::string("cannot draw: ") + cairo_status_to_string(cairo_status(cr));
        return false;
    }
    releaseFontsAtExit();
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, kFontSize);

    const Box area = plotArea(width, height);
    const Frame frame = {area.x,
                         area.y,
                         area.w,
                         area.h,
                         dataRange(plot, true, plot.xMin, plot.xMax),
                         dataRange(plot, false, plot.yMin, plot.yMax),
                         plot.logX};
    if (plot.logX && !(frame.x.lo > 0.0)) {
        error = "a logarithmic axis needs a range above 0";
        return false;
    }
    drawAxes(cr, plot, frame);
    drawSeries(cr, plot, frame);
    cairo_save(cr);
    cairo_rectangle(cr, frame.x0, frame.y0, frame.w, frame.h);
    cairo_clip(cr);
    std::vector<Box> taken = drawLines(cr, plot, frame);
    drawMarkSymbols(cr, plot, frame);
    const Legend legend = placeLegend(cr, plot, frame);
    if (!legend.rows.empty())
        taken.push_back(legend.box);
    drawMarkLabels(cr, plot, frame, taken);
    cairo_restore(cr);
    drawLegend(cr, plot, legend);
    cairo_surface_flush(surface.get());
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), path.c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        error = "cannot write " + path + ": " + cairo_status_to_string(status);
        return false;
    }
    return true;
}

} // namespace measure
