// Line and scatter plots written as PNG pictures with cairo: axes with ticks and a
// grid (linear, or logarithmic in x), a title, a legend, and labelled marks.
#pragma once

#include <limits>
#include <string>
#include <vector>

namespace measure {

struct PlotSeries {
    enum class Style { Line, Dots, LineAndDots };
    std::string label; // shown in the legend; empty: not listed
    std::vector<double> x, y;
    Style style = Style::Line;
};

// A dot at (x, y) with a label beside it.
struct PlotMark {
    double x, y;
    std::string label;
};

struct PlotSpec {
    static constexpr double kAuto = std::numeric_limits<double>::quiet_NaN();
    std::string title, xLabel, yLabel;
    bool logX = false;
    // Axis ranges; NaN: from the data.
    double xMin = kAuto, xMax = kAuto, yMin = kAuto, yMax = kAuto;
    std::vector<PlotSeries> series;
    std::vector<PlotMark> marks;
};

// Writes the plot as a `width` x `height` pixel PNG at `path`. False with `error`
// set when the picture cannot be drawn or written.
bool writePng(const PlotSpec& plot, const std::string& path, std::string& error, int width = 800,
              int height = 500);

} // namespace measure
