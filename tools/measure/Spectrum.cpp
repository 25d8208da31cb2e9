#include "tools/measure/Spectrum.h"

#include "main/RealFft.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <new>
#include <stdexcept>

namespace measure {

namespace {

constexpr double kPi = 3.141592653589793238462643383279;
constexpr double kKaiserBeta = 7.0 * kPi;
// Main-lobe half-width in bins: sqrt(1 + (beta / pi)^2) = 7.07 for the Kaiser window,
// 2 for Hann; rounded up so that the lobe sum holds all of a tone between bins.
constexpr size_t kKaiserLobe = 8;
constexpr size_t kHannLobe = 2;

std::vector<double> makeWindow(Window window, size_t n) {
    std::vector<double> w(n, 1.0);
    if (n < 2)
        return w;
    const double last = static_cast<double>(n - 1);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / last; // 0..1
        if (window == Window::Hann)
            w[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * t);
        else {
            const double r = 2.0 * t - 1.0;
            w[i] = std::cyl_bessel_i(0.0, kKaiserBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) /
                   std::cyl_bessel_i(0.0, kKaiserBeta);
        }
    }
    return w;
}

// n sum(w^2) / sum(w)^2
double noiseBandwidth(const std::vector<double>& w) {
    double sum = 0.0, squares = 0.0;
    for (double v : w) {
        sum += v;
        squares += v * v;
    }
    return sum > 0.0 ? static_cast<double>(w.size()) * squares / (sum * sum) : 1.0;
}

double energy(const std::vector<double>& w) {
    double sum = 0.0;
    for (double v : w)
        sum += v * v;
    return sum;
}

// Windows the samples at `x` (zeros past `n`) into the transform's input.
void load(RealFft& fft, const std::vector<double>& w, const float* x, size_t n) {
    double* in = fft.input();
    for (size_t i = 0; i < w.size(); ++i)
        in[i] = i < n ? w[i] * static_cast<double>(x[i]) : 0.0;
}

// The frame starts of a Welch analysis: hop half a frame, at least one frame.
std::vector<size_t> frameStarts(size_t n, size_t fftSize) {
    std::vector<size_t> starts;
    const size_t hop = std::max<size_t>(1, fftSize / 2);
    for (size_t at = 0; at + fftSize <= n; at += hop)
        starts.push_back(at);
    if (starts.empty())
        starts.push_back(0);
    return starts;
}

} // namespace

PowerSpectrum::PowerSpectrum(double rate, size_t size, size_t lobe)
    : mRate(rate), mSize(size), mLobe(lobe), mPower(size / 2 + 1, 0.0) {}

PowerSpectrum::PowerSpectrum(const float* x, size_t n, double rate, Window window)
    : PowerSpectrum(rate, n, window == Window::Kaiser ? kKaiserLobe : kHannLobe) {
    if (n < 2)
        throw std::invalid_argument("a spectrum needs at least two samples");
    const std::vector<double> w = makeWindow(window, n);
    RealFft fft(n);
    load(fft, w, x, n);
    fft.run();
    // Parseval: the bins of a whole lobe (both sides) hold n * sum(w^2) * mean square.
    mNoiseBandwidth = noiseBandwidth(w);
    const double scale = 1.0 / (static_cast<double>(n) * energy(w));
    for (size_t k = 0; k < mPower.size(); ++k) {
        const bool paired = k != 0 && 2 * k != n; // has a mirror bin at -k
        mPower[k] = (paired ? 2.0 : 1.0) * std::norm(fft.bin(k)) * scale;
    }
}

PowerSpectrum PowerSpectrum::averaged(const float* x, size_t n, double rate, size_t fftSize) {
    if (fftSize < 2)
        throw std::invalid_argument("a spectrum needs at least two samples");
    PowerSpectrum result(rate, fftSize, kHannLobe);
    const std::vector<double> w = makeWindow(Window::Hann, fftSize);
    result.mNoiseBandwidth = noiseBandwidth(w);
    const double scale = 1.0 / (static_cast<double>(fftSize) * energy(w));
    RealFft fft(fftSize);
    const std::vector<size_t> starts = frameStarts(n, fftSize);
    for (size_t at : starts) {
        load(fft, w, x + at, n - at);
        fft.run();
        for (size_t k = 0; k < result.mPower.size(); ++k) {
            const bool paired = k != 0 && 2 * k != fftSize;
            result.mPower[k] += (paired ? 2.0 : 1.0) * std::norm(fft.bin(k)) * scale;
        }
    }
    for (double& p : result.mPower)
        p /= static_cast<double>(starts.size());
    return result;
}

size_t PowerSpectrum::binOf(double hz) const {
    const double k = std::round(hz / binHz());
    if (!(k > 0.0))
        return 0;
    return std::min(static_cast<size_t>(k), bins() - 1);
}

double PowerSpectrum::binSum(long first, long last) const {
    first = std::max(first, 0L);
    last = std::min(last, static_cast<long>(bins()) - 1);
    double sum = 0.0;
    for (long k = first; k <= last; ++k)
        sum += mPower[static_cast<size_t>(k)];
    return sum;
}

double PowerSpectrum::tonePower(double hz) const {
    const long centre = static_cast<long>(binOf(hz));
    const long lobe = static_cast<long>(mLobe);
    return binSum(centre - lobe, centre + lobe);
}

double PowerSpectrum::bandPower(double loHz, double hiHz) const {
    double sum = 0.0;
    for (size_t k = 0; k < bins(); ++k) {
        const double f = frequency(static_cast<double>(k));
        if (f >= loHz && f < hiHz)
            sum += mPower[k];
    }
    return sum;
}

TransferMagnitude transferMagnitude(const float* in, const float* out, size_t n, double rate,
                                    size_t fftSize) {
    if (fftSize < 2)
        throw std::invalid_argument("a transfer function needs at least two samples");
    const std::vector<double> w = makeWindow(Window::Hann, fftSize);
    RealFft a(fftSize), b(fftSize);
    std::vector<std::complex<double>> cross(fftSize / 2 + 1);
    std::vector<double> inPower(fftSize / 2 + 1, 0.0);
    for (size_t at : frameStarts(n, fftSize)) {
        load(a, w, in + at, n - at);
        load(b, w, out + at, n - at);
        a.run();
        b.run();
        for (size_t k = 0; k < cross.size(); ++k) {
            cross[k] += std::conj(a.bin(k)) * b.bin(k);
            inPower[k] += std::norm(a.bin(k));
        }
    }
    TransferMagnitude result{rate / static_cast<double>(fftSize),
                             std::vector<double>(cross.size())};
    for (size_t k = 0; k < cross.size(); ++k)
        result.gain[k] = inPower[k] > 0.0 ? std::abs(cross[k]) / inPower[k] : 0.0;
    return result;
}

} // namespace measure
