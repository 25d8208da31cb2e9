#include "tools/ModelCommands.h"

#include "main/DataArchive.h"
#include "main/ModelDocument.h"
#include "main/WholeFile.h"
#include "tools/ModelCost.h"
#include "tools/ModelGraph.h"
#include "tools/ModelSources.h"
#include "tools/ReplacedFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace authoring {

namespace {

struct Options {
    std::vector<std::string> operands;
    std::string presets; // --presets DIR
    std::string output;  // -o FILE
    std::string timeout; // --timeout SECONDS
    bool help = false;
};

// False, with a message, for an unknown option or one without its value.
bool parse(int argc, char** argv, bool withPresets, bool withOutput, Options& o,
           bool withTimeout = false) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool takesValue = (withPresets && a == "--presets") || (withOutput && a == "-o") ||
                                (withTimeout && a == "--timeout");
        if (takesValue) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quorle-model %s: %s needs a value\n", argv[0], a.c_str());
                return false;
            }
            (a == "-o" ? o.output : a == "--timeout" ? o.timeout : o.presets) = argv[++i];
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "quorle-model %s: unknown option \"%s\"\n", argv[0], a.c_str());
            return false;
        } else {
            o.operands.push_back(a);
        }
    }
    return true;
}

// Each file's findings in line order.
void print(std::vector<Finding> findings) {
    std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
        return a.file != b.file ? a.file < b.file : a.line < b.line;
    });
    for (const Finding& f : findings)
        std::fprintf(stderr, "%s\n", f.text().c_str());
}

// The model at `model` with the presets of `presetDir` (none when empty), read
// and checked as the plug-in would.
std::vector<Finding> checkOne(const std::string& model, const std::string& presetDir,
                              Sources& sources, std::vector<BuildReport>& reports) {
    std::vector<fs::path> presets, cabinets;
    std::vector<Finding> outside;
    if (!presetDir.empty()) {
        std::vector<fs::path> unused;
        listSources(presetDir, unused, presets);
        cabinets = listCabinets(presetDir);
        outside = keepInside(presetDir, presets); // as pack would refuse them
        const std::vector<Finding> more = keepInside(presetDir, cabinets);
        outside.insert(outside.end(), more.begin(), more.end());
    }
    sources = readSources({}, presets, cabinets);
    sources.findings.insert(sources.findings.end(), outside.begin(), outside.end());
    // The model file is opened once and read whole from that descriptor, so that a
    // FIFO, a device or a file without end is refused at once, not waited for; the
    // plug-in reads no larger model.
    const WholeFile file = readWholeFile(model, ArchiveLimits{}.modelBytes);
    if (file.ok()) {
        sources.entries.insert(sources.entries.begin(),
                               {fs::path(model).filename().string(), file.bytes, model});
        sources.models = 1;
    } else {
        sources.findings.insert(sources.findings.begin(), {model, 0, true, file.reason()});
    }
    std::vector<Finding> findings = sources.findings;
    if (!presetDir.empty() && !fs::is_directory(presetDir))
        findings.push_back({presetDir, 0, true, "no such folder of preset texts"});
    if (sources.models == 1) {
        const std::vector<Finding> built = checkModels(sources, !presetDir.empty(), &reports);
        findings.insert(findings.end(), built.begin(), built.end());
    }
    return findings;
}

// Whether `a` and `b` name the same file (device and inode, links followed).
bool sameFile(const fs::path& a, const fs::path& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Why pack must not write its archive at `output` (empty when it may): the
// output is a folder, one of the files packed, or lies in a folder whose files
// pack reads (it would be packed, or shadow a source, the next time).
std::string unfitOutput(const fs::path& output, const fs::path& dir,
                        const std::vector<const std::vector<fs::path>*>& inputs) {
    std::error_code ec;
    if (fs::is_directory(output, ec))
        return output.string() + " is a folder, not an archive to write.";
    for (const std::vector<fs::path>* files : inputs)
        for (const fs::path& file : *files)
            if (sameFile(output, file))
                return output.string() + " is one of the files it packs" +
                       (file == output ? std::string() : " (" + file.string() + ")") +
                       "; write the archive elsewhere.";
    const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
    for (const fs::path& source : sourceFolders(dir))
        if (sameFile(folder, source))
            return output.string() + " is in " + source.string() +
                   ", a folder pack reads its files from; write the archive elsewhere.";
    return {};
}

} // namespace

