// resampler-compare: the candidate resampling libraries for oversampled rendering,
// measured as the plug-in would use them: an up-by-N then down-by-N round trip at
// 48 kHz, one channel, blocks of 512 base-rate frames, every call giving exactly its
// block's worth of output (a library that holds samples back gets a FIFO whose
// pre-fill, found by a dry run, counts in its latency).
//
// Columns: latency of an impulse's peak (base-rate samples) and the group delay at
// 1 kHz (whole or not), the FIFO pre-fill a library needed, CPU as x real time per
// channel (median and best of 5 runs, thread CPU time), the worst upsampler image
// for tones of 1..18 kHz and for 20 kHz, the worst downsampler alias for tones from
// 0.55 fs to N fs/2, passband deviation up to 18 kHz, the -3 dB edge, and heap
// allocations counted in the process calls after the first block.
//
//   resampler-compare [--quick] [NAME-PART]
//
// The libraries it finds at build time take part (Debian: libzita-resampler-dev,
// libsoxr-dev, libsamplerate0-dev); the plug-in's own cascade always does.
#include "bench/ThreadClock.h"
#include "blocks/Oversampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifdef QUORLE_HAVE_ZITA
#include <zita-resampler/resampler.h>
#endif
#ifdef QUORLE_HAVE_SOXR
#include <soxr.h>
#endif
#ifdef QUORLE_HAVE_SAMPLERATE
#include <samplerate.h>
#endif

// Every heap allocation of the process is counted while gCounting is set.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}
namespace {
bool gCounting = false;
long gAllocations = 0;
void counted() {
    if (gCounting)
        ++gAllocations;
}
} // namespace
extern "C" {
void* malloc(size_t n) {
    counted();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t s) {
    counted();
    return __libc_calloc(n, s);
}
void* realloc(void* p, size_t n) {
    counted();
    return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
    counted();
    return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
    counted();
    return __libc_memalign(a, n);
}
int posix_memalign(void** p, size_t a, size_t n) {
    counted();
    *p = __libc_memalign(a, n);
    return *p ? 0 : 12;
}
void free(void* p) {
    __libc_free(p);
}
}

namespace {

constexpr double kRate = 48000.0; // Hz, the base rate
constexpr int kBlock = 512;       // base-rate frames per call
constexpr int kSettle = 16384;    // base-rate frames before any analysis
constexpr int kAnalysis = 16384;  // base-rate frames analysed

// A library's converter: takes `n` samples, writes what it has (at most `cap`).
class Engine {
  public:
    virtual ~Engine() = default;
    virtual int push(const float* in, int n, float* out, int cap) = 0;
};

// A converter driven as a fixed-ratio block processor: every call gives exactly
// `n * num / den` samples, from a FIFO pre-filled with `prefill` zeros.
class Stage {
  public:
    Stage(std::unique_ptr<Engine> engine, int num, int den, int prefill)
        : engine(std::move(engine)), num(num), den(den), fifo(1 << 20), scratch(1 << 18) {
        fill = prefill;
    }
    // Writes `n * num / den` samples; false when the FIFO ran short.
    bool run(const float* in, int n, float* out) {
        const int got = engine->push(in, n, scratch.data(), static_cast<int>(scratch.size()));
        produced += got;
        std::memcpy(fifo.data() + fill, scratch.data(), sizeof(float) * static_cast<size_t>(got));
        fill += got;
        const int want = n * num / den;
        required += want;
        lowest = std::min(lowest, produced - required);
        if (fill < want) {
            std::memset(out, 0, sizeof(float) * static_cast<size_t>(want));
            return false;
        }
        std::memcpy(out, fifo.data(), sizeof(float) * static_cast<size_t>(want));
        std::memmove(fifo.data(), fifo.data() + want,
                     sizeof(float) * static_cast<size_t>(fill - want));
        fill -= want;
        return true;
    }
    long shortfall() const { return -std::min(lowest, 0L); } // samples the FIFO needed

  private:
    std::unique_ptr<Engine> engine;
    int num, den;
    std::vector<float> fifo, scratch;
    int fill = 0;
    long produced = 0, required = 0, lowest = 0;
};

struct Candidate {
    std::string name;
    // A converter from `from` Hz to `to` Hz.
    std::function<std::unique_ptr<Engine>(double from, double to)> make;
};

#ifdef QUORLE_HAVE_ZITA
class ZitaEngine : public Engine {
  public:
    ZitaEngine(double from, double to, unsigned hlen) {
        if (r.setup(static_cast<unsigned>(from), static_cast<unsigned>(to), 1, hlen) != 0)
            std::abort();
    }
    int push(const float* in, int n, float* out, int cap) override {
        r.inp_count = static_cast<unsigned>(n);
        r.inp_data = const_cast<float*>(in);
        r.out_count = static_cast<unsigned>(cap);
        r.out_data = out;
        r.process();
        return cap - static_cast<int>(r.out_count);
    }

