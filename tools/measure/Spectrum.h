// Spectral analysis with FFTW. A PowerSpectrum is one-sided and scaled so that the
// bins of a sinusoid's main lobe add up to its mean square (A^2 / 2 for amplitude
// A) and the bins of the DC lobe to the square of the DC level, whatever the window
// and wherever the tone falls between bins: levels read off it are levels of the
// signal, not of the window.
#pragma once

#include <cstddef>
#include <vector>

namespace measure {

enum class Window {
    Hann,   // main lobe +-2 bins, for long-term spectra
    Kaiser, // beta 7 pi: side lobes below -160 dB, main lobe +-8 bins, for tones
};

class PowerSpectrum {
  public:
    // The spectrum of the `n` samples at `x` as one frame (FFT size n).
    PowerSpectrum(const float* x, size_t n, double rate, Window window = Window::Kaiser);
    // The Welch average of frames of `fftSize` samples hopping by half a frame
    // (Hann window): a long-term spectrum. At least one frame: a shorter signal is
    // padded with zeros.
    static PowerSpectrum averaged(const float* x, size_t n, double rate, size_t fftSize);

    double rate() const { return mRate; }
    size_t fftSize() const { return mSize; }
    size_t bins() const { return mPower.size(); } // fftSize / 2 + 1, DC to Nyquist
    double binHz() const { return mRate / static_cast<double>(mSize); }
    double frequency(double bin) const { return bin * binHz(); }
    size_t binOf(double hz) const;            // nearest bin, held within 0..bins()-1
    size_t lobeBins() const { return mLobe; } // main-lobe half-width of the window
    // The window's equivalent noise bandwidth in bins: a tone centred on a bin has
    // this fraction of its power in that bin, so power(k) x this reads as a tone level.
    double noiseBandwidthBins() const { return mNoiseBandwidth; }
    double power(size_t bin) const { return mPower[bin]; }
    const std::vector<double>& powers() const { return mPower; }

    // Mean square of the tone nearest `hz`: its main lobe summed.
    double tonePower(double hz) const;
    // Mean square of everything with loHz <= f < hiHz.
    double bandPower(double loHz, double hiHz) const;
    // Sum of the bins first..last, held within the spectrum.
    double binSum(long first, long last) const;

  private:
    PowerSpectrum(double rate, size_t size, size_t lobe);
    double mRate;
    size_t mSize;
    size_t mLobe;
    double mNoiseBandwidth = 1.0;
    std::vector<double> mPower;
};

// The gain of a linear system from `in` to `out` (n samples each) per bin of an
// fftSize-point analysis: |cross spectrum| / input power spectrum, Welch-averaged
// with Hann frames (the H1 estimate). Parts of `out` not linear in `in` average out.
struct TransferMagnitude {
    double binHz;
    std::vector<double> gain; // DC to Nyquist
};
TransferMagnitude transferMagnitude(const float* in, const float* out, size_t n, double rate,
                                    size_t fftSize);

} // namespace measure
