#include "tools/ModelGraph.h"

#include "graph/AudioNode.h"

#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <map>

namespace authoring {

namespace {

bool sameWord(const char* a, const char* b) {
    return a && b && strcasecmp(a, b) == 0;
}

// `text` as a quoted string of the dot language.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

const PlacedNode* placedAt(const BuildReport& report, int element) {
    for (const PlacedNode& p : report.nodes)
        if (p.element == element)
            return &p;
    return nullptr;
}

bool presetMissing(const BuildReport& report, const PlacedNode& node) {
    for (const BuildReason& r : report.reasons)
        if (r.code == BuildCode::kPresetMissing && r.id == node.id && r.line == node.line)
            return true;
    return false;
}

bool hasBlock(const BuildReport& report, const PlacedNode& node) {
    for (const BuildReason& r : report.reasons)
        if (r.code == BuildCode::kPassedOver && r.id == node.id && r.line == node.line)
            return false;
    return true;
}

bool writesOutput(const BuildReport& report) {
    for (const BuildReason& r : report.reasons)
        if (r.code == BuildCode::kNoOutput)
            return false;
    return true;
}

} // namespace

std::string modelGraphDot(const TiXmlElement* root, const BuildReport& report, bool presetsKnown) {
    std::string dot = "digraph model {\n  rankdir=LR;\n"
                      "  node [shape=box, style=rounded, fontname=\"Helvetica\", fontsize=10];\n"
                      "  edge [fontname=\"Helvetica\", fontsize=9];\n"
                      "  in [shape=ellipse, label=\"in\\nslot 0\"];\n";
    std::map<std::string, std::string> names{{"in", "in"}}; // id -> dot node, as registered
    std::string previous = "in";
    std::string lastName;
    const PlacedNode* last = nullptr;
    int index = 0;
    for (const TiXmlElement* e = root->FirstChildElement(); e;
         e = e->NextSiblingElement(), ++index) {
        const PlacedNode* placed = placedAt(report, index);
        if (!placed)
            continue;
        const std::string name = "n" + std::to_string(index);
        const char* tag = e->Value();
        const char* type = e->Attribute("type");
        const bool fx = sameWord(tag, "fx");
        const bool mixer = sameWord(tag, "mixer");
        const bool divider = sameWord(tag, "processor") && sameWord(type, "divider");

        std::string label = placed->id.empty() ? "(no id)" : placed->id;
        label += "\n";
        if (fx && hasBlock(report, *placed))
            label += std::string(type) + ", preset " + placed->id + ".fxp" +
                     (presetsKnown && presetMissing(report, *placed) ? " (missing)" : "");
        else if (fx)
            label += "no block";
        else
            label += mixer ? "mixer" : std::string(type);
        label += "\n";
        if (placed->order == 0)
            label += "never runs";
        else
            label += "#" + std::to_string(placed->order) + ", " +
                     (placed->slot == kOutputSlot ? "slot 1 (out)"
                      : placed->slot == kNoSlot   ? "no audio"
                                                  : "slot " + std::to_string(placed->slot));
        dot += "  " + name + " [label=" + quoted(label) +
               (placed->order == 0 ? ", color=gray60, fontcolor=gray40, style=\"rounded,dashed\""
                                   : "") +
               "];\n";

        auto source = [&](const char* id) -> std::string {
            const auto found = id ? names.find(id) : names.end();
            return found == names.end() ? std::string() : found->second;
        };
        const char* inputId = e->Attribute("input");
        const std::string input = inputId ? source(inputId) : previous;
        if (!divider && !input.empty())
            dot += "  " + input + " -> " + name + ";\n";
        if (mixer && !source(e->Attribute("input2")).empty())
            dot += "  " + source(e->Attribute("input2")) + " -> " + name + " [label=\"input2\"];\n";
        for (const TiXmlElement* p = e->FirstChildElement("param"); p;
             p = p->NextSiblingElement("param")) {
            const char* set = p->Attribute("set");
            const char* get = p->Attribute("get");
            const std::string from = source(p->Attribute("node"));
            // An "ms" that gives a window stands without "node": this is a mapping.
            if (set && get && !from.empty())
                dot += "  " + from + " -> " + name + " [style=dashed, label=" +
                       quoted(std::string("get ") + get + " > set " + set) + "];\n";
        }
        if (!placed->id.empty())
            names[placed->id] = name;
        previous = name;
        lastName = name;
        last = placed;
    }
    if (!writesOutput(report))
        dot += "  out [shape=ellipse, label=\"out\\nfixed stage only\"];\n";
    else if (last && last->slot == kOutputSlot)
        dot += "  out [shape=ellipse, label=\"out\"];\n  " + lastName + " -> out;\n";
    return dot + "}\n";
}

bool drawModelGraph(const std::string& dot, const std::string& path, std::string& error) {
    const size_t dotAt = path.find_last_of('.');
    const std::string extension = dotAt == std::string::npos ? "" : path.substr(dotAt + 1);
    if (extension != "svg" && extension != "png") {
        error = "the picture's name must end in .svg or .png: " + path;
        return false;
    }
    // Graphviz's own program, fed the graph on its standard input: its font and
    // plugin caches stay in its process.
    int feed[2];
    if (pipe(feed) != 0) {
        error = "cannot start Graphviz's dot";
        return false;
    }
    const std::string format = "-T" + extension;
    const pid_t child = fork();
    if (child == 0) {
        dup2(feed[0], STDIN_FILENO);
        close(feed[0]);
        close(feed[1]);
        execlp("dot", "dot", format.c_str(), "-o", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(feed[0]);
    std::signal(SIGPIPE, SIG_IGN); // a dot that quits early is an error, not our end
    bool written = child > 0;
    for (size_t at = 0; written && at < dot.size();) {
        const ssize_t n = write(feed[1], dot.data() + at, dot.size() - at);
        written = n > 0;
        at += written ? static_cast<size_t>(n) : 0;
    }
    close(feed[1]);
    int status = 0;
    if (child > 0)
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    if (child <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) == 127)
        error = "cannot run Graphviz's dot (Debian's graphviz package)";
    else if (!written || WEXITSTATUS(status) != 0)
        error = "Graphviz's dot could not draw " + path;
    else
        return true;
    return false;
}

} // namespace authoring
