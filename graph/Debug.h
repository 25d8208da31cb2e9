// The trace function of the graph and its builder: printf-style, and it discards
// its text. Graph code reports what it does through it without any I/O.
#pragma once

void debug(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