int checkCommand(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, true, false, o))
        return kExitUsage;
    if (o.help || o.operands.size() != 1) {
        std::fprintf(o.help ? stdout : stderr,
                     "usage: quorle-model check MODEL.xml [--presets DIR]\n"
                     "Builds the model as the plug-in would and prints every reason it would be\n"
                     "refused as FILE:LINE: error: ..., and warnings for elements that never run\n"
                     "or are passed over, for an \"ms\" that gives no window, for a model whose\n"
                     "output nothing writes and (with --presets, the folder of its preset texts)\n"
                     "presets that are missing; the folder's preset texts and cabinet texts\n"
                     "(DIR/cabinets) are read as pack reads them. A model that loads is then\n"
                     "played (the plucked phrase through one channel at 44.1 kHz, oversampling\n"
                     "2x, blocks of 512) and its speed printed in x real time, CPU time on this\n"
                     "machine, with a warning under 2x: too slow to play in real time here. Exit\n"
                     "status 0 when the model would load, 1 when it would be refused, 2 on a\n"
                     "usage error.\n");
        return o.help ? 0 : kExitUsage;
    }
    Sources sources;
    std::vector<BuildReport> reports;
    const std::vector<Finding> findings = checkOne(o.operands[0], o.presets, sources, reports);
    print(findings);
    const bool refused = anyRefuses(findings);
    const char* model = o.operands[0].c_str();
    std::printf("%s: %s\n", model, refused ? "refused" : "loads");
    if (refused)
        return kExitRefused;
    // What it costs to play, measured by playing it.
    const std::optional<ModelCost> cost =
        measureModelCost(packedArchive(sources.entries), sources.entries.front().name);
    if (!cost) {
        std::printf("%s: its cost could not be measured (no engine would play it)\n", model);
        return 0;
    }
    std::printf("%s: %s\n", model, costLine(*cost).c_str());
    const std::string warning = costWarning(cost->speed);
    std::fflush(stdout); // the lines in order where both streams go to one file
    if (!warning.empty())
        std::fprintf(stderr, "%s: warning: %s\n", model, warning.c_str());
    return 0;
}

int graphCommand(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, true, true, o, true))
        return kExitUsage;
    if (o.help || o.operands.size() != 1 || o.output.empty()) {
        std::fprintf(o.help ? stdout : stderr,
                     "usage: quorle-model graph MODEL.xml -o PICTURE.svg|PICTURE.png "
                     "[--presets DIR] [--timeout SECONDS]\n"
                     "Draws the model's graph with Graphviz: audio connections solid, parameter\n"
                     "mappings dashed (\"get G > set S\"), each node with its id, kind, preset,\n"
                     "processing order (#N) and the slot it writes; at most 512 nodes, and above\n"
                     "%zu Graphviz's quick layout. Graphviz is stopped after SECONDS (default\n"
                     "%g) and nothing is written. Reasons the model would be refused are printed\n"
                     "as check prints them, and the exit status is then 1; 2 on a usage error,\n"
                     "a picture that cannot be drawn or one that took too long.\n",
                     kQuickLayoutNodes, kDefaultDrawSeconds);
        return o.help ? 0 : kExitUsage;
    }
    double seconds = kDefaultDrawSeconds;
    if (!o.timeout.empty()) {
        char* end = nullptr;
        seconds = std::strtod(o.timeout.c_str(), &end);
        if (*end || !(seconds > 0.0 && seconds <= 3600.0)) {
            std::fprintf(stderr,
                         "quorle-model graph: --timeout needs seconds from 0 to 3600, not "
                         "\"%s\"\n",
                         o.timeout.c_str());
            return kExitUsage;
        }
    }
    Sources sources;
    std::vector<BuildReport> reports;
    const std::vector<Finding> findings = checkOne(o.operands[0], o.presets, sources, reports);
    print(findings);
    TiXmlDocument document;
    TiXmlElement* root = reports.empty() || sources.entries.empty()
                             ? nullptr
                             : parseModelDocument(sources.entries[0].bytes, document);
    if (!root) {
        std::fprintf(stderr, "quorle-model graph: nothing to draw\n");
        return kExitRefused;
    }
    if (reports[0].nodes.size() > kMaxDrawnNodes) {
        std::fprintf(stderr,
                     "quorle-model graph: the model has %zu nodes; a picture holds at most %zu\n",
                     reports[0].nodes.size(), kMaxDrawnNodes);
        return kExitUsage;
    }
    std::string error;
    if (!drawModelGraph(modelGraphDot(root, reports[0], !o.presets.empty()), o.output, seconds,
                        error)) {
        std::fprintf(stderr, "quorle-model graph: %s\n", error.c_str());
        return kExitUsage;
    }
    return anyRefuses(findings) ? kExitRefused : 0;
}

