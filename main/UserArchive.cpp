#include "main/UserArchive.h"

#include "main/DataArchive.h"
#include "main/VorlixMac.h"

#include <exception>
#include <mutex>

UserArchiveCheck checkUserArchive(const std::string& path) {
    std::string dir;
    {
        // Another instance may be setting the directory on its own thread.
        std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
        dir = gFxDir;
    }
    return checkUserArchive(path, DataArchive::readDirectory(dir));
}

UserArchiveCheck checkUserArchive(const std::string& path,
                                  const std::shared_ptr<const DataArchive>& base) {
    UserArchiveCheck check;
    if (path.empty()) {
        check.message = "no data archive was named";
        return check;
    }
    if (path.size() > kMaxArchivePath || path.find('\0') != std::string::npos) {
        check.message = "the data archive's path is longer than " +
                        std::to_string(kMaxArchivePath) + " bytes or holds a NUL byte";
        return check;
    }
    const std::shared_ptr<const DataArchive> own =
        DataArchive::readFile(path, ArchiveLimits{}, &check.message);
    if (!own->found())
        return check;
    check.models = own->modelNames().size();
    if (check.models == 0) {
        check.message = path + " holds no models (no entry named *.xml)";
        return check;
    }
    check.archive = base ? DataArchive::withPresetsOf(*own, *base) : own;
    check.usable = true;
    check.message = path + ": " + std::to_string(check.models) + " models";
    // Built from the copy as a unit's channel builds them, presets from the bundle
    // included. Out of memory here only leaves the list short: the unit's own build
    // tells then.
    try {
        VorlixMac effect;
        effect.setMaxBlock(64);
        effect.archive = check.archive;
        effect.init();
        for (size_t i = 0; i < effect.modelNames.size(); ++i) {
            if (effect.prepare(static_cast<int>(i)))
                continue;
            for (const BuildReason& reason : effect.lastRefusal())
                if (reason.refuses())
                    check.refusedModels.push_back(effect.modelNames[i] + ":" +
                                                  std::to_string(reason.line) + ": " +
                                                  reason.message);
        }
    } catch (const std::exception&) {
    }
    return check;
}
