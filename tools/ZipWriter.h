// Writes a zip archive: the build assembles the data archive with it, and tests
// make archives of their own. Entries carry a fixed date so that the same
// sources always give the same bytes.
#pragma once

#include <string>

class ZipWriter {
  public:
    // Creates (or replaces) the archive at `path`.
    explicit ZipWriter(const std::string& path);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    bool ok() const { return zip != nullptr && good; }
    // Adds one entry; deflated unless `stored`.
    bool add(const std::string& name, const std::string& bytes, bool stored = false);
    // Finishes the archive; false if anything failed along the way.
    bool close();

  private:
    void* zip;
    bool good = true;
};
