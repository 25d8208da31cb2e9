#include "tools/QuietStreams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {
const int kStreams[2] = {STDOUT_FILENO, STDERR_FILENO};
}

QuietStreams::QuietStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    mNull = open("/dev/null", O_WRONLY);
    for (int i = 0; i < 2; ++i) {
        mSaved[i] = dup(kStreams[i]);
        if (mNull >= 0 && mSaved[i] >= 0)
            dup2(mNull, kStreams[i]);
    }
}

QuietStreams::~QuietStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (int i = 0; i < 2; ++i)
        if (mSaved[i] >= 0) {
            dup2(mSaved[i], kStreams[i]);
            close(mSaved[i]);
        }
    if (mNull >= 0)
        close(mNull);
}
