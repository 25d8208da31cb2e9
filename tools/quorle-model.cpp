// quorle-model: tools for the plug-in's models, one sub-command each.
//
//   quorle-model check MODEL.xml [--presets DIR]    why a model would be refused
//   quorle-model graph MODEL.xml -o PICTURE.svg     draw a model's graph
//   quorle-model pack DIR -o ARCHIVE                build a data archive
//   quorle-model measure [options]                  measure the models against their targets
#include "au/quorleIds.h"
#include "tools/ModelCommands.h"
#include "tools/PluginHost.h"
#include "tools/measure/CpuBench.h"
#include "tools/measure/ModelMeasure.h"
#include "tools/measure/ModelPlots.h"
#include "tools/measure/Report.h"
#include "tools/measure/Targets.h"

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

// The bundle built or installed beside this program.
std::string defaultBundle() {
    std::error_code ec;
    const fs::path dir = fs::read_symlink("/proc/self/exe", ec).parent_path();
    for (const fs::path& candidate :
         {dir / ".." / "lv2" / "quorle.lv2", dir / ".." / "lib" / "lv2" / "quorle.lv2",
          fs::path(QUORLE_INSTALLED_BUNDLE)})
        if (fs::exists(candidate / kQuorleLibraryName, ec))
            return fs::weakly_canonical(candidate, ec).string();
    return (dir / ".." / "lv2" / "quorle.lv2").string();
}

// ---- measure -------------------------------------------------------------------

struct MeasureOptions {
    std::string bundle;
    std::string model = "all";
    UInt32 oversampling = kQuorleDefaultOversampling;
    double rate = measure::targets::kDefaultRate;
    std::string plotDir;
    bool markdown = false;
    bool cpu = false;
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
                 "  --plot DIR          also write PNG pictures of every measured model to DIR\n"
                 "  --markdown          print the table as Markdown\n"
                 "  --cpu               also time the LV2 plug-in against Calf Saturator\n",
                 static_cast<unsigned>(kQuorleDefaultOversampling));
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
            const std::string v = value();
            char* end = nullptr;
            o.rate = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(o.rate >= 20000.0 && o.rate <= 384000.0))
                fail("--rate needs a rate from 20000 to 384000 Hz, not \"" + v + "\"");
        } else if (a == "--plot")
            o.plotDir = value();
        else if (a == "--markdown")
            o.markdown = true;
        else if (a == "--cpu")
            o.cpu = true;
        else if (a == "--help" || a == "-h") {
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

    std::vector<measure::ModelMeasurements> measured;
    size_t pictures = 0;
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

    measure::Table table = measure::judge(measured, o.model == "all", cpu ? &*cpu : nullptr);
    table.notes.insert(table.notes.begin(), settings);
    const std::string text =
        o.markdown ? measure::formatMarkdown(table) : measure::formatText(table);
    std::fputs(text.c_str(), stdout);
    if (pictures)
        std::fprintf(stderr, "quorle-model: wrote %zu pictures to %s\n", pictures,
                     o.plotDir.c_str());
    return measure::allPass(table) ? 0 : kExitFailedTarget;
}

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
};

void usage(FILE* to) {
    std::fprintf(to, "usage: quorle-model COMMAND [options]   (quorle-model COMMAND --help)\n"
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
