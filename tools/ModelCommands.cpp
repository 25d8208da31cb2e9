#include "tools/ModelCommands.h"

#include "main/DataArchive.h"
#include "main/ModelDocument.h"
#include "main/WholeFile.h"
#include "tools/ModelGraph.h"
#include "tools/ModelSources.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace authoring {

namespace {

struct Options {
    std::vector<std::string> operands;
    std::string presets; // --presets DIR
    std::string output;  // -o FILE
    bool help = false;
};

// False, with a message, for an unknown option or one without its value.
bool parse(int argc, char** argv, bool withPresets, bool withOutput, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool takesValue = (withPresets && a == "--presets") || (withOutput && a == "-o");
        if (takesValue) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quorle-model %s: %s needs a value\n", argv[0], a.c_str());
                return false;
            }
            (a == "-o" ? o.output : o.presets) = argv[++i];
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
    std::vector<fs::path> presets;
    if (!presetDir.empty()) {
        std::vector<fs::path> unused;
        listSources(presetDir, unused, presets);
    }
    sources = readSources({}, presets,
                          presetDir.empty() ? std::vector<fs::path>{} : listCabinets(presetDir));
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
                     "(DIR/cabinets) are read as pack reads them. Exit status 0 when the model\n"
                     "would load, 1 when it would be refused, 2 on a usage error.\n");
        return o.help ? 0 : kExitUsage;
    }
    Sources sources;
    std::vector<BuildReport> reports;
    const std::vector<Finding> findings = checkOne(o.operands[0], o.presets, sources, reports);
    print(findings);
    const bool refused = anyRefuses(findings);
    std::printf("%s: %s\n", o.operands[0].c_str(), refused ? "refused" : "loads");
    return refused ? kExitRefused : 0;
}

int graphCommand(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, true, true, o))
        return kExitUsage;
    if (o.help || o.operands.size() != 1 || o.output.empty()) {
        std::fprintf(o.help ? stdout : stderr,
                     "usage: quorle-model graph MODEL.xml -o PICTURE.svg|PICTURE.png "
                     "[--presets DIR]\n"
                     "Draws the model's graph with Graphviz: audio connections solid, parameter\n"
                     "mappings dashed (\"get G > set S\"), each node with its id, kind, preset,\n"
                     "processing order (#N) and the slot it writes; at most 512 nodes. Reasons\n"
                     "the model would be refused are printed as check prints them, and the exit\n"
                     "status is then 1.\n");
        return o.help ? 0 : kExitUsage;
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
    if (!drawModelGraph(modelGraphDot(root, reports[0], !o.presets.empty()), o.output, error)) {
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
                     "text that does not read, and a folder without models. Exit status 0 when\n"
                     "written, 1 when refused, 2 on a usage error.\n");
        return o.help ? 0 : kExitUsage;
    }
    const fs::path dir = o.operands[0];
    if (!fs::is_directory(dir)) {
        std::fprintf(stderr, "%s: error: no such folder\n", dir.string().c_str());
        return kExitRefused;
    }
    std::vector<fs::path> models, presets;
    listSources(dir, models, presets);
    const Sources sources = readSources(models, presets, listCabinets(dir));
    std::vector<Finding> findings = sources.findings;
    if (sources.models == 0)
        findings.push_back({dir.string(), 0, true, "no model files (*.xml) to pack"});
    const std::vector<Finding> built = checkModels(sources, true);
    findings.insert(findings.end(), built.begin(), built.end());
    print(findings);
    if (anyRefuses(findings)) {
        std::fprintf(stderr, "quorle-model pack: %s not written\n", o.output.c_str());
        return kExitRefused;
    }
    // Written beside the target and moved into place, so that a failed pack never
    // leaves a half-written archive where a host would load it.
    const std::string partial = o.output + ".partial";
    std::error_code ec;
    if (!writeArchive(partial, sources.entries) || (fs::rename(partial, o.output, ec), ec)) {
        fs::remove(partial, ec);
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
