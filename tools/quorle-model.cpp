// quorle-model: tools for the plug-in's models, one sub-command each.
//
//   quorle-model check MODEL.xml [--presets DIR]    why a model would be refused
//   quorle-model graph MODEL.xml -o PICTURE.svg     draw a model's graph
//   quorle-model pack DIR -o ARCHIVE                build a data archive
//   quorle-model measure [options]                  measure the models (and cabinets) against
//                                                   their targets
//   quorle-model cabinets DIR [--plot PICTURES]     the cabinets' responses and pictures
//   quorle-model --version
//
// measure and cabinets need the measuring part; a build without it (QUORLE_MEASURE
// off) has the other commands alone and says so when those two are asked for.
#include "tools/ModelCommands.h"

#ifdef QUORLE_HAVE_MEASURE
#include "au/quorleIds.h"
#include "main/CabinetLoad.h"
#include "main/DataArchive.h"
#include "main/WholeFile.h"
#include "tools/CabinetModel.h"
#include "tools/ModelSources.h"
#include "tools/PluginHost.h"
#include "tools/measure/CabinetMeasure.h"
#include "tools/measure/CabinetPlots.h"
#include "tools/measure/CabinetShape.h"
#include "tools/measure/CpuBench.h"
#include "tools/measure/ModelMeasure.h"
#include "tools/measure/ModelPlots.h"
#include "tools/measure/PeerCabinets.h"
#include "tools/measure/Plot.h"
#include "tools/measure/Report.h"
#include "tools/measure/RigMeasure.h"
#include "tools/measure/RigPlots.h"
#include "tools/measure/Targets.h"
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailedTarget = 1;
constexpr int kExitUsage = 2; // bad options, or the plug-in cannot be loaded or run

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "quorle-model: %s\n", message.c_str());
    std::exit(kExitUsage);
}

#ifdef QUORLE_HAVE_MEASURE

// ---- measure -------------------------------------------------------------------

struct MeasureOptions {
    std::string bundle;
    std::string model = "all";
    UInt32 oversampling = kQuorleDefaultOversampling;
    double rate = measure::targets::kDefaultRate;
    std::string plotDir;
    bool markdown = false;
    bool cpu = false;
    bool cabinets = false;
    std::string rig; // a folder of recordings, or ""
    bool rigOnly = false;
};

void measureUsage(FILE* to) {
    std::fprintf(to,
                 "usage: quorle-model measure [options]\n"
                 "Renders test signals through the models and prints each target's value and\n"
                 "verdict, one row per model. Exit status 0 when every target passes, 1 when\n"
                 "one fails, 2 on a usage error or a plug-in that cannot be loaded.\n"
                 "options:\n"
                 "  --bundle DIR        plug-in bundle (default: the one beside this program)\n"
                 "  --model NAME|all    one model, by name or index, or all (default all)\n"
                 "  --oversampling N    1, 2, 4 or 8 (default %u)\n"
                 "  --rate HZ           sample rate, 20000..384000 (default 48000)\n"
                 "  --plot DIR          also write PNG pictures of every measured model (and of\n"
                 "                      the shipped cabinets behind it) to DIR\n"
                 "  --markdown          print the table as Markdown\n"
                 "  --cpu               also time the LV2 plug-in against Calf Saturator\n"
                 "  --cabinets          also judge the shipped cabinets: their levels behind each\n"
                 "                      model, a change of cabinet while a chord plays, and\n"
                 "                      their shapes (gx_cabinet's beside when installed)\n"
                 "  --rig DIR           also judge the whole rig on the recordings in DIR (.wav,\n"
                 "                      .flac; tools/measure/recordings.sh makes them): loudness,\n"
                 "                      the gain ladder, fizz beside guitarix's amplifiers, decay\n"
                 "  --rig-only DIR      the rig's targets alone\n",
                 static_cast<unsigned>(kQuorleDefaultOversampling));
}

