#include "tools/ZipWriter.h"

#include <zip.h>
#include <zlib.h>

ZipWriter::ZipWriter(const std::string& path)
    : zip(zipOpen64(path.c_str(), APPEND_STATUS_CREATE)) {}

ZipWriter::~ZipWriter() {
    close();
}

bool ZipWriter::add(const std::string& name, const std::string& bytes, bool stored) {
    if (!zip)
        return false;
    zip_fileinfo info = {};
    info.tmz_date.tm_year = 2026;
    info.tmz_date.tm_mon = 0;
    info.tmz_date.tm_mday = 1;
    int method = stored ? 0 : Z_DEFLATED;
    int level = stored ? 0 : Z_BEST_COMPRESSION;
    bool done = zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                      method, level, 0) == ZIP_OK;
    done = done &&
           zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size())) == ZIP_OK;
    done = zipCloseFileInZip(zip) == ZIP_OK && done;
    good = good && done;
    return done;
}

bool ZipWriter::close() {
    if (!zip)
        return false;
    bool closed = zipClose(zip, nullptr) == ZIP_OK;
    zip = nullptr;
    return closed && good;
}