int packCommand(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, false, true, o))
        return kExitUsage;
    if (o.help || o.operands.size() != 1 || o.output.empty()) {
        std::fprintf(o.help ? stdout : stderr,
                     "usage: quorle-model pack DIR -o ARCHIVE\n"
                     "Builds a data archive from the model files (*.xml) and preset texts (*.txt)\n"
                     "of DIR (of DIR/models and DIR/presets where those exist): models as they\n"
                     "are, each preset compiled to NAME.fxp, and each cabinet text of\n"
                     "DIR/cabinets rendered to cabinets/NAME.wav (a 48 kHz impulse response).\n"
                     "Refuses, writing nothing, whatever check refuses, a preset or cabinet\n"
                     "text that does not read, a file whose real path leads out of DIR (a link\n"
                     "within DIR is fine) and a folder without models. ARCHIVE may not be one\n"
                     "of the files packed nor lie in a folder they are read from, nor be other\n"
                     "than a regular file (links are followed: the file they lead to is\n"
                     "replaced); it is written under a new name beside that file and renamed\n"
                     "over it, so a failure or an interruption leaves it as it was. Exit status\n"
                     "0 when written, 1 when refused, 2 on a usage error.\n");
        return o.help ? 0 : kExitUsage;
    }
    const fs::path dir = o.operands[0];
    if (!fs::is_directory(dir)) {
        std::fprintf(stderr, "%s: error: no such folder\n", dir.string().c_str());
        return kExitRefused;
    }
    std::vector<fs::path> models, presets;
    listSources(dir, models, presets);
    std::vector<fs::path> cabinets = listCabinets(dir);
    std::string unfit = unfitOutput(o.output, dir, {&models, &presets, &cabinets});
    // Written beside the file the output ends at (through links) and renamed over
    // it, so that a failed or stopped pack never leaves a half-written or lost
    // archive where a host would load it, nor replaces a device or a FIFO.
    ReplacedFile archive;
    std::string error;
    if (unfit.empty() && !archive.open(o.output, error))
        unfit = error + ".";
    if (!unfit.empty()) {
        std::fprintf(stderr, "quorle-model pack: %s\n", unfit.c_str());
        return kExitUsage;
    }
    std::vector<Finding> findings;
    for (std::vector<fs::path>* files : {&models, &presets, &cabinets}) {
        const std::vector<Finding> outside = keepInside(dir, *files);
        findings.insert(findings.end(), outside.begin(), outside.end());
    }
    const Sources sources = readSources(models, presets, cabinets);
    findings.insert(findings.end(), sources.findings.begin(), sources.findings.end());
    if (sources.models == 0)
        findings.push_back({dir.string(), 0, true, "no model files (*.xml) to pack"});
    const std::vector<Finding> built = checkModels(sources, true);
    findings.insert(findings.end(), built.begin(), built.end());
    print(findings);
    if (anyRefuses(findings)) {
        std::fprintf(stderr, "quorle-model pack: %s not written\n", o.output.c_str());
        return kExitRefused;
    }
    if (!writeArchive(archive.temporary(), sources.entries) || !archive.commit(error)) {
        std::fprintf(stderr, "%s: error: cannot write\n", o.output.c_str());
        return kExitRefused;
    }
    const size_t presetCount = sources.entries.size() - sources.models - sources.cabinets;
    std::printf("%s: %zu model%s, %zu preset%s", o.output.c_str(), sources.models,
                sources.models == 1 ? "" : "s", presetCount, presetCount == 1 ? "" : "s");
    if (sources.cabinets > 0)
        std::printf(", %zu cabinet%s", sources.cabinets, sources.cabinets == 1 ? "" : "s");
    std::printf("\n");
    return 0;
}

} // namespace authoring
