// The real-time rule: the render path allocates nothing. This program counts every
// operator new (AllocCounter.cpp), so it is kept apart from the main test program.
#include "blocks/QrClipper.h"
#include "effect/MasterCallback.h"
#include "tests/AllocCounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

void* volatile gKeep = nullptr;

TEST(AllocCounter, CountsAllocations) {
    AllocCount count;
    auto* text = new std::string(200, 'x');
    gKeep = text;
    auto block = std::make_unique<float[]>(64);
    gKeep = block.get();
    EXPECT_GE(count.sinceStart(), 2u);
    delete text;
}

TEST(Realtime, ClipperProcessingAllocatesNothing) {
    std::vector<float> in(4096), out(4096), inPlace(4096);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = 1.5f * std::sin(0.01f * static_cast<float>(i));
    for (float time : {0.0f, 0.03f, 0.5f, 2.0f, 50.0f}) { // hard clip, 1, 22, 88, 100
        auto clipper = std::make_unique<QrClipper>(masterCallback);
        clipper->setParameter(QrClipper::kAverageTime, time);
        float* i = in.data();
        float* o = out.data();
        float* p = inPlace.data();
        AllocCount count;
        for (int block = 0; block < 8; ++block) {
            clipper->processReplacing(&i, &o, 512);
            clipper->process(&i, &o, 512);
            clipper->processReplacing(&p, &p, 512);
            clipper->getAeffect()->processReplacing(clipper->getAeffect(), &i, &o, 256);
            clipper->getAeffect()->process(clipper->getAeffect(), &i, &o, 256);
        }
        // Setting the window (it may come with a model switch on the render thread)
        // uses the fixed ring: no allocation either.
        clipper->setParameter(QrClipper::kAverageTime, time);
        EXPECT_EQ(count.sinceStart(), 0u) << time;
    }
}

} // namespace