// The value of a --rate option, Hz; a usage error outside 20000..384000.
double rateOption(const std::string& v) {
    char* end = nullptr;
    const double rate = std::strtod(v.c_str(), &end);
    if (v.empty() || *end || !(rate >= 20000.0 && rate <= 384000.0))
        fail("--rate needs a rate from 20000 to 384000 Hz, not \"" + v + "\"");
    return rate;
}

MeasureOptions parseMeasure(int argc, char** argv) {
    MeasureOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--bundle")
            o.bundle = value();
        else if (a == "--model")
            o.model = value();
        else if (a == "--oversampling") {
            const std::string v = value();
            if (v != "1" && v != "2" && v != "4" && v != "8")
                fail("--oversampling needs 1, 2, 4 or 8, not \"" + v + "\"");
            o.oversampling = static_cast<UInt32>(std::stoul(v));
        } else if (a == "--rate") {
            o.rate = rateOption(value());
        } else if (a == "--plot")
            o.plotDir = value();
        else if (a == "--markdown")
            o.markdown = true;
        else if (a == "--cpu")
            o.cpu = true;
        else if (a == "--cabinets")
            o.cabinets = true;
        else if (a == "--rig")
            o.rig = value();
        else if (a == "--rig-only") {
            o.rig = value();
            o.rigOnly = true;
        } else if (a == "--help" || a == "-h") {
            measureUsage(stdout);
            std::exit(0);
        } else
            fail("measure: unknown option \"" + a + "\" (see quorle-model measure --help)");
    }
    if (o.bundle.empty())
        o.bundle = defaultBundle();
    return o;
}

// The models `text` names: "all", an index or a name.
std::vector<size_t> selectModels(const std::string& text, const std::vector<std::string>& names) {
    std::vector<size_t> models;
    if (text == "all") {
        for (size_t m = 0; m < names.size(); ++m)
            models.push_back(m);
        return models;
    }
    for (size_t m = 0; m < names.size(); ++m)
        if (names[m] == text || std::to_string(m) == text)
            return {m};
    std::string known;
    for (const std::string& name : names)
        known += (known.empty() ? "" : ", ") + name;
    fail("unknown model \"" + text + "\" (the bundle has " + known + ")");
}

// The rig's targets on the recordings in `o.rig`, each model through its own cabinet,
// and its pictures when `o.plotDir` is set (their count added to `pictures`).
measure::Table rigTable(const MeasureOptions& o, const measure::Renderer& renderer,
                        size_t& pictures) {
    try {
        const measure::Takes takes = measure::sortTakes(measure::readRecordings(o.rig, o.rate));
        const measure::ShippedCabinets cabinets = measure::loadCabinets(o.bundle, o.rate);
        const measure::RigMeasurements rig =
            measure::measureRig(renderer, takes, o.rate, &cabinets);
        if (!o.plotDir.empty())
            pictures += measure::plotRig(rig, o.plotDir).size();
        return measure::judgeRig(rig);
    } catch (const measure::RenderError& e) {
        fail(e.what());
    }
}

// The shipped cabinets' shapes judged, gx_cabinet's beside them when installed.
measure::Table cabinetShapes(const measure::ShippedCabinets& cabinets) {
    std::vector<measure::NamedResponse> ours, peers;
    for (size_t i = 0; i < cabinets.names.size(); ++i)
        ours.push_back({cabinets.names[i], cabinets.responses[i].channels.at(0)});
    for (measure::PeerCabinet& p : measure::gxCabinetResponses(cabinets.rate))
        peers.push_back({p.name, std::move(p.ir)});
    return measure::judgeCabinetShapes(ours, cabinets.rate, peers, cabinets.rate, "gx_cabinet");
}

