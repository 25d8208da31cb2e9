#include "tools/ReplacedFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Links followed at most, as the kernel's own limit on a path.
constexpr int kMaxLinks = 40;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary being written, for the signal handler: set and cleared with the
// signals blocked, so that the handler never sees half a name.
char gTemporary[PATH_MAX + 1];

extern "C" void removeAndStop(int signal) {
    ReplacedFile::removeTemporary();
    ::signal(signal, SIG_DFL);
    ::raise(signal); // delivered with the default action once this returns
}

// Blocks kSignals for its lifetime.
struct SignalsHeld {
    sigset_t before;
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : kSignals)
            sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &before);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &before, nullptr); }
};

void installHandlers() {
    for (int s : kSignals) {
        struct sigaction now = {}, was = {};
        now.sa_handler = removeAndStop;
        sigemptyset(&now.sa_mask);
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(s, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaction(s, &now, nullptr);
    }
}

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

// The file `path` ends at through links (a path that does not exist yet is its own
// end), or "" with the rest of a sentence after the path in `why` (": REASON" or
// " is a FIFO, ...").
std::string followLinks(const std::string& path, std::string& why) {
    std::string at = path;
    for (int hops = 0;; ++hops) {
        struct stat info;
        if (::lstat(at.c_str(), &info) != 0) {
            if (errno == ENOENT)
                return at;
            why = std::string(": ") + std::strerror(errno);
            return "";
        }
        if (!S_ISLNK(info.st_mode)) {
            if (S_ISREG(info.st_mode))
                return at;
            why = (at == path ? std::string(" is ") : " leads to " + at + ", ") +
                  kindOf(info.st_mode) + ", not a regular file to write";
            return "";
        }
        if (hops == kMaxLinks) {
            why = std::string(": ") + std::strerror(ELOOP);
            return "";
        }
        std::vector<char> text(PATH_MAX + 1);
        const ssize_t n = ::readlink(at.c_str(), text.data(), text.size());
        if (n < 0 || static_cast<size_t>(n) >= text.size()) {
            why = std::string(": ") + std::strerror(n < 0 ? errno : ENAMETOOLONG);
            return "";
        }
        const fs::path link(std::string(text.data(), static_cast<size_t>(n)));
        at = (link.is_absolute() ? link : fs::path(at).parent_path() / link).string();
    }
}

} // namespace

void ReplacedFile::removeTemporary() {
    if (gTemporary[0])
        ::unlink(gTemporary);
}

bool ReplacedFile::open(const std::string& path, std::string& error) {
    discard();
    std::string why;
    const std::string target = followLinks(path, why);
    if (target.empty()) {
        error = (why[0] == ':' ? "cannot write " : "") + path + why;
        return false;
    }
    const fs::path real(target);
    const fs::path folder = real.has_parent_path() ? real.parent_path() : fs::path(".");
    std::string name = (folder / ("." + real.filename().string() + ".XXXXXX")).string();
    if (name.size() > PATH_MAX) {
        error = "cannot write " + path + ": " + std::strerror(ENAMETOOLONG);
        return false;
    }
    installHandlers();
    {
        const SignalsHeld held;
        mFd = ::mkstemp(name.data());
        if (mFd >= 0)
            std::memcpy(gTemporary, name.c_str(), name.size() + 1);
    }
    if (mFd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    ::fcntl(mFd, F_SETFD, FD_CLOEXEC);
    mPath = path;
    mTarget = target;
    mTemporary = name;
    return true;
}

bool ReplacedFile::commit(std::string& error) {
    struct stat replaced;
    mode_t mode;
    if (::stat(mTarget.c_str(), &replaced) == 0) {
        mode = replaced.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    int failure = 0;
    if (::fchmod(mFd, mode) != 0 || ::fsync(mFd) != 0) // on disk before it takes the name
        failure = errno;
    if (::close(mFd) != 0 && !failure)
        failure = errno;
    mFd = -1;
    if (!failure) {
        const SignalsHeld held;
        if (::rename(mTemporary.c_str(), mTarget.c_str()) != 0) {
            failure = errno;
        } else {
            gTemporary[0] = 0;
            mTemporary.clear();
        }
    }
    if (failure) {
        error = "cannot write " + mPath + ": " + std::strerror(failure);
        discard();
    }
    return !failure;
}

void ReplacedFile::discard() {
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
    if (!mTemporary.empty()) {
        const SignalsHeld held;
        ::unlink(mTemporary.c_str());
        gTemporary[0] = 0;
        mTemporary.clear();
    }
}

ReplacedFile::~ReplacedFile() {
    discard();
}
