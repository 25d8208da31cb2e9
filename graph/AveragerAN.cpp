#include "graph/AveragerAN.h"

#include <cmath>
#include <new>

AveragerAN::~AveragerAN() {
    delete[] ring;
}

void AveragerAN::setAverageSamples(int n) {
    if (n < 1 || n > kMaxAverageSamples) {
        if (averageSamples > 0)
            return;
        n = 1;
    }
    if (n == averageSamples)
        return;
    float* fresh = new (std::nothrow) float[static_cast<size_t>(n)]();
    if (!fresh)
        return;
    delete[] ring;
    ring = fresh;
    capacity = n;
    ringPos = 0;
    sum = 0.0;
    averageSamples = n;
}

int32_t AveragerAN::samplesForMs(double ms, double rate) {
    const double n = std::round(ms * rate / 1000.0);
    if (!(n >= 1.0))
        return 1;
    if (n >= static_cast<double>(kMaxAverageSamples))
        return kMaxAverageSamples;
    return static_cast<int32_t>(n);
}

void AveragerAN::setWindowMs(double ms) {
    windowMs = ms;
}

void AveragerAN::followRate() {
    if (!ring)
        return;
    int32_t n = samplesForMs(windowMs, rate);
    if (n > capacity)
        n = capacity; // only above kMaxRunningRate
    if (n == averageSamples)
        return;
    averageSamples = n;
    clearState();
}

void AveragerAN::setSampleRate(float hz) {
    if (!(hz > 0.0f) || !std::isfinite(hz))
        return;
    rate = hz;
    if (windowMs > 0.0)
        followRate();
}

void AveragerAN::prepare() {
    if (windowMs > 0.0) {
        const int32_t wanted = capacityForMs(windowMs);
        if (!ring || capacity < wanted) {
            float* fresh = new (std::nothrow) float[static_cast<size_t>(wanted)]();
            if (!fresh)
                return; // no ring: the node measures nothing
            delete[] ring;
            ring = fresh;
            capacity = wanted;
            averageSamples = 0;
        }
        followRate();
        return;
    }
    // Truncate toward zero; values beyond the int range count as out of range.
    const float length = getInParam(0, 1.0f);
    int n = 0;
    if (length > -2.0f && length < static_cast<float>(kMaxAverageSamples) + 1.0f)
        n = static_cast<int>(length);
    setAverageSamples(n);
}

void AveragerAN::process(float*** buffers, int sampleFrames) {
    // A window in samples follows its mapping; one in milliseconds follows the rate
    // when it is set, and is only reserved here if no prepare() came first.
    if (windowMs <= 0.0 || !ring)
        prepare();
    if (!ring || !input || input->outBuffer < 0)
        return;

    const float* x = buffers[input->outBuffer][0];
    const int32_t size = averageSamples;
    float* r = ring;
    int32_t pos = ringPos;
    double s = sum;
    for (int i = 0; i < sampleFrames; ++i) {
        pos = pos + 1 == size ? 0 : pos + 1;
        s -= r[pos];
        r[pos] = std::fabs(x[i]);
        s += r[pos];
    }
    ringPos = pos;
    sum = s;
}

float AveragerAN::getParam(int index) {
    if (index != 0)
        return 1.0f;
    if (averageSamples < 1)
        return 0.0f; // nothing measured yet
    return static_cast<float>(sum) / static_cast<float>(averageSamples);
}

void AveragerAN::clearState() {
    for (int32_t i = 0; i < averageSamples; ++i)
        ring[i] = 0.0f;
    ringPos = 0;
    sum = 0.0;
}
