// The measuring pictures: mark labels laid out clear of each other and of the
// picture's edges, reference lines, marks and legend drawn where they belong, and
// the pictures of the built bundle's models written.
#include "tools/measure/ModelPlots.h"
#include "tools/measure/Plot.h"
#include "tools/measure/Renderer.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>

namespace {

namespace fs = std::filesystem;
using namespace measure;

struct TempDir {
    fs::path path = fs::temp_directory_path() / ("quorle-plots-" + std::to_string(::getpid()));
    TempDir() { fs::create_directories(path); }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

TEST(MeasurePlotLayout, CrowdedLabelsNeverOverlapEachOtherObstaclesOrTheEdges) {
    const Box area{72, 40, 704, 404};
    const std::vector<Box> obstacles = {{600, 48, 160, 120}}; // a legend, top right
    std::vector<LabelRequest> labels;
    for (int i = 0; i < 30; ++i) // a cluster of marks a few pixels apart
        labels.push_back({400.0 + (i % 5) * 3.0, 200.0 + i * 2.0, 110, 16});
    for (const auto& corner : {std::pair{72.0, 40.0},
                               {776.0, 40.0},
                               {72.0, 444.0},
                               {776.0, 444.0},
                               {700.0, 100.0}}) // in the corners and under the legend
        labels.push_back({corner.first, corner.second, 110, 16});
    const std::vector<LabelPlace> places = layoutLabels(labels, area, obstacles);
    ASSERT_EQ(places.size(), labels.size());
    for (size_t i = 0; i < places.size(); ++i) {
        ASSERT_TRUE(places[i].placed) << i; // there is room for all of them
        const Box& b = places[i].box;
        EXPECT_TRUE(b.inside(area)) << i;
        EXPECT_EQ(b.w, 110);
        EXPECT_EQ(b.h, 16);
        for (const Box& o : obstacles)
            EXPECT_FALSE(b.overlaps(o)) << i;
        for (size_t j = 0; j < i; ++j)
            EXPECT_FALSE(b.overlaps(places[j].box)) << i << " and " << j;
    }
    // An uncrowded label sits right beside its mark.
    EXPECT_EQ(places[0].box.y, 200.0 - 8.0);
    EXPECT_GT(places[0].box.x, 400.0);
    EXPECT_LT(places[0].box.x, 410.0);

    // What cannot fit, or has no place at all, is left out rather than drawn outside.
    const std::vector<LabelPlace> refused = layoutLabels(
        {{100, 100, 900, 16}, {NAN, 100, 50, 16}, {100, 100, 50, INFINITY}, {100, 100, 50, 0}},
        area);
    for (const LabelPlace& p : refused)
        EXPECT_FALSE(p.placed);
}

struct Image {
    std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> surface;
    explicit Image(const std::string& path)
        : surface(cairo_image_surface_create_from_png(path.c_str()), cairo_surface_destroy) {}
    bool ok() const { return cairo_surface_status(surface.get()) == CAIRO_STATUS_SUCCESS; }
    // 0xRRGGBB of the pixel at (x, y).
    uint32_t at(double x, double y) const {
        const unsigned char* data = cairo_image_surface_get_data(surface.get());
        const int stride = cairo_image_surface_get_stride(surface.get());
        return reinterpret_cast<const uint32_t*>(data + static_cast<int>(y) *
                                                            stride)[static_cast<int>(x)] &
               0xFFFFFFu;
    }
};

// Whether `pixel` is `c` drawn at least about two thirds opaque over white.
bool looksLike(uint32_t pixel, const Colour& c) {
    const double got[3] = {((pixel >> 16) & 0xFF) / 255.0, ((pixel >> 8) & 0xFF) / 255.0,
                           (pixel & 0xFF) / 255.0};
    const double want[3] = {c.r, c.g, c.b};
    for (int k = 0; k < 3; ++k)
        if (std::fabs(got[k] - want[k]) > 0.35)
            return false;
    return true;
}

TEST(MeasurePlot, DrawsReferenceLinesMarksAndLegendWhereTheyBelong) {
    TempDir dir;
    const Colour green{0, 1, 0}, blue{0, 0, 1}, magenta{1, 0, 1}, curve{1, 0.5, 0};
    PlotSpec plot;
    plot.xMin = 0;
    plot.xMax = 10;
    plot.yMin = -100;
    plot.yMax = 0;
    // A curve along the top: the legend must find another place than the top corners.
    plot.series.push_back({"curve", {0, 10}, {-5, -5}, PlotSeries::Style::Line, curve});
    plot.hLines.push_back({-50, "limit", true, green});
    plot.marks.push_back({2, -20, "a dot", PlotMark::Kind::Dot, blue});
    plot.marks.push_back({8, -80, "H2", PlotMark::Kind::Tick, magenta});
    const std::string path = (dir.path / "marks.png").string();
    std::string error;
    ASSERT_TRUE(writePng(plot, path, error, 800, 500)) << error;
    const Image image(path);
    ASSERT_TRUE(image.ok());

    const Box a = plotArea(800, 500);
    const auto px = [&](double x) { return a.x + x / 10.0 * a.w; };
    const auto py = [&](double y) { return a.y - y / 100.0 * a.h; };
    // The dashed line: about half of its row, less its label at the right end.
    int lit = 0;
    for (double x = a.x + 1; x < a.x + a.w - 1; ++x)
        lit += looksLike(image.at(x, py(-50)), green) || looksLike(image.at(x, py(-50) - 1), green);
    EXPECT_GT(lit, a.w * 0.35);
    EXPECT_LT(lit, a.w * 0.85);
    EXPECT_TRUE(looksLike(image.at(px(2), py(-20)), blue));
    EXPECT_TRUE(looksLike(image.at(px(8), py(-80) - 7), magenta)); // the tick rises
    EXPECT_FALSE(looksLike(image.at(px(8), py(-80) + 4), magenta));
    // Each label beside its mark, in its colour.
    int dotLabel = 0, tickLabel = 0;
    for (double x = 0; x < 60; ++x)
        for (double y = -12; y <= 12; ++y) {
            dotLabel += looksLike(image.at(px(2) + 6 + x, py(-20) + y), blue);
            tickLabel += looksLike(image.at(px(8) + 6 + x / 2, py(-80) - 10 + y), magenta);
        }
    EXPECT_GT(dotLabel, 20);
    EXPECT_GT(tickLabel, 8);
    // The curve is nowhere hidden under the legend, whose sample is drawn below it.
    int hidden = 0, sample = 0;
    for (double x = a.x + 2; x < a.x + a.w - 2; ++x) {
        hidden +=
            !looksLike(image.at(x, py(-5)), curve) && !looksLike(image.at(x, py(-5) - 1), curve);
        for (double y = py(-50) + 2; y < a.y + a.h - 1; ++y)
            sample += looksLike(image.at(x, y), curve);
    }
    EXPECT_EQ(hidden, 0);
    EXPECT_GT(sample, 15);
}

TEST(MeasurePlots, WritesThePicturesItReturnsForTheBuiltBundle) {
    TempDir dir;
    Renderer r(QUORLE_BUNDLE_DIR);
    ASSERT_FALSE(r.modelNames().empty());
    const std::string base = (dir.path / fileSafe(r.modelNames().front())).string();
    std::vector<std::string> expected;
    for (const char* picture :
         {"thd", "alias", "response", "transfer", "level", "breakup", "sustain"})
        expected.push_back(base + "-" + picture + ".png");
    EXPECT_EQ(plotModel(r, 0, 48000.0, dir.path.string()), expected);
    const size_t ofOne = expected.size();
    for (const char* picture : {"breakup", "thd", "response", "sustain"})
        expected.push_back((dir.path / (std::string("all-") + picture + ".png")).string());
    EXPECT_EQ(plotAllModels(r, 48000.0, dir.path.string()),
              std::vector<std::string>(expected.begin() + ofOne, expected.end()));
    for (const std::string& path : expected) {
        const Image image(path);
        ASSERT_TRUE(image.ok()) << path;
        EXPECT_EQ(cairo_image_surface_get_width(image.surface.get()), 800) << path;
    }
}

} // namespace
