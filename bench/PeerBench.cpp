// quorle's LV2 plug-in side by side with the guitar processors Debian packages, in
// one run on one machine: every model at every oversampling factor, mono and
// stereo, and each peer with its default controls, all fed the plucked phrase
// (played over and over) by a small lilv host (tools/measure/Lv2Timer). Prints x
// real time per channel (seconds of audio per channel per CPU second of run()),
// the fastest and the median of the repetitions, and the median against Calf
// Saturator's. The repetitions go round robin over every plug-in, so that a change
// of the machine's load falls on all of them alike.
//
//   peer-bench [--bundle DIR] [--rate HZ] [--block N] [--seconds S] [--reps N]
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
    unsigned block = 512;
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
                 "usage: peer-bench [--bundle DIR] [--rate HZ] [--block N] [--seconds S] "
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
            o.block = static_cast<unsigned>(number(a, value(), 1, 65536));
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

struct Row {
    std::string plugin, setting;
    bool quorle = false;
    std::string package; // the Debian package of a peer
    std::unique_ptr<TimedPlugin> timed;
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
            rows.push_back({label, "-", true, "", own.open(uri, {}, input, o.rate, o.block)});
            continue;
        }
        for (const auto& [model, name] : models) {
            if (!listed(o.models, static_cast<int>(model)))
                continue;
            for (int k : o.factors) {
                std::string setting = name + ", " + std::to_string(k) + "x";
                if (factor && static_cast<int>(*factor) == k)
                    setting += " (default)";
                rows.push_back(
                    {label, setting, true, "",
                     own.open(uri, {{"model", model}, {"oversampling", static_cast<float>(k)}},
                              input, o.rate, o.block)});
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
        rows.push_back({peer.label, "defaults", false, peer.package,
                        installed.open(peer.uri, {}, input, o.rate, o.block)});
    }

    std::vector<TimedPlugin*> timed;
    for (const Row& row : rows)
        timed.push_back(row.timed.get());
    const std::vector<std::optional<measure::Speeds>> speeds =
        measure::timeRounds(timed, o.reps, &progress);

    measure::Table table;
    table.columns = {"Plug-in",  "Setting",
                     "Channels", "x real time, fastest",
                     "median",   std::string("median / ") + kReferenceLabel};
    // The reference's median x real time; 0 when it was not timed.
    const double calf =
        reference < rows.size() && speeds[reference] ? speeds[reference]->median : 0.0;
    bool allQuorle = true;
    for (size_t r = 0; r < rows.size(); ++r) {
        const Row& row = rows[r];
        std::vector<Cell> cells = {{row.plugin}, {row.setting}};
        if (speeds[r]) {
            cells.push_back({std::to_string(row.timed->channels())});
            cells.push_back({speedText(speeds[r]->fastest)});
            cells.push_back({speedText(speeds[r]->median)});
            char ratio[32] = "-";
            if (calf > 0.0)
                std::snprintf(ratio, sizeof ratio, "%.2f", speeds[r]->median / calf);
            cells.push_back({ratio});
        } else {
            const bool missing = row.timed->state() == TimedPlugin::State::NotInstalled;
            cells.push_back({"-"});
            cells.push_back({missing ? "not installed" : "failed"});
            cells.push_back({"-"});
            cells.push_back({"-"});
            std::string note = row.plugin + ": " + row.timed->why();
            if (missing && !row.package.empty())
                note += " (Debian package " + row.package + ")";
            table.notes.push_back(note);
            allQuorle = allQuorle && !row.quorle;
        }
        table.rows.push_back(cells);
    }
    char settings[256];
    std::snprintf(settings, sizeof settings,
                  "%.0f s of the plucked phrase at %.0f Hz in blocks of %u frames, %d repetitions "
                  "round robin; x real time per channel = seconds of audio per channel per CPU "
                  "second of run() (thread CPU time).",
                  o.seconds, o.rate, o.block, o.reps);
    table.notes.insert(table.notes.begin(), settings);
    const std::string text =
        o.markdown ? measure::formatMarkdown(table) : measure::formatText(table);
    std::fputs(text.c_str(), stdout);
    return allQuorle ? 0 : 1;
}
