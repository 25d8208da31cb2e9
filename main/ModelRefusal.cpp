#include "main/ModelRefusal.h"

std::string modelRefusal(int index, const std::string& entry, const std::string& file,
                         const BuildReasons& reasons) {
    std::string sentence =
        "model " + std::to_string(index) + " (" + entry + ") of " + file + " cannot be played";
    const char* join = ": ";
    for (const BuildReason& reason : reasons) {
        if (!reason.refuses())
            continue;
        sentence += join + entry + ":" + std::to_string(reason.line) + ": " + reason.message;
        join = "; ";
    }
    return sentence;
}
