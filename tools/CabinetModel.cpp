#include "tools/CabinetModel.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace {

constexpr double kPi = 3.14159265358979323846;
// The biquads run at no less than this (Hz), where the bilinear transform bends
// nothing below 10 kHz by more than a tenth of a dB.
constexpr double kInternalRate = 176400.0;
// The run ends when the output has stayed this far under its peak (dB) for a
// while; what is kept ends 80 dB under the kept peak.
constexpr double kRunFloorDb = -90.0;
constexpr double kTailDb = -80.0;
// However a design rings, no response is longer than this (s).
constexpr double kLongest = 2.0;
constexpr double kSpeedOfSound = 34300.0; // cm/s
// Where the microphone's shelf turns (Hz).
constexpr double kMicShelfHz = 2500.0;
// The detuning of speaker k, in units of `detune`.
constexpr double kDetuneSteps[] = {0.0, 1.0, -1.0, 0.5};
// The width of the valve amp's rise at the resonance: an impedance peak's Q.
constexpr double kResonanceBumpQ = 2.0;
// Break-up lines a design may have.
constexpr size_t kMostBreakups = 6;

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    const size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

bool fail(CabinetError& error, int line, std::string message) {
    error = {line, std::move(message)};
    return false;
}

std::string number(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

// The finite numbers of `text`, separated by blanks; false when any word is not one.
bool numbers(const std::string& text, std::vector<double>& out) {
    std::istringstream words(text);
    std::string word;
    out.clear();
    while (words >> word) {
        char* end = nullptr;
        const double v = std::strtod(word.c_str(), &end);
        if (*end != 0 || !std::isfinite(v))
            return false;
        out.push_back(v);
    }
    return true;
}

// One biquad in double, transposed direct form II.
struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double s1 = 0, s2 = 0;

    double run(double x) {
        const double y = b0 * x + s1;
        s1 = b1 * x - a1 * y + s2;
        s2 = b2 * x - a2 * y;
        return y;
    }
};

// The audio EQ cookbook's sections (R. Bristow-Johnson), `hz` at rate `fs`.
Biquad normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
    Biquad q;
    q.b0 = b0 / a0;
    q.b1 = b1 / a0;
    q.b2 = b2 / a0;
    q.a1 = a1 / a0;
    q.a2 = a2 / a0;
    return q;
}

