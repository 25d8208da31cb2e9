// Judges measured models against the targets and lays the verdicts out as a table,
// one row per model and one column per target, as plain text or Markdown.
#pragma once

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

// Loudness is judged only when `compareLoudness` (every model measured); the CPU
// column is there only when `cpu` is given.
Table judge(const std::vector<ModelMeasurements>& models, bool compareLoudness,
            const CpuFigures* cpu);
// True when no cell of the table failed.
bool allPass(const Table& table);

std::string formatText(const Table& table);
std::string formatMarkdown(const Table& table);

} // namespace measure
