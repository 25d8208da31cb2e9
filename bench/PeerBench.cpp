// quorle's LV2 plug-in side by side with the guitar processors Debian packages, in
// one run on one machine: every model at every oversampling factor, mono and
// stereo, and each peer with its default controls, all fed the plucked phrase
// (played over and over) by a small lilv host (tools/measure/Lv2Timer), at each
// host block size asked for. Prints the latency each reports (frames), and per
// block size x real time per channel (seconds of audio per channel per CPU second
// of run()): the median of the repetitions and the median against Calf
// Saturator's at that block size (with one block size, the fastest too). The
// repetitions go round robin over every plug-in and block size, so that a change
// of the machine's load falls on all of them alike.
//
//   peer-bench [--bundle DIR] [--rate HZ] [--block N,...] [--seconds S] [--reps N]
//              [--only WORD,...] [--models I,...] [--factors K,...]
//              [--peer LABEL=URI]... [--markdown]
//
// Exit status 0 when every quorle row was timed, 1 when one was not, 2 on a usage
// error. A peer that is not installed or does not start is reported, not timed.
#include "tools/measure/Lv2Timer.h"
#include "tools/measure/Report.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using measure::Cell;
using measure::TimedPlugin;

constexpr const char* kMonoUri = "http://pellark.invalid/plugins/quorle#mono";
constexpr const char* kStereoUri = "http://pellark.invalid/plugins/quorle#stereo";
constexpr const char* kReferenceLabel = "Calf Saturator";

struct Peer {
    std::string label, uri, package;
};

const std::vector<Peer> kPeers = {
    {"guitarix amp", "http://guitarix.sourceforge.net/plugins/gx_amp#GUITARIX", "guitarix-lv2"},
    {"guitarix studio preamp", "http://guitarix.sourceforge.net/plugins/gx_studiopre#studiopre",
     "guitarix-lv2"},
    {kReferenceLabel, "http://calf.sourceforge.net/plugins/Saturator", "calf-plugins"},
    {"ZamTube", "urn:zamaudio:ZamTube", "zam-plugins"},
    {"mda Overdrive", "http://drobilla.net/plugins/mda/Overdrive", "mda-lv2"},
};

struct Options {
    std::string bundle = QUORLE_BUNDLE_DIR;
    double rate = 44100.0;
    std::vector<int> blocks = {512};
    double seconds = 60.0;
    int reps = 5;
    std::vector<std::string> only; // lower case; empty: every row
    std::vector<int> models;       // empty: every model
    std::vector<int> factors = {1, 2, 4, 8};
    std::vector<Peer> extraPeers;
    bool markdown = false;
};

[[noreturn]] void usage(const std::string& problem) {
    if (!problem.empty())
        std::fprintf(stderr, "peer-bench: %s\n", problem.c_str());
    std::fprintf(stderr,
                 "usage: peer-bench [--bundle DIR] [--rate HZ] [--block N,...] [--seconds S] "
                 "[--reps N]\n"
                 "                  [--only WORD,...] [--models I,...] [--factors K,...]\n"
                 "                  [--peer LABEL=URI]... [--markdown]\n"
                 "defaults: 44100 Hz, block 512, 60 s, 5 reps, every model, factors 1,2,4,8.\n"
                 "--only keeps the rows whose plug-in name holds one of the words (any case);\n"
                 "Calf Saturator, the reference of the last column, is always timed.\n");
    std::exit(2);
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    size_t from = 0;
    while (from <= text.size()) {
        const size_t comma = std::min(text.find(',', from), text.size());
        if (comma > from)
            parts.push_back(text.substr(from, comma - from));
        from = comma + 1;
    }
    return parts;
}

double number(const std::string& option, const std::string& text, double low, double high) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || !(v >= low && v <= high))
        usage(option + " needs a number from " + std::to_string(low) + " to " +
              std::to_string(high) + ", not \"" + text + "\"");
    return v;
}

