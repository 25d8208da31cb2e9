#include "tools/measure/RigPlots.h"

#include "tools/measure/Plot.h"
#include "tools/measure/Targets.h"

#include <stdexcept>

namespace measure {

namespace t = targets;

namespace {

void write(const PlotSpec& plot, const std::string& path, std::vector<std::string>& written) {
    std::string error;
    if (!writePng(plot, path, error))
        throw std::runtime_error(error);
    written.push_back(path);
}

PlotSpec ladderPlot(const RigMeasurements& rig) {
    PlotSpec plot;
    plot.title = "the gain ladder on recorded guitar: the share no linear filter explains";
    plot.xLabel = "drive";
    plot.yLabel = "non-linear share (dB), mean over the takes";
    plot.xMin = 0.2;
    plot.xMax = 1.05;
    plot.legend = LegendPlace::BottomRight;
    for (const RigFigures& f : rig.models) {
        PlotSeries s(f.model, {}, {}, PlotSeries::Style::LineAndDots);
        for (size_t d = 0; d < t::kRigDrives.size(); ++d) {
            s.x.push_back(t::kRigDrives[d]);
            s.y.push_back(f.nonlinearDb[d]);
        }
        plot.series.push_back(s);
    }
    return plot;
}

PlotSpec fizzPlot(const RigMeasurements& rig) {
    PlotSpec plot;
    plot.title = "fizz at drive 1: 4-8 kHz re 0.2-2 kHz, mean over the takes";
    plot.xLabel = "model (1 to " + std::to_string(rig.models.size()) + ", in the archive's order)";
    plot.yLabel = "fizz (dB)";
    plot.xMin = 0.5;
    plot.xMax = static_cast<double>(rig.models.size()) + 0.5;
    plot.legend = LegendPlace::Auto;
    PlotSeries plain("no cabinet", {}, {}, PlotSeries::Style::LineAndDots, Colour{0, 0, 0});
    PlotSeries peer("gx_cabinet 4x12", {}, {}, PlotSeries::Style::LineAndDots, kMarkGrey, true);
    std::vector<PlotSeries> through;
    for (const std::string& name : rig.cabinets)
        through.emplace_back(name, std::vector<double>{}, std::vector<double>{},
                             PlotSeries::Style::Dots);
    for (size_t m = 0; m < rig.models.size(); ++m) {
        const RigFigures& f = rig.models[m];
        const double x = static_cast<double>(m + 1);
        plain.x.push_back(x);
        plain.y.push_back(f.fizzDb);
        if (f.fizzPeerCabinetDb) {
            peer.x.push_back(x);
            peer.y.push_back(*f.fizzPeerCabinetDb);
        }
        for (size_t c = 0; c < through.size() && c < f.fizzThroughDb.size(); ++c) {
            through[c].x.push_back(x);
            through[c].y.push_back(f.fizzThroughDb[c]);
        }
    }
    plot.series.push_back(plain);
    plot.series.insert(plot.series.end(), through.begin(), through.end());
    if (!peer.x.empty())
        plot.series.push_back(peer);
    if (rig.withoutCabinet.fizzDb)
        plot.hLines.emplace_back(*rig.withoutCabinet.fizzDb + t::kRigFizzMaxAboveDb,
                                 "limit without a cabinet");
    if (rig.withCabinet.fizzDb)
        plot.hLines.emplace_back(*rig.withCabinet.fizzDb + t::kRigFizzMaxAboveDb,
                                 "limit through gx 4x12");
    return plot;
}

} // namespace

std::vector<std::string> plotRig(const RigMeasurements& rig, const std::string& dir) {
    std::vector<std::string> written;
    write(ladderPlot(rig), dir + "/rig-ladder.png", written);
    write(fizzPlot(rig), dir + "/rig-fizz.png", written);
    return written;
}

} // namespace measure