  private:
    Resampler r;
};
#endif

#ifdef QUORLE_HAVE_SOXR
class SoxrEngine : public Engine {
  public:
    SoxrEngine(double from, double to, unsigned long recipe) {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        s = soxr_create(from, to, 1, &error, &io, &quality, &runtime);
        if (!s || error)
            std::abort();
    }
    ~SoxrEngine() override { soxr_delete(s); }
    int push(const float* in, int n, float* out, int cap) override {
        size_t used = 0, done = 0;
        soxr_process(s, in, static_cast<size_t>(n), &used, out, static_cast<size_t>(cap), &done);
        return static_cast<int>(done);
    }

  private:
    soxr_t s = nullptr;
};
#endif

#ifdef QUORLE_HAVE_SAMPLERATE
class SrcEngine : public Engine {
  public:
    SrcEngine(double from, double to, int type) : ratio(to / from) {
        int error = 0;
        s = src_new(type, 1, &error);
        if (!s)
            std::abort();
    }
    ~SrcEngine() override { src_delete(s); }
    int push(const float* in, int n, float* out, int cap) override {
        int total = 0;
        while (n > 0) {
            SRC_DATA d = {};
            d.data_in = in;
            d.data_out = out + total;
            d.input_frames = n;
            d.output_frames = cap - total;
            d.src_ratio = ratio;
            if (src_process(s, &d) != 0)
                std::abort();
            in += d.input_frames_used;
            n -= static_cast<int>(d.input_frames_used);
            total += static_cast<int>(d.output_frames_gen);
            if (d.input_frames_used == 0 && d.output_frames_gen == 0)
                break;
        }
        return total;
    }

  private:
    SRC_STATE* s = nullptr;
    double ratio;
};
#endif

// The plug-in's own halfband cascade (blocks/Oversampler.h), one direction per instance.
class OwnEngine : public Engine {
  public:
    OwnEngine(double from, double to)
        : up(to > from), factor(static_cast<int>(std::lround(up ? to / from : from / to))),
          os(up ? from : to, kBlock) {
        os.setFactor(factor);
    }
    int push(const float* in, int n, float* out, int) override {
        if (up) {
            os.upsample(in, n, out);
            return n * factor;
        }
        os.downsample(in, out, n / factor);
        return n / factor;
    }

  private:
    bool up;
    int factor;
    Oversampler os;
};

std::vector<Candidate> candidates() {
    std::vector<Candidate> list;
    list.push_back({"own halfband", [](double from, double to) {
                        return std::unique_ptr<Engine>(new OwnEngine(from, to));
                    }});
#ifdef QUORLE_HAVE_ZITA
    for (unsigned hlen : {16u, 24u, 32u, 48u})
        list.push_back({"zita hlen " + std::to_string(hlen), [hlen](double from, double to) {
                            return std::unique_ptr<Engine>(new ZitaEngine(from, to, hlen));
                        }});
#endif
#ifdef QUORLE_HAVE_SOXR
    const std::pair<const char*, unsigned long> recipes[] = {
        {"soxr LQ", SOXR_LQ}, {"soxr MQ", SOXR_MQ}, {"soxr HQ", SOXR_HQ}, {"soxr VHQ", SOXR_VHQ}};
    for (const auto& [name, recipe] : recipes)
        list.push_back({name, [recipe = recipe](double from, double to) {
                            return std::unique_ptr<Engine>(new SoxrEngine(from, to, recipe));
                        }});
#endif
#ifdef QUORLE_HAVE_SAMPLERATE
    const std::pair<const char*, int> types[] = {{"src sinc fastest", SRC_SINC_FASTEST},
                                                 {"src sinc medium", SRC_SINC_MEDIUM_QUALITY}};
    for (const auto& [name, type] : types)
        list.push_back({name, [type = type](double from, double to) {
                            return std::unique_ptr<Engine>(new SrcEngine(from, to, type));
                        }});
#endif
    return list;
}

// The round trip for one candidate at one factor, FIFO pre-fills included.
struct RoundTrip {
    RoundTrip(const Candidate& c, int factor, int upFill, int downFill)
        : up(c.make(kRate, kRate * factor), factor, 1, upFill * factor),
          down(c.make(kRate * factor, kRate), 1, factor, downFill), high(kBlock * factor) {}
    void run(const float* in, float* out, int n) { // n <= kBlock
        ok &= up.run(in, n, high.data());
        ok &= down.run(high.data(), n * static_cast<int>(high.size()) / kBlock, out);
    }
    std::vector<float> process(const std::vector<float>& in) {
        std::vector<float> out(in.size());
        for (size_t at = 0; at < in.size(); at += kBlock)
            run(in.data() + at, out.data() + at,
                static_cast<int>(std::min<size_t>(kBlock, in.size() - at)));
        return out;
    }
    Stage up, down;
    std::vector<float> high;
    bool ok = true;
};

// The windowed (4-term Blackman-Harris) amplitude of `x` at `hz`, for a sine of
// amplitude 1 giving 1.
double amplitudeAt(const float* x, size_t n, double hz, double rate) {
    double re = 0, im = 0, sum = 0;
    const double w = 2 * M_PI * hz / rate;
    for (size_t i = 0; i < n; ++i) {
        const double t = 2 * M_PI * static_cast<double>(i) / static_cast<double>(n);
        const double win =
            0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
        re += win * x[i] * std::cos(w * static_cast<double>(i));
        im -= win * x[i] * std::sin(w * static_cast<double>(i));
        sum += win;
    }
    return 2.0 * std::hypot(re, im) / sum;
}

double phaseAt(const float* x, size_t n, double hz, double rate) {
    double re = 0, im = 0;
    const double w = 2 * M_PI * hz / rate;
    for (size_t i = 0; i < n; ++i) {
        const double t = 2 * M_PI * static_cast<double>(i) / static_cast<double>(n);
        const double win =
            0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
        re += win * x[i] * std::cos(w * static_cast<double>(i));
        im -= win * x[i] * std::sin(w * static_cast<double>(i));
    }
    return std::atan2(im, re);
}

double dB(double v) {
    return 20.0 * std::log10(std::max(v, 1e-12));
}

std::vector<float> sine(double hz, double rate, size_t n, double amplitude = 0.5) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] =
            static_cast<float>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate));
    return v;
}

