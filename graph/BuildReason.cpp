#include "graph/BuildReason.h"

#include <algorithm>

bool anyRefusal(const BuildReasons& reasons) {
    return std::any_of(reasons.begin(), reasons.end(),
                       [](const BuildReason& r) { return r.refuses(); });
}

const char* codeName(BuildCode code) {
    switch (code) {
    case BuildCode::kUnreadable: return "unreadable";
    case BuildCode::kNestingTooDeep: return "nesting-too-deep";
    case BuildCode::kUnknownReference: return "unknown-reference";
    case BuildCode::kProcessorAsAudio: return "processor-as-audio";
    case BuildCode::kMixerWithoutInput2: return "mixer-without-input2";
    case BuildCode::kTooManySlots: return "too-many-slots";
    case BuildCode::kOverMemoryBudget: return "over-memory-budget";
    case BuildCode::kPresetRefused: return "preset-refused";
    case BuildCode::kPresetMissing: return "preset-missing";
    case BuildCode::kNeverRuns: return "never-runs";
    case BuildCode::kPassedOver: return "passed-over";
    case BuildCode::kMsIgnored: return "ms-ignored";
    case BuildCode::kNoOutput: return "no-output";
    }
    return "?";
}