int measureCommand(int argc, char** argv) {
    const MeasureOptions o = parseMeasure(argc, argv);
    if (!fs::exists(fs::path(o.bundle) / kQuorleLibraryName))
        fail("no plug-in at " + o.bundle + " (" + kQuorleLibraryName + " missing)");
    measure::Renderer renderer(o.bundle);
    const std::vector<size_t> models = selectModels(o.model, renderer.modelNames());

    std::string settings = "Measured at " + std::to_string(static_cast<long>(o.rate)) +
                           " Hz, drive/post/bass 0.5 unless a target sets them, oversampling ";
    const OSStatus status = renderer.useOversampling(o.oversampling);
    if (status == noErr)
        settings += std::to_string(o.oversampling) + ".";
    else {
        const std::string why = "the plug-in refuses oversampling factor " +
                                std::to_string(o.oversampling) + " (status " +
                                std::to_string(status) + ", " + statusName(status) + ")";
        std::fprintf(stderr, "quorle-model: %s; measuring at factor 1\n", why.c_str());
        settings += "1 (" + why + ").";
    }
    if (!o.plotDir.empty()) {
        std::error_code ec;
        fs::create_directories(o.plotDir, ec);
        if (!fs::is_directory(o.plotDir))
            fail("cannot create the plot directory " + o.plotDir);
    }

    size_t pictures = 0;
    if (o.rigOnly) {
        const measure::Table rig = rigTable(o, renderer, pictures);
        std::fputs((o.markdown ? measure::formatMarkdown(rig) : measure::formatText(rig)).c_str(),
                   stdout);
        if (pictures)
            std::fprintf(stderr, "quorle-model: wrote %zu pictures to %s\n", pictures,
                         o.plotDir.c_str());
        return measure::allPass(rig) ? 0 : kExitFailedTarget;
    }
    std::vector<measure::ModelMeasurements> measured;
    for (size_t m : models) {
        measured.push_back(measure::measureModel(renderer, m, o.rate));
        if (!o.plotDir.empty())
            pictures += measure::plotModel(renderer, m, o.rate, o.plotDir).size();
    }
    if (!o.plotDir.empty() && o.model == "all")
        pictures += measure::plotAllModels(renderer, o.rate, o.plotDir).size();
    std::optional<measure::CpuFigures> cpu;
    if (o.cpu)
        cpu = measure::measureCpu(o.bundle, models, o.oversampling);

    std::vector<measure::Table> tables = {
        measure::judge(measured, o.model == "all", cpu ? &*cpu : nullptr)};
    tables[0].notes.insert(tables[0].notes.begin(), settings);
    if (o.cabinets || !o.plotDir.empty()) {
        std::optional<measure::ShippedCabinets> cabinets;
        try {
            cabinets = measure::loadCabinets(o.bundle, o.rate);
        } catch (const measure::RenderError& e) {
            if (o.cabinets)
                fail(e.what());
            std::fprintf(stderr, "quorle-model: no pictures of cabinets: %s\n", e.what());
        }
        if (cabinets) {
            std::vector<measure::CabinetLevels> levels;
            std::vector<measure::CabinetSwitch> switches;
            for (size_t m : models) {
                levels.push_back(measure::measureCabinetLevels(renderer, m, o.rate, *cabinets));
                if (o.cabinets) {
                    const std::vector<measure::CabinetSwitch> more =
                        measure::measureCabinetSwitches(*cabinets, renderer.modelNames()[m],
                                                        static_cast<int>(renderer.oversampling()));
                    switches.insert(switches.end(), more.begin(), more.end());
                }
            }
            if (!o.plotDir.empty())
                pictures += measure::plotCabinets(*cabinets, levels, o.plotDir).size();
            for (measure::CabinetLevels& l : levels) {
                l.plain.clear(); // only the pictures need the sound
                l.wet.clear();
            }
            if (o.cabinets) {
                tables.push_back(measure::judgeCabinetLevels(levels, cabinets->names));
                tables.push_back(measure::judgeCabinetSwitches(switches, cabinets->names));
                tables.push_back(cabinetShapes(*cabinets));
            }
        }
    }

    if (!o.rig.empty())
        tables.push_back(rigTable(o, renderer, pictures));

    bool pass = true;
    for (size_t i = 0; i < tables.size(); ++i) {
        const std::string text =
            o.markdown ? measure::formatMarkdown(tables[i]) : measure::formatText(tables[i]);
        std::fputs(((i ? "\n" : "") + text).c_str(), stdout);
        pass = pass && measure::allPass(tables[i]);
    }
    if (pictures)
        std::fprintf(stderr, "quorle-model: wrote %zu pictures to %s\n", pictures,
                     o.plotDir.c_str());
    return pass ? 0 : kExitFailedTarget;
}

