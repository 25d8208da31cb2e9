#include "lv2/InlineDisplay.h"

#include <cairo/cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quorlelv2 {

namespace {

constexpr double kFloorDb = -60.0; // the meter's left end

// The meter's length for a level in dBFS, 0..1.
double fraction(float db) {
    return std::clamp((static_cast<double>(db) - kFloorDb) / -kFloorDb, 0.0, 1.0);
}

} // namespace

InlineDisplay::~InlineDisplay() {
    if (mSurface)
        cairo_surface_destroy(mSurface);
}

void InlineDisplay::start(const InlineQueueDraw* queue, double rate) {
    mQueue = queue && queue->queueDraw ? queue : nullptr;
    mInterval = static_cast<uint32_t>(std::max(1.0, rate / 25.0));
}

void InlineDisplay::update(int32_t model, const char* modelName, uint32_t nameBytes, float peakDb,
                           float rmsDb, uint32_t frames) {
    if (!mQueue)
        return;
    bool changed = false;
    if (model != mModel && modelName) {
        char name[64];
        const uint32_t n = std::min<uint32_t>(nameBytes, sizeof name - 1);
        std::memcpy(name, modelName, n);
        name[n] = 0;
        mName.write(name);
        mModel = model;
        changed = true;
    }
    mPeakDb.store(peakDb, std::memory_order_relaxed);
    mRmsDb.store(rmsDb, std::memory_order_relaxed);
    changed = changed || std::fabs(peakDb - mShownPeak) >= 0.5f;
    mSinceDraw += frames;
    if (changed && mSinceDraw >= mInterval) {
        mSinceDraw = 0;
        mShownPeak = peakDb;
        mQueue->queueDraw(mQueue->handle);
    }
}

InlineImage* InlineDisplay::render(uint32_t width, uint32_t maxHeight) {
    const int w = static_cast<int>(std::clamp<uint32_t>(width, 16, 1024));
    const int h = static_cast<int>(std::clamp<uint32_t>(std::min(maxHeight, width / 3), 12, 256));
    if (!mSurface || cairo_image_surface_get_width(mSurface) != w ||
        cairo_image_surface_get_height(mSurface) != h) {
        if (mSurface)
            cairo_surface_destroy(mSurface);
        mSurface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    }
    if (cairo_surface_status(mSurface) != CAIRO_STATUS_SUCCESS)
        return nullptr;
    char name[64] = "";
    mName.readInto(name, sizeof name); // a write under way: the name shows next time
    const float peak = mPeakDb.load(std::memory_order_relaxed);
    const float rms = mRmsDb.load(std::memory_order_relaxed);

    cairo_t* cr = cairo_create(mSurface);
    cairo_set_source_rgb(cr, 0.13, 0.12, 0.11);
    cairo_paint(cr);
    // The model's name in the upper half.
    cairo_set_source_rgb(cr, 0.93, 0.84, 0.62);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, std::max(7.0, h * 0.42));
    cairo_move_to(cr, 3.0, h * 0.48);
    cairo_show_text(cr, name);
    // The output meter below: RMS as a bar, the peak as a line, red from 0 dBFS.
    const double top = h * 0.62, bar = h * 0.3, length = w - 6.0;
    cairo_set_source_rgb(cr, 0.25, 0.24, 0.22);
    cairo_rectangle(cr, 3.0, top, length, bar);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.42, 0.74, 0.38);
    cairo_rectangle(cr, 3.0, top, length * fraction(rms), bar);
    cairo_fill(cr);
    if (peak >= 0.0f)
        cairo_set_source_rgb(cr, 0.9, 0.2, 0.15);
    else
        cairo_set_source_rgb(cr, 0.95, 0.95, 0.9);
    const double x = 3.0 + length * fraction(peak);
    cairo_rectangle(cr, std::max(3.0, x - 1.0), top, 2.0, bar);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_surface_flush(mSurface);

    mImage.data = cairo_image_surface_get_data(mSurface);
    mImage.width = w;
    mImage.height = h;
    mImage.stride = cairo_image_surface_get_stride(mSurface);
    return &mImage;
}

} // namespace quorlelv2
