#include "tools/measure/CpuBench.h"

#include "tools/measure/Lv2Timer.h"
#include "tools/measure/Signals.h"
#include "tools/measure/Targets.h"

#include <algorithm>

namespace measure {

namespace {

constexpr const char* kQuorleMonoUri = "http://pellark.invalid/plugins/quorle#mono";

void append(std::string& why, const std::string& reason) {
    why += (why.empty() ? "" : "; ") + reason;
}

} // namespace

CpuFigures measureCpu(const std::string& bundleDir, const std::vector<size_t>& models,
                      unsigned oversampling, CpuRuns runs) {
    CpuFigures figures;
    figures.models.assign(models.size(), std::nullopt);
    const Signal once = phrase(targets::kCpuRate);
    const Signal input =
        repeated(once, once.size() * static_cast<size_t>(std::max(1, runs.phrasesPerPass)));

    // quorle from this bundle alone, whatever else is installed; Calf from the rest.
    Lv2Timer own(bundleDir), installed;
    std::vector<std::unique_ptr<TimedPlugin>> plugins;
    for (size_t m : models)
        plugins.push_back(own.open(
            kQuorleMonoUri,
            {{"model", static_cast<float>(m)}, {"oversampling", static_cast<float>(oversampling)}},
            input, targets::kCpuRate, targets::kCpuBlock));
    const std::string calfUri = installed.findByName({"calf", "saturator"});
    if (!calfUri.empty()) {
        figures.calfName = installed.name(calfUri) + " <" + calfUri + ">";
        plugins.push_back(
            installed.open(calfUri, {}, input, targets::kCpuRate, targets::kCpuBlock));
    }
    std::vector<TimedPlugin*> timed;
    for (const auto& p : plugins)
        timed.push_back(p.get());
    const std::vector<std::optional<Speeds>> speeds = timeRounds(timed, runs.passes);

    for (size_t i = 0; i < models.size(); ++i) {
        if (speeds[i])
            figures.models[i] = speeds[i]->median;
        else if (figures.why.find("quorle") == std::string::npos)
            append(figures.why,
                   "n/a: quorle (" + std::string(kQuorleMonoUri) + ") " + plugins[i]->why());
    }
    if (calfUri.empty())
        append(figures.why, "n/a: no Calf Saturator among the installed LV2 plug-ins "
                            "(Debian package calf-plugins)");
    else if (speeds.back())
        figures.calf = speeds.back()->median;
    else
        append(figures.why, "n/a: " + figures.calfName + " " + plugins.back()->why());
    return figures;
}

} // namespace measure
