#include "main/MemoryZip.h"

#include <cstring>

// minizip's file functions over a MemoryZip's stream, which is the opaque pointer.
struct MemoryZipCalls {
    using Stream = MemoryZip::Stream;

    // minizip opens the archive's stream once per handle: the stream is the buffer
    // itself, so nothing is allocated here.
    static voidpf ZCALLBACK open(voidpf opaque, const void*, int mode) {
        if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
            return nullptr; // read only
        auto* s = static_cast<Stream*>(opaque);
        s->pos = 0;
        return s;
    }

    static uLong ZCALLBACK read(voidpf, voidpf stream, void* buf, uLong size) {
        auto* s = static_cast<Stream*>(stream);
        const ZPOS64_T left = s->bytes.size() - s->pos;
        const uLong n = size < left ? size : static_cast<uLong>(left);
        std::memcpy(buf, s->bytes.data() + s->pos, n);
        s->pos += n;
        return n;
    }

    static uLong ZCALLBACK write(voidpf, voidpf, const void*, uLong) { return 0; }

    static ZPOS64_T ZCALLBACK tell(voidpf, voidpf stream) {
        return static_cast<Stream*>(stream)->pos;
    }

    // As fseek(), except that no position past the end is taken: reading there
    // could only fail later.
    static long ZCALLBACK seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
        auto* s = static_cast<Stream*>(stream);
        const ZPOS64_T size = s->bytes.size();
        ZPOS64_T base = 0;
        switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
        case ZLIB_FILEFUNC_SEEK_CUR: base = s->pos; break;
        case ZLIB_FILEFUNC_SEEK_END: base = size; break;
        default: return -1;
        }
        if (offset > size - base)
            return -1;
        s->pos = base + offset;
        return 0;
    }

    static int ZCALLBACK close(voidpf, voidpf) { return 0; }

    static int ZCALLBACK error(voidpf, voidpf) { return 0; }
};

MemoryZip::MemoryZip(std::string bytes) {
    stream.bytes = std::move(bytes);
    zlib_filefunc64_def calls;
    calls.zopen64_file = MemoryZipCalls::open;
    calls.zread_file = MemoryZipCalls::read;
    calls.zwrite_file = MemoryZipCalls::write;
    calls.ztell64_file = MemoryZipCalls::tell;
    calls.zseek64_file = MemoryZipCalls::seek;
    calls.zclose_file = MemoryZipCalls::close;
    calls.zerror_file = MemoryZipCalls::error;
    calls.opaque = &stream;
    // minizip copies the calls; it hands the name to open(), which does not use it,
    // but it must not be null.
    zip = unzOpen2_64("memory", &calls);
}

MemoryZip::~MemoryZip() {
    if (zip)
        unzClose(zip);
}
