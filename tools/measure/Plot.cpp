#include "tools/measure/Plot.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace measure {

namespace {

constexpr double kLeft = 72, kRight = 24, kTop = 40, kBottom = 56; // margins, pixels
constexpr double kFontSize = 12;
constexpr double kPalette[][3] = {{0.12, 0.35, 0.75},
                                  {0.85, 0.40, 0.05},
                                  {0.15, 0.60, 0.25},
                                  {0.55, 0.25, 0.70},
                                  {0.40, 0.40, 0.40}};
constexpr double kMarkColour[3] = {0.85, 0.10, 0.10};

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

void drawSeries(cairo_t* cr, const PlotSpec& plot, const Frame& f) {
    cairo_save(cr);
    cairo_rectangle(cr, f.x0, f.y0, f.w, f.h);
    cairo_clip(cr);
    cairo_set_line_width(cr, 1.6);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (size_t s = 0; s < plot.series.size(); ++s) {
        const PlotSeries& series = plot.series[s];
        const double* c = kPalette[s % (sizeof(kPalette) / sizeof(kPalette[0]))];
        cairo_set_source_rgb(cr, c[0], c[1], c[2]);
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
    cairo_set_source_rgb(cr, kMarkColour[0], kMarkColour[1], kMarkColour[2]);
    for (const PlotMark& m : plot.marks) {
        if (!usable(m.x, plot.logX) || !std::isfinite(m.y))
            continue;
        cairo_arc(cr, f.tx(m.x), f.ty(m.y), 4.0, 0, 2 * M_PI);
        cairo_fill(cr);
        // Labels go to the left of marks in the right third of the plot.
        const bool left = f.tx(m.x) > f.x0 + f.w * 2 / 3;
        text(cr, m.label, f.tx(m.x) + (left ? -8 : 8), f.ty(m.y) - 8, left ? 1.0 : 0.0, 0.5);
    }
    cairo_restore(cr);
}

void drawLegend(cairo_t* cr, const PlotSpec& plot, const Frame& f) {
    double width = 0;
    int rows = 0;
    for (const PlotSeries& s : plot.series) {
        if (s.label.empty())
            continue;
        cairo_text_extents_t e;
        cairo_text_extents(cr, s.label.c_str(), &e);
        width = std::max(width, e.x_advance);
        ++rows;
    }
    if (rows == 0)
        return;
    const double boxW = width + 40, boxH = rows * 18 + 8, x = f.x0 + f.w - boxW - 8, y = f.y0 + 8;
    cairo_set_source_rgba(cr, 1, 1, 1, 0.85);
    cairo_rectangle(cr, x, y, boxW, boxH);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
    int row = 0;
    for (size_t s = 0; s < plot.series.size(); ++s) {
        if (plot.series[s].label.empty())
            continue;
        const double* c = kPalette[s % (sizeof(kPalette) / sizeof(kPalette[0]))];
        const double ly = y + 13 + 18 * row++;
        cairo_set_source_rgb(cr, c[0], c[1], c[2]);
        cairo_set_line_width(cr, 2.0);
        cairo_move_to(cr, x + 6, ly);
        cairo_line_to(cr, x + 28, ly);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        text(cr, plot.series[s].label, x + 34, ly, 0.0, 0.5);
    }
}

} // namespace

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

    const Frame frame = {kLeft,
                         kTop,
                         width - kLeft - kRight,
                         height - kTop - kBottom,
                         dataRange(plot, true, plot.xMin, plot.xMax),
                         dataRange(plot, false, plot.yMin, plot.yMax),
                         plot.logX};
    if (plot.logX && !(frame.x.lo > 0.0)) {
        error = "a logarithmic axis needs a range above 0";
        return false;
    }
    drawAxes(cr, plot, frame);
    drawSeries(cr, plot, frame);
    drawLegend(cr, plot, frame);
    cairo_surface_flush(surface.get());
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), path.c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        error = "cannot write " + path + ": " + cairo_status_to_string(status);
        return false;
    }
    return true;
}

} // namespace measure