// ---- cabinets ------------------------------------------------------------------

// The gain of `ir` at `hz` against its gain at `reference` (dB).
double relativeDb(const std::vector<float>& ir, double rate, double hz, double reference) {
    return responseDb(ir, rate, hz) - responseDb(ir, rate, reference);
}

// The response of cabinet `name`, 0 dB at 1 kHz, from 20 Hz to 20 kHz (or the
// rate's Nyquist frequency), its resonance and break-up marked.
measure::PlotSpec cabinetPlot(const std::string& name, const CabinetDesign& design,
                              const std::vector<float>& ir, double rate) {
    constexpr double kPointsPerOctave = 48.0;
    measure::PlotSpec plot;
    plot.title = name + ": cabinet response at " + std::to_string(static_cast<long>(rate)) +
                 " Hz, 0 dB at 1 kHz";
    plot.xLabel = "frequency (Hz)";
    plot.yLabel = "gain (dB)";
    plot.logX = true;
    plot.xMin = 20.0;
    plot.xMax = std::min(20000.0, rate / 2.0);
    plot.yMin = -60.0;
    plot.yMax = 15.0;
    plot.legend = measure::LegendPlace::BottomLeft;
    plot.series.push_back(
        measure::responseCurve(ir, rate, plot.xMin, plot.xMax, kPointsPerOctave, 1000.0));
    char label[64];
    std::snprintf(label, sizeof label, "%.0f Hz Q %.1f", design.resonance, design.resonanceQ);
    plot.marks.emplace_back(design.resonance, relativeDb(ir, rate, design.resonance, 1000.0), label,
                            measure::PlotMark::Kind::Tick);
    for (const BreakupPeak& p : design.breakup) {
        std::snprintf(label, sizeof label, "%.1fk %+.0f", p.hz / 1000.0, p.db);
        plot.marks.emplace_back(p.hz, relativeDb(ir, rate, p.hz, 1000.0), label,
                                measure::PlotMark::Kind::Tick);
    }
    return plot;
}

void cabinetsUsage(FILE* to) {
    std::fprintf(to, "usage: quorle-model cabinets DIR [--plot PICTURES] [--rate HZ]\n"
                     "Renders each cabinet text of DIR/cabinets as pack does and prints its\n"
                     "length and response: the resonance and 50 Hz against 1 kHz, 8 kHz against\n"
                     "2 kHz; then the shape targets' table (measure --cabinets judges the same),\n"
                     "with guitarix's gx_cabinet beside when it is installed. With --plot,\n"
                     "writes PICTURES/cabinet-NAME.png, its response from 20 Hz to 20 kHz, and\n"
                     "cabinets-vs-peers.png. Exit status 0, 1 when a text does not read, 2 on a\n"
                     "usage error.\n");
}

