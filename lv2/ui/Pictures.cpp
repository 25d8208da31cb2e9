#include "lv2/ui/Pictures.h"

#include "lv2/CabinetPorts.h"
#include "lv2/UiProtocol.h"
#include "lv2/ui/UiState.h"
#include "main/CabinetLoad.h"
#include "main/ChannelEngine.h"
#include "main/DataArchive.h"
#include "main/RealFft.h"

#include <algorithm>
#include <cmath>

namespace quorleui {

namespace {

constexpr uint32_t kPiece = 256;
constexpr float kFloorDb = -120.0f;
constexpr int kCurvePoints = 120; // frequency points, 30 Hz .. 20 kHz

float toDb(double amplitude) {
    return amplitude > 0.0 ? std::max(kFloorDb, static_cast<float>(20.0 * std::log10(amplitude)))
                           : kFloorDb;
}

// |bins| of `fft` (already run) at log-spaced frequencies, in dB relative to `scale`.
Curve spectrum(const RealFft& fft, double rate, double scale) {
    Curve c;
    const double lo = 30.0, hi = std::min(20000.0, rate / 2.0);
    for (int i = 0; i < kCurvePoints; ++i) {
        const double hz = lo * std::pow(hi / lo, i / double(kCurvePoints - 1));
        const size_t bin = std::min(fft.bins() - 1, size_t(std::lround(hz * fft.size() / rate)));
        c.x.push_back(static_cast<float>(hz));
        c.y.push_back(toDb(std::sqrt(fft.power(bin)) / scale));
    }
    return c;
}

// Runs `frames` samples of `in` (null: silence) through `engine`; the output's peak.
float run(ChannelEngine& engine, const float* in, size_t frames, float* out) {
    static const float silence[kPiece] = {};
    float peak = 0.0f;
    for (size_t done = 0; done < frames;) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(kPiece, frames - done));
        engine.process(in ? in + done : silence, out + done, n);
        for (uint32_t i = 0; i < n; ++i)
            peak = std::max(peak, std::fabs(out[done + i]));
        done += n;
    }
    return peak;
}

} // namespace

bool PictureInputs::operator==(const PictureInputs& o) const {
    return archive == o.archive && model == o.model && drive == o.drive && post == o.post &&
           bass == o.bass && cabinet == o.cabinet && cabinetFile == o.cabinetFile;
}

Pictures::Pictures(const std::string& bundleDir)
    : mShipped(DataArchive::readDirectory(bundleDir)) {}

Pictures::~Pictures() = default;

const DataArchive& Pictures::modelsArchive() const {
    return mPlayer && mPlayer->found() ? *mPlayer : *mShipped;
}

bool Pictures::update(const PictureInputs& in) {
    if (mHave && in == mLast)
        return false;
    const auto start = std::chrono::steady_clock::now();
    if (!mHave || in.archive != mLast.archive) {
        mPlayer.reset();
        if (!in.archive.empty()) {
            auto player = DataArchive::readFile(in.archive);
            if (player->found())
                mPlayer = DataArchive::withPresetsOf(*player, *mShipped);
        }
        mEngine.reset();
    }
    try {
        computeModel(in);
    } catch (...) {
        mEngine.reset();
        mTransfer = {};
        mResponse = {};
    }
    try {
        computeCabinet(in);
    } catch (...) {
        mCabinet = {};
    }
    mLast = in;
    mHave = true;
    mLastMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return true;
}

