// mkdata: packs files into the data archive, each under its file name.
//
//   mkdata OUTPUT FILE...
#include "tools/ZipWriter.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: mkdata OUTPUT FILE...\n");
        return 2;
    }
    ZipWriter zip(argv[1]);
    if (!zip.ok()) {
        std::fprintf(stderr, "mkdata: %s: cannot create\n", argv[1]);
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (!in) {
            std::fprintf(stderr, "mkdata: %s: cannot read\n", argv[i]);
            return 1;
        }
        std::string path = argv[i];
        std::string name = path.substr(path.find_last_of('/') + 1);
        if (!zip.add(name, bytes.str())) {
            std::fprintf(stderr, "mkdata: %s: cannot add\n", argv[i]);
            return 1;
        }
    }
    if (!zip.close()) {
        std::fprintf(stderr, "mkdata: %s: cannot finish\n", argv[1]);
        return 1;
    }
    return 0;
}
