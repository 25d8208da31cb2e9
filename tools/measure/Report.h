// Judges measured models against the targets and lays the verdicts out as a table,
// one row per model and one column per target, as plain text or Markdown.
#pragma once

#include "tools/measure/CabinetMeasure.h"
#include "tools/measure/ModelMeasure.h"

#include <optional>
#include <string>
#include <vector>

namespace measure {

enum class Verdict { None, Pass, Fail }; // None: not applicable, or nothing to judge

struct Cell {
    std::string text; // the value, with PASS or FAIL appended when judged
    Verdict verdict = Verdict::None;
};

// Speeds in x real time per channel; a missing figure says why in `why`.
struct CpuFigures {
    std::vector<std::optional<double>> models; // in the order of the measurements
    std::optional<double> calf;
    std::string calfName;
    std::string why;
};

struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<Cell>> rows;
    std::vector<std::string> notes; // printed under the table
};

// The models' loudness spread and their shapes are judged only when
// `compareLoudness` (every model measured); the CPU column is there only when `cpu`
// is given.
Table judge(const std::vector<ModelMeasurements>& models, bool compareLoudness,
            const CpuFigures* cpu);
// The cabinets' levels behind each model: one row per model, a column per cabinet
// of `cabinetNames` and one without, the spread judged.
Table judgeCabinetLevels(const std::vector<CabinetLevels>& levels,
                         const std::vector<std::string>& cabinetNames);
// Cabinet changes: a row per cabinet changed from and a column per cabinet changed
// to ("off" first, then `cabinetNames`), each cell the largest excess over the
// models measured, with the model, judged.
Table judgeCabinetSwitches(const std::vector<CabinetSwitch>& switches,
                           const std::vector<std::string>& cabinetNames);
// printf into a string (at most 1023 characters).
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
// `text` with PASS or FAIL appended, and the verdict.
Cell judged(std::string text, bool pass);
inline const Cell kNotApplicable = {"-", Verdict::None};

// True when no cell of the table failed.
bool allPass(const Table& table);

std::string formatText(const Table& table);
std::string formatMarkdown(const Table& table);

} // namespace measure
