#include "main/CabinetLoad.h"

#include "main/DataArchive.h"
#include "main/ModelDocument.h"

#include <algorithm>
#include <cctype>

namespace cabinet {

namespace {

bool sameLetters(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

bool isModelsOwn(const std::string& choice) {
    return sameLetters(choice, kModelsOwn);
}

std::string modelsOwn(const DataArchive& models, const std::string& entry,
                      const DataArchive& cabinets) {
    const std::string* text = models.model(entry);
    if (!text)
        return "";
    TiXmlDocument document;
    const TiXmlElement* root = parseModelDocument(*text, document, nullptr);
    const char* named = root ? root->Attribute("cabinet") : nullptr;
    return named ? shippedName(cabinets, named) : "";
}

bool isOff(const std::string& choice) {
    return choice.empty() || sameLetters(choice, kOff);
}

std::string shippedName(const DataArchive& archive, const std::string& choice) {
    for (const std::string& name : archive.cabinetNames())
        if (sameLetters(name, choice))
            return name;
    return "";
}

std::optional<ImpulseResponse> read(const DataArchive& archive, const std::string& choice,
                                    std::string& error) {
    error.clear();
    if (isOff(choice))
        return ImpulseResponse{};
    const std::string shipped = shippedName(archive, choice);
    if (shipped.empty())
        return impulse::readFile(choice, error);
    const std::string* bytes = archive.cabinet(shipped);
    if (!bytes) {
        error = "the shipped cabinet \"" + shipped + "\" is damaged in the data archive";
        return std::nullopt;
    }
    return impulse::readBytes(*bytes, "the shipped cabinet \"" + shipped + "\"", error);
}

std::optional<ImpulseResponse> load(const DataArchive& archive, const std::string& choice,
                                    double rate, std::string& error) {
    std::optional<ImpulseResponse> raw = read(archive, choice, error);
    if (!raw)
        return std::nullopt;
    if (raw->channels.empty())
        return ImpulseResponse{rate, {}};
    ImpulseResponse ready = impulse::prepared(*raw, rate);
    if (ready.channels.empty()) {
        error = "a cabinet cannot play at " + std::to_string(static_cast<long>(rate)) + " Hz";
        return std::nullopt;
    }
    return ready;
}

std::unique_ptr<Convolver> convolverFor(const ImpulseResponse& response, uint32_t channel,
                                        uint32_t maxFrames) {
    if (response.channels.empty())
        return nullptr;
    const std::vector<float>& taps =
        response.channels[std::min<size_t>(channel, response.channels.size() - 1)];
    return std::make_unique<Convolver>(taps.data(), taps.size(), maxFrames);
}

} // namespace cabinet
