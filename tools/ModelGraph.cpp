#include "tools/ModelGraph.h"

#include "graph/AudioNode.h"

#include <poll.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>
#include <utility>
#include <vector>

namespace authoring {

namespace {

bool sameWord(const char* a, const char* b) {
    return a && b && strcasecmp(a, b) == 0;
}

// `text` as a quoted string of the dot language.
std::string dotQuoted(const std::string& text) {
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
    const bool quick = report.nodes.size() > kQuickLayoutNodes;
    const std::string edgeLabel = quick ? "xlabel=" : "label=";
    std::string dot = "digraph model {\n  rankdir=LR;\n";
    if (quick)
        dot += "  graph [nslimit=1, nslimit1=1, mclimit=0.01, splines=line];\n";
    dot += "  node [shape=box, style=rounded, fontname=\"Helvetica\", fontsize=10];\n"
           "  edge [fontname=\"Helvetica\", fontsize=9];\n"
           "  in [shape=ellipse, label=\"in\\nslot 0\"];\n";
    std::map<std::string, std::string> names{{"in", "in"}}; // id -> dot node, as registered
    // In the quick layout an edge is kept short: each dot node's rank along the
    // longest path from "in", and a source more than kLongEdgeRanks ranks back is
    // drawn as a small "from ID" beside its reader. Graphviz lays a long edge out
    // as a node per rank it spans, and a model whose nodes all read "in" would
    // otherwise give it some 65000 of them at 512 nodes.
    constexpr int kLongEdgeRanks = 8;
    std::map<std::string, int> rank{{"in", 0}};
    std::map<std::string, std::string> ids{{"in", "in"}}; // dot node -> id
    int proxies = 0;
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
        dot += "  " + name + " [label=" + dotQuoted(label) +
               (placed->order == 0 ? ", color=gray60, fontcolor=gray40, style=\"rounded,dashed\""
                                   : "") +
               "];\n";

        auto source = [&](const char* id) -> std::string {
            const auto found = id ? names.find(id) : names.end();
            return found == names.end() ? std::string() : found->second;
        };
        std::vector<std::pair<std::string, std::string>> into; // source, attributes
        const char* inputId = e->Attribute("input");
        const std::string input = inputId ? source(inputId) : previous;
        if (!divider && !input.empty())
            into.emplace_back(input, "");
        if (mixer && !source(e->Attribute("input2")).empty())
            into.emplace_back(source(e->Attribute("input2")), " [" + edgeLabel + "\"input2\"]");
        for (const TiXmlElement* p = e->FirstChildElement("param"); p;
             p = p->NextSiblingElement("param")) {
            const char* set = p->Attribute("set");
            const char* get = p->Attribute("get");
            const std::string from = source(p->Attribute("node"));
            // An "ms" that gives a window stands without "node": this is a mapping.
            if (set && get && !from.empty())
                into.emplace_back(from, " [style=dashed, " + edgeLabel +
                                            dotQuoted(std::string("get ") + get + " > set " + set) +
                                            "]");
        }
        int at = 0;
        for (const auto& [from, attributes] : into)
            at = std::max(at, rank[from] + 1);
        rank[name] = at;
        ids[name] = placed->id.empty() ? "(no id)" : placed->id;
        for (const auto& [from, attributes] : into) {
            if (quick && at - rank[from] > kLongEdgeRanks) {
                const std::string proxy = "p" + std::to_string(proxies++);
                dot += "  " + proxy +
                       " [shape=plaintext, fontsize=9, label=" + dotQuoted("from " + ids[from]) +
                       "];\n  " + proxy + " -> " + name + attributes + ";\n";
            } else {
                dot += "  " + from + " -> " + name + attributes + ";\n";
            }
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

bool drawModelGraph(const std::string& dot, const std::string& path, double seconds,
                    std::string& error) {
    using Clock = std::chrono::steady_clock;
    const size_t dotAt = path.find_last_of('.');
    const std::string extension = dotAt == std::string::npos ? "" : path.substr(dotAt + 1);
    if (extension != "svg" && extension != "png") {
        error = "the picture's name must end in .svg or .png: " + path;
        return false;
    }
    const std::filesystem::path target(path);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    std::string partial = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int made = mkstemp(partial.data());
    if (made < 0) {
        error = "cannot write " + path;
        return false;
    }
    close(made);
    const mode_t mask = umask(0);
    umask(mask);
    chmod(partial.c_str(), 0666 & ~mask); // as a new file, not mkstemp's 0600
    // Graphviz's own program, fed the graph on its standard input: its font and
    // plugin caches stay in its process.
    int feed[2];
    if (pipe(feed) != 0) {
        unlink(partial.c_str());
        error = "cannot start Graphviz's dot";
        return false;
    }
    const std::string format = "-T" + extension;
    const pid_t child = fork();
    if (child == 0) {
        dup2(feed[0], STDIN_FILENO);
        close(feed[0]);
        close(feed[1]);
        execlp("dot", "dot", format.c_str(), "-o", partial.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(feed[0]);
    std::signal(SIGPIPE, SIG_IGN); // a dot that quits early is an error, not our end
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(seconds));
    auto msLeft = [&] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    };
    // The graph is written as dot takes it, and dot waited for, never past the deadline.
    bool written = child > 0;
    bool late = false;
    for (size_t at = 0; written && at < dot.size();) {
        pollfd ready{feed[1], POLLOUT, 0};
        const int polled = poll(&ready, 1, msLeft());
        if (polled < 0 && errno == EINTR)
            continue;
        late = polled == 0;
        const ssize_t n = polled > 0 ? write(feed[1], dot.data() + at, dot.size() - at) : -1;
        written = n > 0;
        at += written ? static_cast<size_t>(n) : 0;
    }
    close(feed[1]);
    int status = 0;
    if (child > 0) {
        for (;;) {
            const pid_t done = waitpid(child, &status, WNOHANG);
            if (done == child || (done < 0 && errno != EINTR))
                break;
            if (late || Clock::now() >= deadline) {
                late = true;
                kill(child, SIGKILL);
                while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, msLeft() + 1)));
        }
    }
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", seconds);
    if (late)
        error = "Graphviz's dot took longer than " + std::string(limit) +
                " s to lay the graph out and was stopped; nothing was written to " + path;
    else if (child <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) == 127)
        error = "cannot run Graphviz's dot (Debian's graphviz package)";
    else if (!written || WEXITSTATUS(status) != 0)
        error = "Graphviz's dot could not draw " + path;
    else if (rename(partial.c_str(), path.c_str()) != 0)
        error = "cannot write " + path;
    else
        return true;
    unlink(partial.c_str());
    return false;
}

} // namespace authoring
