// A real-to-complex transform of one size (FFTW, double precision) with buffers of
// its own: fill input(), run(), read the bins. Used to level impulse responses as
// they load and by the measuring tools.
#pragma once

#include <complex>
#include <cstddef>

struct fftw_plan_s;

class RealFft {
  public:
    // Setup thread (any number at once: plans are made under FFTW's planner lock).
    // Throws std::bad_alloc when the buffers or the plan cannot be made.
    explicit RealFft(size_t size);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    size_t size() const { return mSize; }
    // size() samples, read by run().
    double* input() { return mIn; }
    void run();
    // Bins 0..size()/2.
    size_t bins() const { return mSize / 2 + 1; }
    std::complex<double> bin(size_t k) const { return {mOut[k][0], mOut[k][1]}; }
    // |bin k|^2.
    double power(size_t k) const { return mOut[k][0] * mOut[k][0] + mOut[k][1] * mOut[k][1]; }

  private:
    void release();

    size_t mSize;
    double* mIn = nullptr;
    double (*mOut)[2] = nullptr; // FFTW's complex layout
    fftw_plan_s* mPlan = nullptr;
};
