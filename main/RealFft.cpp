#include "main/RealFft.h"

#include <fftw3.h>

#include <mutex>
#include <new>

RealFft::RealFft(size_t size) : mSize(size) {
    mIn = fftw_alloc_real(size);
    mOut = fftw_alloc_complex(size / 2 + 1);
    // Plans are made on several threads at once (and by other parts of the process):
    // FFTW's own planner lock, set once, serialises them.
    static std::once_flag once;
    std::call_once(once, [] { fftw_make_planner_thread_safe(); });
    if (mIn && mOut)
        mPlan = fftw_plan_dft_r2c_1d(static_cast<int>(size), mIn, mOut, FFTW_ESTIMATE);
    if (!mPlan) {
        release();
        throw std::bad_alloc();
    }
}

RealFft::~RealFft() {
    release();
}

void RealFft::run() {
    fftw_execute(mPlan);
}

void RealFft::release() {
    if (mPlan)
        fftw_destroy_plan(mPlan);
    fftw_free(mIn);
    fftw_free(mOut);
    mPlan = nullptr;
    mIn = nullptr;
    mOut = nullptr;
}
