// The bundle's data archive read once per process: every instance (and every rig
// of an instance) that plays the shipped models shares one read-only copy while
// any of them holds it. A file replaced on disk since (a package upgraded under a
// running host) is read again.
// Any thread but the audio thread: reads a file and takes a lock.
#pragma once

#include "main/DataArchive.h"

#include <memory>
#include <string>

namespace archive {

// DataArchive::readDirectory(dir), shared with every caller since that still holds
// the copy of the same files (same path, inode, size and modification time).
std::shared_ptr<const DataArchive> sharedDirectory(const std::string& dir);

} // namespace archive
