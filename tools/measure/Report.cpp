#include "tools/measure/Report.h"

#include "tools/measure/Targets.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace measure {

namespace t = targets;

std::string format(const char* pattern, ...) {
    char text[1024];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    return text;
}

Cell judged(std::string text, bool pass) {
    return {text + (pass ? " PASS" : " FAIL"), pass ? Verdict::Pass : Verdict::Fail};
}

namespace {

Cell aliasCell(const ModelMeasurements& m) {
    return judged(format("%.1f dB @ %.2f kHz", m.alias.dB, m.alias.hz / 1000.0),
                  m.alias.dB <= t::kAliasMaxDb);
}

Cell dcCell(const ModelMeasurements& m) {
    return judged(format("%.1e", m.dc), m.dc <= t::kDcMax);
}

Cell thdCell(const ModelMeasurements& m) {
    std::string text;
    for (double v : m.thdDb)
        text += (text.empty() ? "" : "/") + format("%.1f", v);
    text += " dB";
    if (m.role.clean)
        return judged(text, m.thdDb[0] <= t::kCleanMaxThdDb && m.thdDb[1] <= t::kCleanMaxThdDb);
    bool pass = true;
    for (size_t i = 1; i < m.thdDb.size(); ++i)
        pass = pass && m.thdDb[i] - m.thdDb[i - 1] >= t::kThdMinStepDb;
    const double rise = m.thdDb.back() - m.thdDb.front();
    pass = pass && rise >= (m.role.highGain ? t::kThdMinRiseHighGainDb : t::kThdMinRiseDb);
    return judged(text, pass);
}

Cell sustainCell(const ModelMeasurements& m) {
    if (!m.sustainDb)
        return kNotApplicable;
    bool pass = *m.sustainDb >= t::kSustainMinDb;
    std::string text = format("%.1f dB", *m.sustainDb);
    if (m.decayRatio) {
        text += format(", decay x%.2f", *m.decayRatio);
        pass = pass && *m.decayRatio <= t::kDecayMaxRatio;
    }
    return judged(text, pass);
}

bool onLadder(const ModelMeasurements& m) {
    return !m.role.clean && !m.role.octave;
}

// THD at the ladder's level; each ladder model judged against the one before it.
Cell ladderCell(const std::vector<ModelMeasurements>& models, size_t i) {
    const ModelMeasurements& m = models[i];
    const std::string text = format("%.1f dB", m.ladderThdDb);
    if (!onLadder(m))
        return {text, Verdict::None};
    for (size_t j = i; j-- > 0;)
        if (onLadder(models[j]))
            return judged(text + format(" (%+.1f)", m.ladderThdDb - models[j].ladderThdDb),
                          m.ladderThdDb - models[j].ladderThdDb >= t::kLadderMinStepDb);
    return {text, Verdict::None};
}

Cell breakupCell(const ModelMeasurements& m) {
    const double worst = std::max(m.breakupStepDb[0], m.breakupStepDb[1]);
    return judged(format("%.1f/%.1f dB", m.breakupStepDb[0], m.breakupStepDb[1]),
                  worst <= t::kBreakupMaxStepDb);
}

// The nearest other drive model's spectral shape, judged when every model is there.
Cell distinctCell(const std::vector<ModelMeasurements>& models, size_t i, bool all) {
    const ModelMeasurements& m = models[i];
    if (m.role.clean)
        return kNotApplicable;
    double nearest = INFINITY;
    std::string name;
    for (size_t j = 0; j < models.size(); ++j) {
        if (j == i || models[j].role.clean)
            continue;
        const double d = meanAbsoluteDifferenceDb(m.shapeDb, models[j].shapeDb);
        if (d < nearest) {
            nearest = d;
            name = models[j].name;
        }
    }
    if (name.empty())
        return kNotApplicable;
    const std::string text = format("%.1f dB (%s)", nearest, name.c_str());
    if (!all)
        return {text, Verdict::None};
    return judged(text, nearest >= t::kDistinctMinDb);
}

Cell fuzzCell(const ModelMeasurements& m) {
    if (!m.fuzzOddDb || !m.fuzzSlope || !m.fuzzOctaveDb)
        return kNotApplicable;
    return judged(
        format("H3-9 %.1f dB, slope %.2f, H2 %.1f dB", *m.fuzzOddDb, *m.fuzzSlope, *m.fuzzOctaveDb),
        *m.fuzzOddDb >= t::kFuzzMinOddDb && *m.fuzzSlope <= t::kFuzzMaxSlope &&
            *m.fuzzOctaveDb >= t::kFuzzMinOctaveDb);
}

Cell octaveCell(const ModelMeasurements& m) {
    if (!m.octaveDb)
        return kNotApplicable;
    return judged(format("%.1f dB", *m.octaveDb), *m.octaveDb >= t::kOctaveMinDb);
}

// `spread`: the loudest model less the quietest, when every model was measured.
Cell loudnessCell(const ModelMeasurements& m, std::optional<double> spread) {
    const std::string text = format("%.1f dBFS (%+.1f)", m.loudnessDbfs, m.loudnessReDryDb);
    const bool inBand = std::fabs(m.loudnessReDryDb) <= t::kLoudnessMaxReDryDb;
    if (!spread)
        return judged(text, inBand);
    return judged(text, inBand && *spread <= t::kLoudnessMaxSpreadDb);
}

Cell ratesCell(const ModelMeasurements& m) {
    return judged(format("%.2f dB (%.1f kHz @ %g Hz)", m.ratesMaxDb, m.ratesWorstRate / 1000.0,
                         std::round(m.ratesWorstHz)),
                  m.ratesMaxDb <= t::kRatesMaxDb);
}

Cell bassCell(const ModelMeasurements& m) {
    const double lowDown = m.bassLowDb[0] - m.bassLowDb[1];
    const double lowUp = m.bassLowDb[2] - m.bassLowDb[1];
    const double midDown = m.bassMidDb[0] - m.bassMidDb[1];
    const double midUp = m.bassMidDb[2] - m.bassMidDb[1];
    bool pass = lowDown <= -t::kBassMinMoveDb && lowUp >= t::kBassMinMoveDb &&
                std::fabs(midDown) <= t::kBassMaxMidMoveDb &&
                std::fabs(midUp) <= t::kBassMaxMidMoveDb;
    std::string text =
        format("80 Hz %+.1f/%+.1f, 1 kHz %+.1f/%+.1f dB", lowDown, lowUp, midDown, midUp);
    if (m.sweepDb) {
        const double low = (*m.sweepDb)[0], high = (*m.sweepDb)[1];
        text += format("; 0 to 1 at -24 dBFS: 80 Hz %+.1f, 5 kHz %+.1f dB", low, high);
        pass = pass && low >= t::kSweepMinLowDb && low <= t::kSweepMaxLowDb &&
               std::fabs(high) <= t::kSweepMaxHighDb;
    }
    return judged(text, pass);
}

Cell cpuCell(const CpuFigures& cpu, size_t i) {
    const std::optional<double> speed = i < cpu.models.size() ? cpu.models[i] : std::nullopt;
    if (!speed)
        return {"n/a", Verdict::None};
    const std::string text = format("%.0fx", *speed);
    if (!cpu.calf)
        return {text, Verdict::None};
    return judged(text, *speed >= t::kCpuMinRatio * *cpu.calf);
}

std::string bar(const std::string& text, size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

} // namespace

Table judge(const std::vector<ModelMeasurements>& models, bool compareLoudness,
            const CpuFigures* cpu) {
    Table table;
    table.columns = {"Model",
                     "Alias",
                     "DC",
                     "THD vs drive (0.25/0.5/0.75/1)",
                     "Sustain",
                     "Octave",
                     "Loudness",
                     "Rates",
                     "Bass (0/1 re 0.5)",
                     "Ladder (THD 1 kHz -18 dBFS)",
                     "Breakup (worst step, drive 0.5/1)",
                     "Distinct (nearest)",
                     "Fuzz"};
    if (cpu)
        table.columns.push_back("CPU (x real time)");
    std::optional<double> spread;
    if (compareLoudness && !models.empty()) {
        double loudest = models.front().loudnessDbfs, quietest = loudest;
        for (const ModelMeasurements& m : models) {
            loudest = std::max(loudest, m.loudnessDbfs);
            quietest = std::min(quietest, m.loudnessDbfs);
        }
        spread = loudest - quietest;
    }
    for (size_t i = 0; i < models.size(); ++i) {
        const ModelMeasurements& m = models[i];
        std::vector<Cell> row = {{m.name, Verdict::None},
                                 aliasCell(m),
                                 dcCell(m),
                                 thdCell(m),
                                 sustainCell(m),
                                 octaveCell(m),
                                 loudnessCell(m, spread),
                                 ratesCell(m),
                                 bassCell(m),
                                 ladderCell(models, i),
                                 breakupCell(m),
                                 distinctCell(models, i, compareLoudness),
                                 fuzzCell(m)};
        if (cpu)
            row.push_back(cpuCell(*cpu, i));
        table.rows.push_back(row);
    }
    if (spread)
        table.notes.push_back(format("Loudness: the phrase through each model's own cabinet, re "
                                     "the dry phrase; the models %.1f dB apart.",
                                     *spread));
    else
        table.notes.push_back("Loudness: the phrase through the model's own cabinet, re the dry "
                              "phrase; the spread is judged only with every model (--model all).");
    if (cpu) {
        if (cpu->calf)
            table.notes.push_back(format("CPU: %s runs at %.0fx real time per channel; each model "
                                         "needs %.0fx.",
                                         cpu->calfName.c_str(), *cpu->calf,
                                         t::kCpuMinRatio * *cpu->calf));
        if (!cpu->why.empty())
            table.notes.push_back("CPU: " + cpu->why);
    }
    return table;
}

Table judgeCabinetLevels(const std::vector<CabinetLevels>& levels,
                         const std::vector<std::string>& cabinetNames) {
    Table table;
    table.columns = {"Model"};
    for (const std::string& name : cabinetNames)
        table.columns.push_back(name);
    table.columns.push_back("no cabinet");
    table.columns.push_back("Spread");
    for (const CabinetLevels& l : levels) {
        std::vector<Cell> row = {{l.model, Verdict::None}};
        for (double dB : l.dbfs)
            row.push_back({format("%.1f dBFS", dB), Verdict::None});
        row.resize(cabinetNames.size() + 1, kNotApplicable);
        row.push_back({format("%.1f dBFS", l.plainDbfs), Verdict::None});
        row.push_back(
            judged(format("%.2f dB", l.spreadDb()), l.spreadDb() <= t::kCabinetSpreadMaxDb));
        table.rows.push_back(row);
    }
    table.notes.push_back(format("Cabinet level: the plucked phrase through each model at its "
                                 "defaults and each cabinet; the loudest cabinet at most %.1f dB "
                                 "above the quietest.",
                                 t::kCabinetSpreadMaxDb));
    return table;
}

Table judgeCabinetSwitches(const std::vector<CabinetSwitch>& switches,
                           const std::vector<std::string>& cabinetNames) {
    std::vector<std::string> choices = {"off"};
    choices.insert(choices.end(), cabinetNames.begin(), cabinetNames.end());
    Table table;
    table.columns = {"From / to"};
    table.columns.insert(table.columns.end(), choices.begin(), choices.end());
    for (const std::string& from : choices) {
        std::vector<Cell> row = {{from, Verdict::None}};
        for (const std::string& to : choices) {
            const CabinetSwitch* worst = nullptr;
            for (const CabinetSwitch& s : switches)
                if (s.from == from && s.to == to && (!worst || s.excessDb() > worst->excessDb()))
                    worst = &s;
            row.push_back(
                worst ? judged(format("%+.2f dB (%s)", worst->excessDb(), worst->model.c_str()),
                               worst->excessDb() <= t::kSwitchMaxExcessDb)
                      : kNotApplicable);
        }
        table.rows.push_back(row);
    }
    table.notes.push_back(format(
        "Cabinet switching: a chord through the channel engine, the cabinet changed with its "
        "crossfade; the loudest 20 ms of the band above %.0f kHz across the change, re the "
        "louder sound's steady level, at most %+.1f dB; the worst over the models measured.",
        t::kSwitchBandHz / 1000.0, t::kSwitchMaxExcessDb));
    return table;
}

bool allPass(const Table& table) {
    for (const std::vector<Cell>& row : table.rows)
        for (const Cell& cell : row)
            if (cell.verdict == Verdict::Fail)
                return false;
    return true;
}

std::string formatText(const Table& table) {
    std::vector<size_t> widths;
    for (const std::string& c : table.columns)
        widths.push_back(c.size());
    for (const std::vector<Cell>& row : table.rows)
        for (size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].text.size());
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (size_t c = 0; c < cells.size(); ++c)
            text += (c ? "  " : "") + (c + 1 < cells.size() ? bar(cells[c], widths[c]) : cells[c]);
        return text + "\n";
    };
    std::string out = line(table.columns);
    for (const std::vector<Cell>& row : table.rows) {
        std::vector<std::string> cells;
        for (const Cell& cell : row)
            cells.push_back(cell.text);
        out += line(cells);
    }
    for (const std::string& note : table.notes)
        out += note + "\n";
    return out;
}

std::string formatMarkdown(const Table& table) {
    auto line = [](const std::vector<std::string>& cells) {
        std::string text = "|";
        for (const std::string& cell : cells)
            text += " " + cell + " |";
        return text + "\n";
    };
    std::string out = line(table.columns);
    out += line(std::vector<std::string>(table.columns.size(), "---"));
    for (const std::vector<Cell>& row : table.rows) {
        std::vector<std::string> cells;
        for (const Cell& cell : row)
            cells.push_back(cell.text);
        out += line(cells);
    }
    if (!table.notes.empty())
        out += "\n";
    for (const std::string& note : table.notes)
        out += note + "\n";
    return out;
}

} // namespace measure
