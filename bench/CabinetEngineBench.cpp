// What a shipped cabinet adds to a channel's cost: a ChannelEngine at 48 kHz, at the
// default oversampling factor (2), on each shipped model, without a cabinet and with
// each shipped cabinet, in host blocks of 64 and 512. Arguments: model, block,
// cabinet (its index in the archive's list).
//
// The two engines (one plain, one with the cabinet installed) run the same input in
// turn, each for 8192 frames at a time between two reads of this thread's CPU clock,
// so that both see the same machine load and the clock's cost is spread thin.
// Counters, per channel:
//   x_rt_plain    seconds of audio per second of CPU, the engine alone;
//   x_rt_cabinet  the same with the cabinet on;
//   x_rt_conv     the cabinet's convolver alone, fed the plain engine's output in the
//                 pieces the engine hands it (maxPiece());
//   ratio         CPU of the engine with the cabinet over that of the engine alone.
#include "bench/BenchEngine.h"
#include "bench/ThreadClock.h"
#include "main/CabinetLoad.h"
#include "main/ChannelEngine.h"
#include "main/DataArchive.h"
#include "tools/PluckedPhrase.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 48000.0;
constexpr int kFactor = 2; // kQuorleDefaultOversampling
constexpr uint32_t kTurn = 8192;

const std::shared_ptr<const DataArchive>& archive() {
    static const std::shared_ptr<const DataArchive> shipped =
        DataArchive::readDirectory(QUORLE_DATA_DIR);
    return shipped;
}

std::unique_ptr<ChannelEngine> engineFor(int model, uint32_t block) {
    return std::make_unique<ChannelEngine>(
        benchEngineSetup(kRate, block, kFactor, model, archive()));
}

std::unique_ptr<Convolver> cabinetFor(const std::string& name, uint32_t frames) {
    std::string error;
    const std::optional<ImpulseResponse> response = cabinet::load(*archive(), name, kRate, error);
    if (!response)
        throw std::runtime_error(error);
    return cabinet::convolverFor(*response, 0, frames);
}

void BM_CabinetEngine(benchmark::State& state) {
    const int model = static_cast<int>(state.range(0));
    const uint32_t block = static_cast<uint32_t>(state.range(1));
    const std::vector<std::string>& cabinets = archive()->cabinetNames();
    const std::string& name = cabinets.at(static_cast<size_t>(state.range(2)));

    auto plain = engineFor(model, block);
    auto withCabinet = engineFor(model, block);
    std::unique_ptr<Convolver> installed = cabinetFor(name, withCabinet->maxPiece());
    if (!withCabinet->installCabinet(installed))
        throw std::runtime_error("the engine refused the cabinet");
    std::unique_ptr<Convolver> alone = cabinetFor(name, plain->maxPiece());

    const std::vector<float> phrase = pluckedPhrase(kRate, 2.0);
    const size_t turns = phrase.size() / kTurn;
    std::vector<float> a(kTurn), b(kTurn), c(kTurn);
    double plainCpu = 0, cabinetCpu = 0, convCpu = 0;
    size_t turn = 0;
    for (auto _ : state) {
        const float* in = phrase.data() + turn * kTurn;
        turn = turn + 1 == turns ? 0 : turn + 1;
        double t = threadSeconds();
        for (uint32_t done = 0; done < kTurn; done += block)
            plain->process(in + done, a.data() + done, block);
        double now = threadSeconds();
        plainCpu += now - t;
        t = now;
        for (uint32_t done = 0; done < kTurn; done += block)
            withCabinet->process(in + done, b.data() + done, block);
        now = threadSeconds();
        cabinetCpu += now - t;
        t = now;
        const uint32_t piece = plain->maxPiece();
        for (uint32_t done = 0; done < kTurn; done += piece)
            alone->process(a.data() + done, c.data() + done, std::min(piece, kTurn - done));
        convCpu += threadSeconds() - t;
        benchmark::DoNotOptimize(b.data());
        benchmark::DoNotOptimize(c.data());
        benchmark::ClobberMemory();
    }
    const double audio = static_cast<double>(state.iterations()) * kTurn / kRate;
    state.counters["x_rt_plain"] = audio / plainCpu;
    state.counters["x_rt_cabinet"] = audio / cabinetCpu;
    state.counters["x_rt_conv"] = audio / convCpu;
    state.counters["ratio"] = cabinetCpu / plainCpu;
    state.SetLabel(plain->modelNames().at(static_cast<size_t>(model)) + " / " + name + " (" +
                   std::to_string(alone->length()) + " taps)");
}

void models(benchmark::internal::Benchmark* b) {
    const int count = static_cast<int>(archive()->modelNames().size());
    const int cabinets = static_cast<int>(archive()->cabinetNames().size());
    for (int model = 0; model < count; ++model)
        for (int block : {64, 512})
            for (int cab = 0; cab < cabinets; ++cab)
                b->Args({model, block, cab});
}
BENCHMARK(BM_CabinetEngine)->Apply(models)->Unit(benchmark::kMillisecond);

} // namespace