std::vector<int> integers(const std::string& option, const std::string& text, int low, int high) {
    std::vector<int> values;
    for (const std::string& part : split(text))
        values.push_back(static_cast<int>(number(option, part, low, high)));
    if (values.empty())
        usage(option + " needs a list");
    return values;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--bundle")
            o.bundle = value();
        else if (a == "--rate")
            o.rate = number(a, value(), 8000, 768000);
        else if (a == "--block")
            o.blocks = integers(a, value(), 1, 65536);
        else if (a == "--seconds")
            o.seconds = number(a, value(), 0.01, 3600);
        else if (a == "--reps")
            o.reps = static_cast<int>(number(a, value(), 1, 1000));
        else if (a == "--only")
            for (const std::string& word : split(value()))
                o.only.push_back(lower(word));
        else if (a == "--models")
            o.models = integers(a, value(), 0, 1000);
        else if (a == "--factors")
            o.factors = integers(a, value(), 1, 64);
        else if (a == "--peer") {
            const std::string v = value();
            const size_t equals = v.find('=');
            if (equals == std::string::npos || equals == 0 || equals + 1 == v.size())
                usage("--peer needs LABEL=URI");
            o.extraPeers.push_back({v.substr(0, equals), v.substr(equals + 1), ""});
        } else if (a == "--markdown")
            o.markdown = true;
        else if (a == "--help" || a == "-h")
            usage("");
        else
            usage("unknown option \"" + a + "\"");
    }
    return o;
}

bool wanted(const Options& o, const std::string& label) {
    if (o.only.empty() || label == kReferenceLabel)
        return true;
    return std::any_of(o.only.begin(), o.only.end(), [&](const std::string& word) {
        return lower(label).find(word) != std::string::npos;
    });
}

template <typename T> bool listed(const std::vector<T>& list, T value) {
    return list.empty() || std::find(list.begin(), list.end(), value) != list.end();
}

// One plug-in and setting, timed at each block size.
struct Row {
    std::string plugin, setting;
    bool quorle = false;
    std::string package;                             // the Debian package of a peer
    std::vector<std::unique_ptr<TimedPlugin>> timed; // one per block size
};

std::string speedText(double speed) {
    char text[32];
    std::snprintf(text, sizeof text, speed >= 100.0 ? "%.0f" : "%.1f", speed);
    return text;
}