void Pictures::computeModel(const PictureInputs& in) {
    if (!mEngine || mEngineArchive != in.archive || mEngineModel != in.model) {
        mEngine.reset();
        EngineSetup setup;
        setup.rate = kRate;
        setup.maxFrames = kPiece;
        setup.factor = 1;
        setup.prepareAll = false;
        setup.startModel = in.model;
        setup.archive = mPlayer ? mPlayer : mShipped;
        const int models = static_cast<int>(modelsArchive().modelNames().size());
        if (models == 0)
            throw std::out_of_range("no model");
        // A number beyond the archive's last model plays its last, as in the plug-in.
        setup.startModel = std::clamp(in.model, 0, models - 1);
        mEngine = std::make_unique<ChannelEngine>(setup);
        mEngineArchive = in.archive;
        mEngineModel = in.model;
    }
    ChannelEngine& engine = *mEngine;
    engine.reset();
    engine.setControls(in.drive, in.post, in.bass);
    std::vector<float> in1(16384), out(16384); // the response: 2.9 Hz apart
    run(engine, nullptr, 1024, out.data());    // the controls settle

    // Stepped sine levels, -48..0 dBFS: each step's second half is read as settled.
    mTransfer = {};
    constexpr int kSteps = 25;
    constexpr size_t kStep = 512, kPeriod = 64; // 750 Hz at 48 kHz
    for (int s = 0; s < kSteps; ++s) {
        const float db = -48.0f + 2.0f * s;
        const float amplitude = std::pow(10.0f, db / 20.0f);
        for (size_t i = 0; i < kStep; ++i)
            in1[i] = amplitude * static_cast<float>(
                                     std::sin(2.0 * M_PI * double(i % kPeriod) / double(kPeriod)));
        run(engine, in1.data(), kStep / 2, out.data());
        const float peak = run(engine, in1.data() + kStep / 2, kStep / 2, out.data());
        mTransfer.x.push_back(db);
        mTransfer.y.push_back(toDb(peak));
    }

    // A small impulse after silence: the model's response as a linear system.
    engine.reset();
    run(engine, nullptr, 1024, out.data());
    constexpr double kImpulse = 0.01; // -40 dBFS
    std::fill(in1.begin(), in1.end(), 0.0f);
    in1[0] = static_cast<float>(kImpulse);
    run(engine, in1.data(), in1.size(), out.data());
    RealFft fft(out.size());
    for (size_t i = 0; i < out.size(); ++i)
        fft.input()[i] = out[i];
    fft.run();
    mResponse = spectrum(fft, kRate, kImpulse);
}

void Pictures::computeCabinet(const PictureInputs& in) {
    std::string choice;
    if (in.cabinet == quorlelv2::kCabinetValueModelsOwn) {
        const auto& entries = modelsArchive().modelNames();
        if (!entries.empty()) {
            const size_t i = static_cast<size_t>(std::clamp(in.model, 0, int(entries.size()) - 1));
            choice = cabinet::modelsOwn(modelsArchive(), entries[i], *mShipped);
        }
    } else if (in.cabinet == quorlelv2::kCabinetValueFile) {
        choice = in.cabinetFile;
    } else if (in.cabinet >= quorlelv2::kCabinetValueFirstShipped &&
               in.cabinet - quorlelv2::kCabinetValueFirstShipped < quorlelv2::kCabinetPortCount) {
        choice = quorlelv2::kCabinetPortNames[in.cabinet - quorlelv2::kCabinetValueFirstShipped];
    }
    if (mHave && choice == mCabinetChoice)
        return;
    mCabinetChoice = choice;
    mCabinet = {};
    mCabinetName = choice.empty() ? "off" : baseName(choice);
    if (choice.empty())
        return;
    std::string error;
    const auto response = cabinet::load(*mShipped, choice, kRate, error);
    if (!response || response->channels.empty()) {
        mCabinetName += " (unreadable)";
        return;
    }
    const std::vector<float>& ir = response->channels[0];
    // At least 16384 points (2.9 Hz apart), so that the low octaves read smoothly.
    size_t size = 16384;
    while (size < ir.size() && size < (size_t(1) << 18))
        size *= 2;
    RealFft fft(size);
    std::fill(fft.input(), fft.input() + size, 0.0);
    for (size_t i = 0; i < std::min(size, ir.size()); ++i)
        fft.input()[i] = ir[i];
    fft.run();
    mCabinet = spectrum(fft, kRate, 1.0);
}

} // namespace quorleui
