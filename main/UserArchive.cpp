#include "main/UserArchive.h"

#include "main/DataArchive.h"
#include "main/VorlixMac.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

UserArchiveCheck checkUserArchive(const std::string& path) {
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
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        check.message = path + ": " + std::strerror(errno);
        return check;
    }
    if (S_ISDIR(info.st_mode)) {
        check.message = path + " is a folder, not a data archive (pack it with quorle-model pack)";
        return check;
    }
    if (!S_ISREG(info.st_mode)) {
        check.message = path + " is not a regular file";
        return check;
    }
    if (info.st_size == 0) {
        check.message = path + " is empty (0 bytes)";
        return check;
    }
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        std::fclose(file);
    } else {
        check.message = path + " cannot be read: " + std::strerror(errno);
        return check;
    }
    const std::shared_ptr<const DataArchive> archive = DataArchive::readFile(path);
    if (!archive->found()) {
        check.message = path + " is not a data archive (not a zip file)";
        return check;
    }
    check.models = archive->modelNames().size();
    if (check.models == 0) {
        check.message = path + " holds no models (no entry named *.xml)";
        return check;
    }
    check.usable = true;
    check.message = path + ": " + std::to_string(check.models) + " models";
    // Built as a unit's channel builds them, presets from the bundle included. Out of
    // memory here only leaves the list short: the unit's own build tells then.
    try {
        VorlixMac effect;
        effect.setMaxBlock(64);
        effect.archivePath = path;
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
