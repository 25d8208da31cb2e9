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
    ringPos = 0;
    sum = 0.0;
    averageSamples = n;
}

void AveragerAN::prepare() {
    // Truncate toward zero; values beyond the int range count as out of range.
    const float length = getInParam(0, 1.0f);
    int n = 0;
    if (length > -2.0f && length < static_cast<float>(kMaxAverageSamples) + 1.0f)
        n = static_cast<int>(length);
    setAverageSamples(n);
}

void AveragerAN::process(float*** buffers, int sampleFrames) {
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
