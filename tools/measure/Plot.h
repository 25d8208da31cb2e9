// Line and scatter plots written as PNG pictures with cairo: axes with ticks and a
// grid (linear, or logarithmic in x), a title, a legend, horizontal reference lines,
// and labelled marks whose labels are laid out so that none overlaps another.
#pragma once

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace measure {

// A colour, each component 0..1.
struct Colour {
    double r, g, b;
};

constexpr Colour kMarkRed = {0.85, 0.10, 0.10};
constexpr Colour kMarkGrey = {0.45, 0.45, 0.45};
constexpr Colour kLineGrey = {0.25, 0.25, 0.25};

struct PlotSeries {
    enum class Style { Line, Dots, LineAndDots };
    std::string label; // shown in the legend; empty: not listed
    std::vector<double> x, y;
    Style style = Style::Line;
    // Unset: the palette's colour for the series' place in the plot (ten colours,
    // then repeating).
    std::optional<Colour> colour;
    bool dashed = false;

    PlotSeries(std::string label = "", std::vector<double> x = {}, std::vector<double> y = {},
               Style style = Style::Line, std::optional<Colour> colour = std::nullopt,
               bool dashed = false)
        : label(std::move(label)), x(std::move(x)), y(std::move(y)), style(style), colour(colour),
          dashed(dashed) {}
};

// A point marked with a label beside it.
struct PlotMark {
    enum class Kind {
        Dot,  // a filled circle, the label in the plot's font
        Tick, // a short line rising from the point, the label smaller
    };
    double x, y;
    std::string label;
    Kind kind = Kind::Dot;
    Colour colour = kMarkRed;

    PlotMark(double x, double y, std::string label, Kind kind = Kind::Dot, Colour colour = kMarkRed)
        : x(x), y(y), label(std::move(label)), kind(kind), colour(colour) {}
};

// A horizontal line across the plot at `y`, its label at the right end.
struct PlotLine {
    double y;
    std::string label;
    bool dashed = true;
    Colour colour = kLineGrey;

    PlotLine(double y, std::string label, bool dashed = true, Colour colour = kLineGrey)
        : y(y), label(std::move(label)), dashed(dashed), colour(colour) {}
};

enum class LegendPlace {
    Auto, // the corner of the plot area where the legend covers the least of the curves
    TopRight,
    TopLeft,
    BottomRight,
    BottomLeft,
};

struct PlotSpec {
    static constexpr double kAuto = std::numeric_limits<double>::quiet_NaN();
    std::string title, xLabel, yLabel;
    bool logX = false;
    // Axis ranges; NaN: from the data.
    double xMin = kAuto, xMax = kAuto, yMin = kAuto, yMax = kAuto;
    std::vector<PlotSeries> series;
    std::vector<PlotMark> marks; // labels placed in this order: the first ones nearest
    std::vector<PlotLine> hLines;
    LegendPlace legend = LegendPlace::Auto;
};

// Writes the plot as a `width` x `height` pixel PNG at `path`. False with `error`
// set when the picture cannot be drawn or written.
bool writePng(const PlotSpec& plot, const std::string& path, std::string& error, int width = 800,
              int height = 500);

// A rectangle in pixels, y downwards.
struct Box {
    double x, y, w, h;
    bool overlaps(const Box& o) const {
        return x < o.x + o.w && o.x < x + w && y < o.y + o.h && o.y < y + h;
    }
    bool inside(const Box& o) const {
        return x >= o.x && y >= o.y && x + w <= o.x + o.w && y + h <= o.y + o.h;
    }
};

// Where the axes of a `width` x `height` picture put the plot area, pixels.
Box plotArea(int width, int height);

// A label of `w` x `h` pixels to be placed beside the point (anchorX, anchorY).
struct LabelRequest {
    double anchorX, anchorY, w, h;
};
struct LabelPlace {
    Box box;
    bool placed; // false: no room anywhere; the label is not to be drawn
};

// Places the labels in the order given, each in the first position that overlaps
// neither a label placed before it nor any of `obstacles` and lies within `area`:
// centred beside its anchor on the right, else on the left, else the same moved down,
// then up, by half a label height more at each try, until it would leave the area.
std::vector<LabelPlace> layoutLabels(const std::vector<LabelRequest>& labels, const Box& area,
                                     const std::vector<Box>& obstacles = {});

} // namespace measure
