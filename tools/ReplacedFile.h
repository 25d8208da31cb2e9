// A file a tool writes in place of the one a user's path names (quorle-render's
// OUTPUT, quorle-model pack's ARCHIVE). The path is followed through symbolic links
// to the file they end at, which must be a regular file or not exist yet (in a
// folder that does); a link stays a link and its target is replaced. The contents
// go to a temporary file beside that target, renamed over it only once complete:
// a failure, or SIGINT, SIGTERM or SIGHUP, leaves the target as it was and removes
// the temporary. The path may name a file the tool is still reading.
// One at a time per process, used from the main thread.
#pragma once

#include <string>

class ReplacedFile {
  public:
    ReplacedFile() = default;
    ~ReplacedFile(); // removes the temporary unless committed
    ReplacedFile(const ReplacedFile&) = delete;
    ReplacedFile& operator=(const ReplacedFile&) = delete;

    // Resolves `path` and creates the temporary beside its target. False, with one
    // sentence naming `path` in `error` ("PATH is a FIFO, not a regular file to
    // write", "cannot write PATH: REASON"), for a folder, a FIFO, a device or a
    // socket (or a link to one), a missing folder or a temporary that cannot be made.
    bool open(const std::string& path, std::string& error);
    // The temporary's descriptor, open for writing; -1 before open().
    int descriptor() const { return mFd; }
    const std::string& temporary() const { return mTemporary; }

    // Flushes the temporary to disk, gives it the permissions of the file it
    // replaces (of a new file, 0666 less the umask) and renames it over the target.
    // False, with one sentence in `error`, when it cannot: the temporary is removed.
    bool commit(std::string& error);

    // Removes the temporary of the open file, if any: for a caller about to
    // exit() without unwinding. Async-signal-safe.
    static void removeTemporary();

  private:
    std::string mPath, mTarget, mTemporary;
    int mFd = -1;
    void discard();
};