struct Row {
    double peak = 0, delay = 0;
    long fill = 0;
    double rtMedian = 0, rtBest = 0;
    double image18 = -999, image20 = -999, alias = -999, flat = 0, edge = 0;
    long allocations = 0;
    bool ok = true;
};

Row measure(const Candidate& c, int factor, bool quick) {
    Row row;
    const size_t total = kSettle + kAnalysis;
    // Dry run: how far each library falls behind a fixed block rate.
    int upFill = 0, downFill = 0;
    {
        RoundTrip dry(c, factor, 0, 0);
        dry.process(sine(1000, kRate, total));
        upFill = static_cast<int>((dry.up.shortfall() + factor - 1) / factor);
        downFill = static_cast<int>(dry.down.shortfall());
        // The down stage's input was short too while the up stage was: measure again.
        RoundTrip again(c, factor, upFill, 0);
        again.process(sine(1000, kRate, total));
        downFill = static_cast<int>(again.down.shortfall());
    }
    row.fill = upFill + downFill;
    auto trip = [&] { return RoundTrip(c, factor, upFill, downFill); };

    { // (a) latency
        std::vector<float> impulse(8192, 0.0f);
        impulse[1000] = 1.0f;
        RoundTrip t = trip();
        const std::vector<float> out = t.process(impulse);
        size_t best = 0;
        for (size_t i = 0; i < out.size(); ++i)
            if (std::fabs(out[i]) > std::fabs(out[best]))
                best = i;
        row.peak = static_cast<double>(best) - 1000.0;
        RoundTrip s = trip();
        const std::vector<float> in = sine(1000, kRate, total);
        const std::vector<float> o = s.process(in);
        const double lag = phaseAt(in.data() + kSettle, kAnalysis, 1000, kRate) -
                           phaseAt(o.data() + kSettle, kAnalysis, 1000, kRate);
        const double period = kRate / 1000.0;
        double d = lag / (2 * M_PI) * period;
        d += period * std::round((row.peak - d) / period);
        row.delay = d;
        row.ok &= t.ok && s.ok;
    }
    { // (b) CPU and (d) allocations
        const int seconds = quick ? 1 : 5;
        const std::vector<float> in = sine(997, kRate, static_cast<size_t>(kRate) * seconds, 0.7);
        std::vector<double> times;
        for (int rep = 0; rep < 5; ++rep) {
            RoundTrip t = trip();
            std::vector<float> out(kBlock);
            t.run(in.data(), out.data(), kBlock); // first block outside the count
            gAllocations = 0;
            gCounting = true;
            const double start = threadSeconds();
            for (size_t at = kBlock; at + kBlock <= in.size(); at += kBlock)
                t.run(in.data() + at, out.data(), kBlock);
            const double spent = threadSeconds() - start;
            gCounting = false;
            row.allocations = std::max(row.allocations, gAllocations);
            times.push_back(spent);
        }
        std::sort(times.begin(), times.end());
        row.rtBest = seconds / times.front();
        row.rtMedian = seconds / times[times.size() / 2];
    }
    const double high = kRate * factor;
    { // (c) images of the upsampler alone
        for (int khz = 1; khz <= 20; ++khz) {
            if (khz == 19)
                continue;
            const double f = khz * 1000.0 + 37.0; // off the round numbers
            Stage up(c.make(kRate, high), factor, 1, upFill * factor);
            const std::vector<float> in = sine(f, kRate, total);
            std::vector<float> out(total * static_cast<size_t>(factor));
            for (size_t at = 0; at < total; at += kBlock)
                up.run(in.data() + at, kBlock, out.data() + at * static_cast<size_t>(factor));
            const float* seg =
                out.data() + static_cast<size_t>(kSettle) * static_cast<size_t>(factor);
            const size_t n = static_cast<size_t>(kAnalysis) * static_cast<size_t>(factor);
            const double tone = amplitudeAt(seg, n, f, high);
            double worst = 0;
            for (int k = 1; k < factor; ++k)
                for (double image : {k * kRate - f, k * kRate + f})
                    if (image < high / 2)
                        worst = std::max(worst, amplitudeAt(seg, n, image, high));
            double& slot = khz <= 18 ? row.image18 : row.image20;
            slot = std::max(slot, dB(worst / tone));
        }
    }
    { // (c) aliases of the downsampler alone
        const double step = quick ? kRate / 10 : kRate / 40;
        for (double f = 0.55 * kRate; f < high / 2; f += step) {
            const double folded = std::fabs(f - kRate * std::round(f / kRate));
            if (folded < 50.0 || folded > kRate / 2 - 50.0)
                continue;
            Stage down(c.make(high, kRate), 1, factor, downFill);
            const std::vector<float> in = sine(f, high, total * static_cast<size_t>(factor));
            std::vector<float> out(total);
            for (size_t at = 0; at < total; at += kBlock)
                down.run(in.data() + at * static_cast<size_t>(factor), kBlock * factor,
                         out.data() + at);
            const double level = amplitudeAt(out.data() + kSettle, kAnalysis, folded, kRate) / 0.5;
            row.alias = std::max(row.alias, dB(level));
        }
    }
    { // passband and the -3 dB edge of the round trip
        auto gain = [&](double f) {
            RoundTrip t = trip();
            const std::vector<float> out = t.process(sine(f, kRate, total));
            return dB(amplitudeAt(out.data() + kSettle, kAnalysis, f, kRate) / 0.5);
        };
        for (double f : {100.0, 1000.0, 5000.0, 10000.0, 14000.0, 16000.0, 17000.0, 18000.0})
            row.flat = std::max(row.flat, std::fabs(gain(f)));
        double lo = 18000, hi = 23990;
        if (gain(hi) > -3.0) {
            row.edge = hi;
        } else {
            for (int i = 0; i < 10; ++i) {
                const double mid = 0.5 * (lo + hi);
                (gain(mid) > -3.0 ? lo : hi) = mid;
            }
            row.edge = lo;
        }
    }
    return row;
}

} // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string only; // a part of the names to compare; all when empty
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            only = argv[i];
    }
    std::vector<Candidate> list = candidates();
    list.erase(
        std::remove_if(list.begin(), list.end(),
                       [&](const Candidate& c) { return c.name.find(only) == std::string::npos; }),
        list.end());
    if (list.empty()) {
        std::printf("no resampling library found\n");
        return 0;
    }
    std::printf("Round trip up x N, down x N at 48 kHz, block 512, one channel\n");
    std::printf("%-17s %2s %6s %8s %5s %8s %8s %8s %8s %8s %7s %8s %6s\n", "library", "N", "peak",
                "delay", "fifo", "xRT med", "xRT best", "img<=18k", "img 20k", "alias", "flat dB",
                "-3dB kHz", "allocs");
    for (int factor : {2, 4, 8}) {
        for (const Candidate& c : list) {
            const Row r = measure(c, factor, quick);
            std::printf(
                "%-17s %2d %6.0f %8.3f %5ld %8.0f %8.0f %8.1f %8.1f %8.1f %7.3f %8.2f %6ld%s\n",
                c.name.c_str(), factor, r.peak, r.delay, r.fill, r.rtMedian, r.rtBest, r.image18,
                r.image20, r.alias, r.flat, r.edge / 1000.0, r.allocations,
                r.ok ? "" : "  (FIFO ran short)");
            std::fflush(stdout);
        }
    }
    return 0;
}
