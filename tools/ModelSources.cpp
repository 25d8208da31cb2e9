#include "tools/ModelSources.h"

#include "effect/MasterCallback.h"
#include "graph/xmlreader.h"
#include "main/DataArchive.h"
#include "main/ModelDocument.h"
#include "main/WholeFile.h"
#include "tools/CabinetModel.h"
#include "tools/PresetText.h"
#include "tools/ZipWriter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>

namespace fs = std::filesystem;

namespace authoring {

namespace {

static_assert(kMaxSourceBytes == ArchiveLimits{}.modelBytes,
              "a model pack reads, the plug-in reads");

std::vector<fs::path> filesWith(const fs::path& dir, const char* extension) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.is_regular_file(ec) && entry.path().extension() == extension)
            found.push_back(entry.path());
    std::sort(found.begin(), found.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    return found;
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Whether `name` may name a cabinet: the archive's lookups find it, and it is
// never taken for a model (".xml") or for a folder.
bool cabinetName(const std::string& name) {
    return !name.empty() && name.size() <= 200 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
}

// Whether `dir` keeps its models and presets in DIR/models and DIR/presets.
bool splitFolder(const fs::path& dir) {
    std::error_code ec;
    return fs::is_directory(dir / "models", ec) || fs::is_directory(dir / "presets", ec);
}

// Whether `path` is `folder` or lies beneath it; both are real paths.
bool within(const fs::path& path, const fs::path& folder) {
    auto p = path.begin();
    for (const fs::path& part : folder) {
        if (p == path.end() || *p != part)
            return false;
        ++p;
    }
    return true;
}

// A temporary file name that is removed when it goes out of scope.
struct TemporaryFile {
    std::string path;
    TemporaryFile() {
        std::string pattern = (fs::temp_directory_path() / "quorle-model-XXXXXX").string();
        const int fd = mkstemp(pattern.data());
        if (fd >= 0) {
            close(fd);
            path = pattern;
        }
    }
    ~TemporaryFile() {
        if (!path.empty())
            unlink(path.c_str());
    }
};

} // namespace

std::string Finding::text() const {
    return file + (line > 0 ? ":" + std::to_string(line) : std::string()) +
           (refuses ? ": error: " : ": warning: ") + message;
}

void listSources(const fs::path& dir, std::vector<fs::path>& models,
                 std::vector<fs::path>& presets) {
    const bool split = splitFolder(dir);
    models = filesWith(split ? dir / "models" : dir, ".xml");
    presets = filesWith(split ? dir / "presets" : dir, ".txt");
}

std::vector<fs::path> sourceFolders(const fs::path& dir) {
    std::vector<fs::path> folders;
    if (splitFolder(dir))
        folders = {dir / "models", dir / "presets"};
    else
        folders = {dir};
    std::error_code ec;
    if (fs::is_directory(dir / "cabinets", ec))
        folders.push_back(dir / "cabinets");
    return folders;
}

std::vector<Finding> keepInside(const fs::path& dir, std::vector<fs::path>& files) {
    std::vector<Finding> findings;
    std::error_code ec;
    const fs::path root = fs::canonical(dir, ec);
    if (ec)
        return findings; // reading the folder's files refuses them one by one
    std::vector<fs::path> kept;
    for (const fs::path& file : files) {
        const fs::path real = fs::canonical(file, ec);
        if (ec || within(real, root))
            kept.push_back(file);
        else
            findings.push_back({file.string(), 0, true,
                                "leads out of " + dir.string() + " (to " + real.string() +
                                    "), and nothing outside the folder is packed"});
    }
    files = std::move(kept);
    return findings;
}

std::vector<fs::path> listCabinets(const fs::path& dir) {
    std::error_code ec;
    return fs::is_directory(dir / "cabinets", ec) ? filesWith(dir / "cabinets", ".txt")
                                                  : std::vector<fs::path>{};
}

Sources readSources(const std::vector<fs::path>& models, const std::vector<fs::path>& presets,
                    const std::vector<fs::path>& cabinets) {
    Sources sources;
    std::map<std::string, std::string> taken; // lower-cased entry name -> its source
    auto add = [&](std::string name, std::string bytes, const fs::path& from) {
        const auto [at, fresh] = taken.emplace(lower(name), from.string());
        if (!fresh) {
            sources.findings.push_back({from.string(), 0, true,
                                        "entry " + name + " would shadow " + at->second +
                                            " (names are compared without regard to case)"});
            return;
        }
        sources.entries.push_back({std::move(name), std::move(bytes), from.string()});
    };
    for (const fs::path& path : models) {
        WholeFile file = readWholeFile(path, kMaxSourceBytes);
        if (!file.ok()) {
            sources.findings.push_back({path.string(), 0, true, file.reason()});
            continue;
        }
        add(path.filename().string(), std::move(file.bytes), path);
    }
    sources.models = sources.entries.size();
    for (const fs::path& path : presets) {
        const WholeFile file = readWholeFile(path, kMaxSourceBytes);
        if (!file.ok()) {
            sources.findings.push_back({path.string(), 0, true, file.reason()});
            continue;
        }
        PresetRecord record;
        PresetError error;
        if (!compilePreset(file.bytes, record, error)) {
            sources.findings.push_back({path.string(), error.line, true, error.message});
            continue;
        }
        add(path.stem().string() + ".fxp", std::move(record.bytes), path);
    }
    const size_t before = sources.entries.size();
    for (const fs::path& path : cabinets) {
        const WholeFile file = readWholeFile(path, kMaxSourceBytes);
        if (!file.ok()) {
            sources.findings.push_back({path.string(), 0, true, file.reason()});
            continue;
        }
        const std::string name = path.stem().string();
        if (!cabinetName(name)) {
            sources.findings.push_back({path.string(), 0, true,
                                        "a cabinet's name is made of letters, digits, '-' and "
                                        "'_' (at most 200), not \"" +
                                            name + "\""});
            continue;
        }
        CabinetDesign design;
        CabinetError error;
        if (!readCabinetDesign(file.bytes, design, error)) {
            sources.findings.push_back({path.string(), error.line, true, error.message});
            continue;
        }
        std::string wav =
            cabinetWav(cabinetResponse(design, kArchiveCabinetRate), kArchiveCabinetRate);
        if (wav.empty()) {
            sources.findings.push_back({path.string(), 0, true, "cannot be rendered"});
            continue;
        }
        add("cabinets/" + name + ".wav", std::move(wav), path);
    }
    sources.cabinets = sources.entries.size() - before;
    return sources;
}

bool writeArchive(const std::string& path, const std::vector<Entry>& entries) {
    ZipWriter zip(path);
    bool good = zip.ok();
    for (const Entry& e : entries)
        good = good && zip.add(e.name, e.bytes);
    return zip.close() && good;
}

std::shared_ptr<const DataArchive> packedArchive(const std::vector<Entry>& entries) {
    TemporaryFile file;
    if (file.path.empty() || !writeArchive(file.path, entries))
        return nullptr;
    return DataArchive::readFile(file.path);
}

std::vector<Finding> checkModels(const Sources& sources, bool presetsKnown,
                                 std::vector<BuildReport>* reports) {
    std::vector<Finding> findings;
    const std::shared_ptr<const DataArchive> archive = packedArchive(sources.entries);
    if (!archive) {
        findings.push_back({fs::temp_directory_path().string(), 0, true,
                            "cannot write a temporary archive to check the models with"});
        return findings;
    }
    const std::vector<std::string>& listed = archive->modelNames();
    for (size_t m = 0; m < sources.models; ++m) {
        const Entry& entry = sources.entries[m];
        BuildReport report;
        auto refuse = [&](const std::string& message) {
            findings.push_back({entry.source, 0, true, message});
        };
        const std::string* text = archive->model(entry.name);
        if (std::find(listed.begin(), listed.end(), entry.name) == listed.end())
            refuse("the plug-in would not list a model named " + entry.name + " (over " +
                   std::to_string(DataArchive::kMaxListedNameBytes) + " bytes)");
        else if (!text)
            refuse("the plug-in would not read it (over 1 MiB, or over the archive's budget)");
        else {
            TiXmlDocument document;
            TiXmlElement* root = parseModelDocument(*text, document, &report.reasons);
            ArchiveEffectFactory effects(archive.get(), masterCallback);
            if (root)
                delete parseElement(root, kInputSlot, kOutputSlot, effects, &report);
        }
        for (const BuildReason& r : report.reasons) {
            if (r.code == BuildCode::kPresetMissing && !presetsKnown)
                continue;
            findings.push_back(
                {entry.source, r.line, r.refuses(), (r.id.empty() ? "" : r.id + ": ") + r.message});
        }
        if (reports)
            reports->push_back(std::move(report));
    }
    return findings;
}

bool anyRefuses(const std::vector<Finding>& findings) {
    return std::any_of(findings.begin(), findings.end(),
                       [](const Finding& f) { return f.refuses; });
}

} // namespace authoring