void progress(int round, int rounds) {
    std::fprintf(stderr, "peer-bench: round %d of %d\n", round + 1, rounds);
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const measure::Signal once = measure::phrase(o.rate);
    const measure::Signal input =
        measure::repeated(once, static_cast<size_t>(std::llround(o.seconds * o.rate)));

    measure::Lv2Timer own(o.bundle), installed;
    std::vector<Row> rows;
    for (const char* uri : {kMonoUri, kStereoUri}) {
        const std::string label = uri == kMonoUri ? "quorle mono" : "quorle stereo";
        if (!wanted(o, label))
            continue;
        const std::vector<std::pair<float, std::string>> models = own.scalePoints(uri, "model");
        const std::optional<float> factor = own.portDefault(uri, "oversampling");
        if (models.empty()) { // not in the bundle: one row says so
            rows.push_back({label, "-", true, "", {}});
            for (int block : o.blocks)
                rows.back().timed.push_back(own.open(uri, {}, input, o.rate, unsigned(block)));
            continue;
        }
        for (const auto& [model, name] : models) {
            if (!listed(o.models, static_cast<int>(model)))
                continue;
            for (int k : o.factors) {
                std::string setting = name + ", " + std::to_string(k) + "x";
                if (factor && static_cast<int>(*factor) == k)
                    setting += " (default)";
                rows.push_back({label, setting, true, "", {}});
                for (int block : o.blocks)
                    rows.back().timed.push_back(
                        own.open(uri, {{"model", model}, {"oversampling", static_cast<float>(k)}},
                                 input, o.rate, unsigned(block)));
            }
        }
    }
    std::vector<Peer> peers = kPeers;
    peers.insert(peers.end(), o.extraPeers.begin(), o.extraPeers.end());
    size_t reference = rows.size();
    for (const Peer& peer : peers) {
        if (!wanted(o, peer.label))
            continue;
        if (peer.label == kReferenceLabel)
            reference = rows.size();
        rows.push_back({peer.label, "defaults", false, peer.package, {}});
        for (int block : o.blocks)
            rows.back().timed.push_back(
                installed.open(peer.uri, {}, input, o.rate, unsigned(block)));
    }

    std::vector<TimedPlugin*> timed;
    for (const Row& row : rows)
        for (const auto& t : row.timed)
            timed.push_back(t.get());
    const std::vector<std::optional<measure::Speeds>> speeds =
        measure::timeRounds(timed, o.reps, &progress);
    const size_t nb = o.blocks.size();
    auto speedOf = [&](size_t row, size_t b) { return speeds[row * nb + b]; };

    measure::Table table;
    table.columns = {"Plug-in", "Setting", "Channels", "Latency (frames)"};
    const bool one = nb == 1;
    for (int block : o.blocks) {
        const std::string at = one ? "" : " @" + std::to_string(block);
        if (one)
            table.columns.push_back("x real time, fastest");
        table.columns.push_back("median" + at);
        table.columns.push_back(std::string("/ ") + kReferenceLabel + at);
    }
    bool allQuorle = true;
    for (size_t r = 0; r < rows.size(); ++r) {
        const Row& row = rows[r];
        const TimedPlugin& first = *row.timed[0];
        std::vector<Cell> cells = {{row.plugin}, {row.setting}};
        if (!speedOf(r, 0)) {
            const bool missing = first.state() == TimedPlugin::State::NotInstalled;
            cells.push_back({"-"});
            cells.push_back({"-"});
            cells.push_back({missing ? "not installed" : "failed"});
            while (cells.size() < table.columns.size())
                cells.push_back({"-"});
            std::string note = row.plugin + ": " + first.why();
            if (missing && !row.package.empty())
                note += " (Debian package " + row.package + ")";
            table.notes.push_back(note);
            allQuorle = allQuorle && !row.quorle;
            table.rows.push_back(cells);
            continue;
        }
        cells.push_back({std::to_string(first.channels())});
        const std::optional<float> latency = first.latency();
        char frames[32] = "0 (none)";
        if (latency)
            std::snprintf(frames, sizeof frames, "%.0f", *latency);
        cells.push_back({frames});
        for (size_t b = 0; b < nb; ++b) {
            const auto speed = speedOf(r, b);
            // The reference's median at this block size; 0 when it was not timed.
            const auto calf = reference < rows.size() ? speedOf(reference, b) : std::nullopt;
            if (one)
                cells.push_back({speed ? speedText(speed->fastest) : "-"});
            cells.push_back({speed ? speedText(speed->median) : "-"});
            char ratio[32] = "-";
            if (speed && calf && calf->median > 0.0)
                std::snprintf(ratio, sizeof ratio, "%.2f", speed->median / calf->median);
            cells.push_back({ratio});
            allQuorle = allQuorle && (speed || !row.quorle);
        }
        table.rows.push_back(cells);
    }
    std::string blocks;
    for (int block : o.blocks)
        blocks += (blocks.empty() ? "" : ", ") + std::to_string(block);
    char settings[320];
    std::snprintf(settings, sizeof settings,
                  "%g s of the plucked phrase at %.0f Hz in blocks of %s frames, %d repetitions "
                  "round robin; x real time per channel = seconds of audio per channel per CPU "
                  "second of run() (thread CPU time); latency as each plug-in reports it.",
                  o.seconds, o.rate, blocks.c_str(), o.reps);
    table.notes.insert(table.notes.begin(), settings);
    const std::string text =
        o.markdown ? measure::formatMarkdown(table) : measure::formatText(table);
    std::fputs(text.c_str(), stdout);
    return allQuorle ? 0 : 1;
}