Biquad highPass(double hz, double qFactor, double fs) {
    const double w = 2.0 * kPi * hz / fs, c = std::cos(w), alpha = std::sin(w) / (2.0 * qFactor);
    return normalised((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

Biquad lowPass(double hz, double qFactor, double fs) {
    const double w = 2.0 * kPi * hz / fs, c = std::cos(w), alpha = std::sin(w) / (2.0 * qFactor);
    return normalised((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

Biquad peaking(double hz, double db, double qFactor, double fs) {
    const double w = 2.0 * kPi * hz / fs, c = std::cos(w), alpha = std::sin(w) / (2.0 * qFactor);
    const double a = std::pow(10.0, db / 40.0);
    return normalised(1 + alpha * a, -2 * c, 1 - alpha * a, 1 + alpha / a, -2 * c, 1 - alpha / a);
}

// Shelf slope 1.
Biquad highShelf(double hz, double db, double fs) {
    const double w = 2.0 * kPi * hz / fs, c = std::cos(w);
    const double a = std::pow(10.0, db / 40.0);
    const double beta = 2.0 * std::sqrt(a) * std::sin(w) / 2.0 * std::sqrt(2.0);
    return normalised(a * ((a + 1) + (a - 1) * c + beta), -2 * a * ((a - 1) + (a + 1) * c),
                      a * ((a + 1) + (a - 1) * c - beta), (a + 1) - (a - 1) * c + beta,
                      2 * ((a - 1) - (a + 1) * c), (a + 1) - (a - 1) * c - beta);
}

// First order, bilinear with the corner prewarped: the open back's cancellation.
Biquad firstOrderHighPass(double hz, double fs) {
    const double k = std::tan(kPi * hz / fs);
    Biquad q;
    q.b0 = 1.0 / (1.0 + k);
    q.b1 = -q.b0;
    q.a1 = (k - 1.0) / (k + 1.0);
    return q;
}

// Butterworth sections' Q: a 12, 24 or 36 dB/octave roll-off that is flat below it.
const std::vector<double>& butterworthQs(int sections) {
    static const std::vector<double> one = {0.70710678};
    static const std::vector<double> two = {0.54119610, 1.30656296};
    static const std::vector<double> three = {0.51763809, 0.70710678, 1.93185165};
    return sections == 3 ? three : sections == 1 ? one : two;
}

// One speaker as the microphone hears it: its filters and where its sound
// arrives (internal samples, fractional), with the reflection.
struct Speaker {
    std::vector<Biquad> chain;
    double gain = 1;
    double arrival = 0;
    double echo = 0; // the reflection's arrival; 0: none
    double echoGain = 0;

    // The impulses that feed it at sample n: each arrival split between the two
    // samples around it.
    double input(long n) const {
        double x = 0;
        auto add = [&](double at, double g) {
            const long first = static_cast<long>(std::floor(at));
            const double frac = at - static_cast<double>(first);
            if (n == first)
                x += g * (1.0 - frac);
            else if (n == first + 1)
                x += g * frac;
        };
        add(arrival, 1.0);
        if (echoGain > 0)
            add(echo, echoGain);
        return x;
    }

    double run(long n) {
        double y = input(n);
        for (Biquad& q : chain)
            y = q.run(y);
        return gain * y;
    }
};

Speaker speaker(const CabinetDesign& d, int k, double fs) {
    Speaker s;
    const double scale = 1.0 + d.detune / 100.0 * kDetuneSteps[k];
    s.chain.push_back(highPass(d.resonance * scale, d.resonanceQ, fs));
    if (d.resonanceDb > 0)
        s.chain.push_back(peaking(d.resonance * scale, d.resonanceDb, kResonanceBumpQ, fs));
    if (d.openBack)
        s.chain.push_back(firstOrderHighPass(d.backCut > 0 ? d.backCut : 1.5 * d.resonance, fs));
    for (const BreakupPeak& p : d.breakup)
        s.chain.push_back(peaking(p.hz * scale, p.db, p.q, fs));
    for (double q : butterworthQs(d.rolloffSections))
        s.chain.push_back(lowPass(d.rolloff * scale, q, fs));
    s.chain.push_back(highShelf(kMicShelfHz, 3.0 - d.micAngle / 10.0, fs));
    s.gain = k == 0 ? 1.0 : d.others;
    s.arrival = d.speakers > 1 ? d.spread / 1000.0 * k / (d.speakers - 1) * fs : 0.0;
    if (d.micDistance > 0) {
        s.echo = s.arrival + 2.0 * d.micDistance / kSpeedOfSound * fs;
        s.echoGain = d.reflection;
    }
    return s;
}

// Speaker k's sound off the back of the box: the same speaker, later, darker, at
// the reflection's level, without the microphone's own reflection.
Speaker boxReflection(const CabinetDesign& d, int k, double fs) {
    Speaker s = speaker(d, k, fs);
    for (double q : butterworthQs(1))
        s.chain.push_back(lowPass(d.boxTone, q, fs));
    s.gain *= d.boxReflection;
    s.arrival += d.boxDelay / 1000.0 * fs;
    s.echo = 0;
    s.echoGain = 0;
    return s;
}

// ---- reading -------------------------------------------------------------------

struct Range {
    double lo, hi;
    const char* unit;
};

const std::map<std::string, Range>& ranges() {
    static const std::map<std::string, Range> r = {
        {"speakers", {1, 4, ""}},           {"resonance", {40, 200, " Hz"}},
        {"resonance_q", {0.3, 3, ""}},      {"back_cut", {40, 400, " Hz"}},
        {"rolloff", {3000, 8000, " Hz"}},   {"rolloff_sections", {2, 3, ""}},
        {"mic_angle", {0, 90, " degrees"}}, {"mic_distance", {0, 30, " cm"}},
        {"reflection", {0, 0.8, ""}},       {"detune", {0, 10, " %"}},
        {"spread", {0, 1, " ms"}},          {"others", {0, 1, ""}},
        {"resonance_db", {0, 20, " dB"}},   {"box_reflection", {-0.8, 0.8, ""}},
        {"box_delay", {0.2, 5, " ms"}},     {"box_tone", {300, 8000, " Hz"}},
    };
    return r;
}

std::string inRange(const std::string& what, const Range& r, double v) {
    return "\"" + what + "\" is " + number(r.lo) + " to " + number(r.hi) + r.unit + ", not " +
           number(v);
}

} // namespace

bool readCabinetDesign(const std::string& text, CabinetDesign& design, CabinetError& error) {
    design = CabinetDesign{};
    std::map<std::string, int> seen; // key -> line
    std::istringstream in(text);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            return fail(error, n, "expected \"key = value\"");
        const std::string key = trim(line.substr(0, equals));
        const std::string value = trim(line.substr(equals + 1));
        const auto range = ranges().find(key);
        if (key != "back" && key != "breakup" && range == ranges().end())
            return fail(error, n,
                        "unknown key \"" + key +
                            "\" (speakers, resonance, resonance_q, resonance_db, back, "
                            "back_cut, breakup, rolloff, rolloff_sections, mic_angle, "
                            "mic_distance, reflection, detune, spread, others, box_reflection, "
                            "box_delay, box_tone)");
        if (!seen.emplace(key, n).second && key != "breakup")
            return fail(error, n, "\"" + key + "\" is set twice");
        if (key == "back") {
            if (value != "closed" && value != "open")
                return fail(error, n, "\"back\" is closed or open, not \"" + value + "\"");
            design.openBack = value == "open";
            continue;
        }
        std::vector<double> v;
        if (key == "breakup") {
            if (!numbers(value, v) || v.size() != 3)
                return fail(error, n, "\"breakup\" takes three numbers: Hz dB Q");
            if (design.breakup.size() == kMostBreakups)
                return fail(error, n, "a seventh \"breakup\" (at most six)");
            const BreakupPeak p{v[0], v[1], v[2]};
            if (!(p.hz >= 500 && p.hz <= 8000))
                return fail(error, n, inRange("breakup", {500, 8000, " Hz"}, p.hz));
            if (!(p.db >= -24 && p.db <= 12))
                return fail(error, n, inRange("breakup", {-24, 12, " dB"}, p.db));
            if (!(p.q >= 0.5 && p.q <= 20))
                return fail(error, n, inRange("breakup", {0.5, 20, " (Q)"}, p.q));
            design.breakup.push_back(p);
            continue;
        }
        if (!numbers(value, v) || v.size() != 1)
            return fail(error, n, "\"" + value + "\" is not a number");
        const double x = v[0];
        if (!(x >= range->second.lo && x <= range->second.hi))
            return fail(error, n, inRange(key, range->second, x));
        const bool whole = key == "speakers" || key == "rolloff_sections";
        if (whole && x != std::floor(x))
            return fail(error, n, "\"" + key + "\" is a whole number, not " + number(x));
        if (key == "speakers")
            design.speakers = static_cast<int>(x);
        else if (key == "resonance")
            design.resonance = x;
        else if (key == "resonance_q")
            design.resonanceQ = x;
        else if (key == "back_cut")
            design.backCut = x;
        else if (key == "rolloff")
            design.rolloff = x;
        else if (key == "rolloff_sections")
            design.rolloffSections = static_cast<int>(x);
        else if (key == "mic_angle")
            design.micAngle = x;
        else if (key == "mic_distance")
            design.micDistance = x;
        else if (key == "reflection")
            design.reflection = x;
        else if (key == "detune")
            design.detune = x;
        else if (key == "spread")
            design.spread = x;
        else if (key == "others")
            design.others = x;
        else if (key == "resonance_db")
            design.resonanceDb = x;
        else if (key == "box_reflection")
            design.boxReflection = x;
        else if (key == "box_delay")
            design.boxDelay = x;
        else
            design.boxTone = x;
    }
    for (const char* required :
         {"speakers", "resonance", "resonance_q", "back", "breakup", "rolloff"})
        if (!seen.count(required))
            return fail(error, 0, std::string("no \"") + required + "\" line");
    if (!design.openBack && seen.count("back_cut"))
        return fail(error, seen["back_cut"], "\"back_cut\" is for an open back");
    return true;
}

std::vector<float> cabinetResponse(const CabinetDesign& design, double rate) {
    if (!(rate >= 16000.0 && rate <= 768000.0) || design.speakers < 1 || design.speakers > 4)
        return {};
    const int factor = std::max(1, static_cast<int>(std::ceil(kInternalRate / rate - 1e-9)));
    const double fs = rate * factor;
    std::vector<Speaker> speakers;
    double lowest = design.resonance;
    long lastInput = 0;
    for (int k = 0; k < design.speakers; ++k) {
        if (design.boxReflection != 0) {
            speakers.push_back(boxReflection(design, k, fs));
            lastInput = std::max(lastInput, static_cast<long>(speakers.back().arrival) + 1);
        }
        speakers.push_back(speaker(design, k, fs));
        lowest =
            std::min(lowest, design.resonance * (1.0 + design.detune / 100.0 * kDetuneSteps[k]));
        lastInput = std::max(
            lastInput,
            static_cast<long>(std::max(speakers.back().arrival, speakers.back().echo)) + 1);
    }
    // Quiet for one and a half periods of the lowest resonance: its ringing has
    // had a crest in that time.
    const long quietNeeded = static_cast<long>(std::ceil(1.5 * fs / std::max(lowest, 1.0)));
    const double floor = std::pow(10.0, kRunFloorDb / 20.0);
    std::vector<double> run;
    double peak = 0;
    long quiet = 0;
    for (long n = 0; n < static_cast<long>(kLongest * fs); ++n) {
        double y = 0;
        for (Speaker& s : speakers)
            y += s.run(n);
        run.push_back(y);
        peak = std::max(peak, std::fabs(y));
        quiet = std::fabs(y) < floor * peak ? quiet + 1 : 0;
        if (n > lastInput && quiet >= quietNeeded)
            break;
    }
    // Sampled down: the roll-off has left nothing above the rate's Nyquist
    // frequency that could fold back audibly.
    std::vector<double> out;
    for (size_t n = 0; n < run.size(); n += static_cast<size_t>(factor))
        out.push_back(run[n]);
    double outPeak = 0;
    for (double y : out)
        outPeak = std::max(outPeak, std::fabs(y));
    if (!(outPeak > 0))
        return {};
    // Kept up to the first sample after which everything is under the tail level.
    const double tail = std::pow(10.0, kTailDb / 20.0) * outPeak;
    size_t end = out.size();
    while (end > 1 && std::fabs(out[end - 2]) < tail)
        --end;
    std::vector<float> ir(end);
    for (size_t n = 0; n < end; ++n)
        ir[n] = static_cast<float>(0.5 * out[n] / outPeak);
    return ir;
}

double responseDb(const std::vector<float>& ir, double rate, double hz) {
    const double w = 2.0 * kPi * hz / rate;
    double re = 0, im = 0;
    for (size_t n = 0; n < ir.size(); ++n) {
        re += ir[n] * std::cos(w * static_cast<double>(n));
        im -= ir[n] * std::sin(w * static_cast<double>(n));
    }
    return 10.0 * std::log10(std::max(re * re + im * im, 1e-30));
}

// ---- WAV -----------------------------------------------------------------------

namespace {

// A file in memory for libsndfile's virtual I/O.
struct MemoryFile {
    std::string bytes;
    sf_count_t at = 0;
};

sf_count_t memoryLength(void* user) {
    return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->bytes.size());
}

sf_count_t memorySeek(sf_count_t offset, int whence, void* user) {
    auto* f = static_cast<MemoryFile*>(user);
    const sf_count_t base = whence == SEEK_CUR   ? f->at
                            : whence == SEEK_END ? static_cast<sf_count_t>(f->bytes.size())
                                                 : 0;
    if (base + offset < 0)
        return -1;
    f->at = base + offset;
    return f->at;
}

sf_count_t memoryRead(void* to, sf_count_t count, void* user) {
    auto* f = static_cast<MemoryFile*>(user);
    const sf_count_t size = static_cast<sf_count_t>(f->bytes.size());
    const sf_count_t n = std::max<sf_count_t>(0, std::min(count, size - f->at));
    if (n > 0)
        std::memcpy(to, f->bytes.data() + f->at, static_cast<size_t>(n));
    f->at += n;
    return n;
}

sf_count_t memoryWrite(const void* from, sf_count_t count, void* user) {
    auto* f = static_cast<MemoryFile*>(user);
    const size_t end = static_cast<size_t>(f->at + count);
    if (f->bytes.size() < end)
        f->bytes.resize(end, '\0');
    std::memcpy(&f->bytes[static_cast<size_t>(f->at)], from, static_cast<size_t>(count));
    f->at += count;
    return count;
}

sf_count_t memoryTell(void* user) {
    return static_cast<MemoryFile*>(user)->at;
}

} // namespace

std::string cabinetWav(const std::vector<float>& ir, int rate) {
    MemoryFile file;
    SF_VIRTUAL_IO io = {memoryLength, memorySeek, memoryRead, memoryWrite, memoryTell};
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* sound = sf_open_virtual(&io, SFM_WRITE, &info, &file);
    if (!sound)
        return {};
    // Without the peak chunk, whose time stamp would make every pack differ.
    sf_command(sound, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    const auto frames = static_cast<sf_count_t>(ir.size());
    const bool written = sf_writef_float(sound, ir.data(), frames) == frames;
    const bool closed = sf_close(sound) == 0;
    return written && closed ? file.bytes : std::string();
}
