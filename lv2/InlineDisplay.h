// Ardour's inline display: a small picture of the plug-in in the mixer strip, the
// model playing and the output meter. Ardour offers it as a feature (queue_draw)
// and asks the plug-in's extension data for render(). run() hands over what the
// picture shows through atomics and a path box and asks for a redraw at most 25
// times a second; render() draws on the host's interface thread, never the audio
// thread, into a surface the instance owns until cleanup.
#pragma once

#include "lv2/PathBox.h"

#include <lv2/core/lv2.h>

#include <atomic>
#include <cstdint>

typedef struct _cairo_surface cairo_surface_t;

namespace quorlelv2 {

constexpr const char* kInlineDisplayInterfaceUri =
    "http://harrisonconsoles.com/lv2/inlinedisplay#interface";
constexpr const char* kInlineDisplayQueueDrawUri =
    "http://harrisonconsoles.com/lv2/inlinedisplay#queue_draw";

// The extension's types, as the host expects them: an ARGB32 image the plug-in
// owns, the host's queue_draw() and the plug-in's render().
struct InlineImage {
    unsigned char* data;
    int width, height, stride;
};
struct InlineQueueDraw {
    void* handle;
    void (*queueDraw)(void* handle);
};
struct InlineDisplayInterface {
    InlineImage* (*render)(LV2_Handle instance, uint32_t width, uint32_t maxHeight);
};

class InlineDisplay {
  public:
    ~InlineDisplay();
    // Setup thread: the host's feature (null: no inline display) and the rate.
    void start(const InlineQueueDraw* queue, double rate);
    // Audio thread: what the picture shows after a run() of `frames`; asks the host
    // to draw when it changed and a 25th of a second has passed. `modelName` is
    // read only when `model` differs from the one shown.
    void update(int32_t model, const char* modelName, uint32_t nameBytes, float peakDb, float rmsDb,
                uint32_t frames);
    // The host's interface thread: draws the picture `width` wide, at most
    // `maxHeight` high; null when it cannot be drawn.
    InlineImage* render(uint32_t width, uint32_t maxHeight);
    // Whether the host offered the feature.
    bool active() const { return mQueue != nullptr; }
    // Audio thread: the model the picture names (-1: none yet).
    int32_t modelShown() const { return mModel; }

  private:
    const InlineQueueDraw* mQueue = nullptr;
    uint32_t mInterval = 1920, mSinceDraw = 0; // frames
    int32_t mModel = -1;
    float mShownPeak = -1000.0f;
    PathBox<64> mName;
    std::atomic<float> mPeakDb{-90.0f}, mRmsDb{-90.0f};
    cairo_surface_t* mSurface = nullptr;
    InlineImage mImage = {};
};

} // namespace quorlelv2