int cabinetsCommand(int argc, char** argv) {
    std::string dir, plotDir;
    double rate = kArchiveCabinetRate;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--plot")
            plotDir = value();
        else if (a == "--rate") {
            rate = rateOption(value());
        } else if (a == "--help" || a == "-h") {
            cabinetsUsage(stdout);
            return 0;
        } else if (!a.empty() && a[0] != '-' && dir.empty())
            dir = a;
        else {
            cabinetsUsage(stderr);
            return kExitUsage;
        }
    }
    if (dir.empty()) {
        cabinetsUsage(stderr);
        return kExitUsage;
    }
    if (!plotDir.empty()) {
        std::error_code ec;
        fs::create_directories(plotDir, ec);
        if (!fs::is_directory(plotDir))
            fail("cannot create the picture folder " + plotDir);
    }
    int status = 0;
    std::vector<measure::NamedResponse> responses;
    for (const fs::path& path : authoring::listCabinets(dir)) {
        const WholeFile file = readWholeFile(path, authoring::kMaxSourceBytes);
        CabinetDesign design;
        CabinetError error;
        if (!file.ok() || !readCabinetDesign(file.bytes, design, error)) {
            const authoring::Finding f{path.string(), file.ok() ? error.line : 0, true,
                                       file.ok() ? error.message : file.reason()};
            std::fprintf(stderr, "%s\n", f.text().c_str());
            status = authoring::kExitRefused;
            continue;
        }
        const std::string name = path.stem().string();
        const std::vector<float> ir = cabinetResponse(design, rate);
        std::printf("%s: %.1f ms; %.0f Hz %+.1f dB, 50 Hz %+.1f dB re 1 kHz; 8 kHz %+.1f dB re "
                    "2 kHz\n",
                    name.c_str(), 1000.0 * static_cast<double>(ir.size()) / rate, design.resonance,
                    relativeDb(ir, rate, design.resonance, 1000.0),
                    relativeDb(ir, rate, 50.0, 1000.0), relativeDb(ir, rate, 8000.0, 2000.0));
        if (!plotDir.empty()) {
            std::string why;
            const std::string picture = (fs::path(plotDir) / ("cabinet-" + name + ".png")).string();
            if (!measure::writePng(cabinetPlot(name, design, ir, rate), picture, why))
                fail(picture + ": " + why);
        }
        responses.push_back({name, ir});
    }
    std::vector<measure::NamedResponse> peers;
    for (measure::PeerCabinet& p : measure::gxCabinetResponses(rate))
        peers.push_back({p.name, std::move(p.ir)});
    std::printf("\n%s", measure::formatText(
                            measure::judgeCabinetShapes(responses, rate, peers, rate, "gx_cabinet"))
                            .c_str());
    if (!plotDir.empty() && !responses.empty())
        measure::plotCabinetsBesidePeers(responses, rate, peers, rate, "gx_cabinet", plotDir);
    return status;
}

#else

// measure and cabinets in a build without the measuring part.
int withoutMeasuring(int, char** argv) {
    std::fprintf(stderr,
                 "quorle-model: %s needs the measuring part, which this build does not have "
                 "(configured with QUORLE_MEASURE off).\n",
                 argv[0]);
    return kExitUsage;
}

int measureCommand(int argc, char** argv) {
    return withoutMeasuring(argc, argv);
}
int cabinetsCommand(int argc, char** argv) {
    return withoutMeasuring(argc, argv);
}

#endif

// ---- dispatch ------------------------------------------------------------------

struct Command {
    const char* name;
    const char* summary;
    int (*run)(int argc, char** argv); // argv[0] is the command's name
};

const Command kCommands[] = {
    {"check", "why a model would be refused (FILE:LINE: message)", &authoring::checkCommand},
    {"graph", "draw a model's graph (SVG or PNG)", &authoring::graphCommand},
    {"pack", "build a data archive from model files and preset texts", &authoring::packCommand},
    {"measure", "measure the models against their targets", &measureCommand},
    {"cabinets", "the cabinets' responses, figures and pictures", &cabinetsCommand},
};

void usage(FILE* to) {
    std::fprintf(to, "usage: quorle-model COMMAND [options]   (quorle-model COMMAND --help)\n"
                     "       quorle-model --version\n"
                     "commands:\n");
    for (const Command& c : kCommands)
        std::fprintf(to, "  %-10s %s\n", c.name, c.summary);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        usage(stdout);
        return 0;
    }
    if (name == "--version") {
        std::printf("quorle-model %s\n", QUORLE_VERSION);
        return 0;
    }
    for (const Command& c : kCommands)
        if (name == c.name) {
            try {
                return c.run(argc - 1, argv + 1);
            } catch (const std::bad_alloc&) {
                fail("out of memory");
            } catch (const std::exception& e) {
                fail(e.what());
            }
        }
    fail("unknown command \"" + name + "\" (see quorle-model --help)");
}
