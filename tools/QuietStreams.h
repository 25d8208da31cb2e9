// Points standard output and standard error at /dev/null for the object's life:
// the unit announces its directory when it opens, and a host that prints results
// and one-line errors of its own keeps that line out of them. The descriptors
// belong to the whole process, so callers on several threads must take turns.
#pragma once

class QuietStreams {
  public:
    QuietStreams();
    ~QuietStreams(); // flushes what was written meanwhile, then restores both streams
    QuietStreams(const QuietStreams&) = delete;
    QuietStreams& operator=(const QuietStreams&) = delete;

  private:
    int mSaved[2];
    int mNull;
};
