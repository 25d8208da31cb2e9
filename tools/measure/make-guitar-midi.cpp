// make-guitar-midi: writes the three takes the recordings script has a sampled
// electric guitar play (fluidsynth with Debian's FluidR3 General MIDI set): a riff
// on the low strings, strummed open chords, and one low A held until it dies.
// Standard MIDI files, one track, 480 ticks per beat at 100 beats per minute.
//
//   make-guitar-midi DIR PROGRAM      writes DIR/riff.mid, DIR/chords.mid, DIR/low-note.mid
//
// PROGRAM is the General MIDI program, 0-based (27: the clean electric guitar).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kTicksPerBeat = 480;
constexpr int kMicrosPerBeat = 600000; // 100 beats per minute

struct Event {
    int tick;
    unsigned char status, a, b;
};

void variableLength(std::string& out, unsigned v) {
    unsigned char bytes[5];
    int n = 0;
    do {
        bytes[n++] = static_cast<unsigned char>(v & 0x7f);
        v >>= 7;
    } while (v != 0);
    while (n-- > 0)
        out.push_back(static_cast<char>(bytes[n] | (n > 0 ? 0x80 : 0)));
}

void bigEndian(std::string& out, unsigned v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// A note of `key` from `tick` for `ticks`, at `velocity`.
void note(std::vector<Event>& e, int tick, int ticks, int key, int velocity) {
    e.push_back(
        {tick, 0x90, static_cast<unsigned char>(key), static_cast<unsigned char>(velocity)});
    e.push_back({tick + ticks, 0x80, static_cast<unsigned char>(key), 0});
}

bool write(const std::string& path, int program, std::vector<Event> events) {
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& x, const Event& y) { return x.tick < y.tick; });
    std::string track;
    track += std::string("\x00\xff\x51\x03", 4);
    bigEndian(track, kMicrosPerBeat, 3);
    track += std::string("\x00\xc0", 2);
    track.push_back(static_cast<char>(program));
    int last = 0;
    for (const Event& ev : events) {
        variableLength(track, static_cast<unsigned>(ev.tick - last));
        last = ev.tick;
        track.push_back(static_cast<char>(ev.status));
        track.push_back(static_cast<char>(ev.a));
        track.push_back(static_cast<char>(ev.b));
    }
    track += std::string("\x60\xff\x2f\x00", 4); // a little silence, then the end
    std::string file = "MThd";
    bigEndian(file, 6, 4);
    bigEndian(file, 0, 2);
    bigEndian(file, 1, 2);
    bigEndian(file, kTicksPerBeat, 2);
    file += "MTrk";
    bigEndian(file, static_cast<unsigned>(track.size()), 4);
    file += track;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make-guitar-midi DIR PROGRAM\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int program = std::atoi(argv[2]);
    if (program < 0 || program > 127) {
        std::fprintf(stderr, "make-guitar-midi: PROGRAM is 0..127\n");
        return 2;
    }
    const int eighth = kTicksPerBeat / 2;

    // A riff on the low strings, twice: eighths with the accents a rhythm part has.
    std::vector<Event> riff;
    const int keys[] = {40, 40, 43, 45, 40, 40, 50, 49, 40, 40, 43, 45, 47, 45, 43, 42};
    int t = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i, t += eighth)
            note(riff, t, eighth - 20, keys[i], i % 4 == 0 ? 112 : 92);
    note(riff, t, 4 * kTicksPerBeat, 40, 115);

    // Open chords strummed down, 15 ms between strings, each held two beats.
    std::vector<Event> chords;
    const std::vector<std::vector<int>> shapes = {{40, 47, 52, 56, 59, 64},
                                                  {45, 52, 57, 61, 64},
                                                  {50, 57, 62, 66},
                                                  {43, 47, 50, 55, 59, 67},
                                                  {40, 47, 52, 55, 59, 64}};
    const int strum = kTicksPerBeat * 15000 / kMicrosPerBeat;
    t = 0;
    for (const auto& shape : shapes) {
        for (size_t s = 0; s < shape.size(); ++s)
            note(chords, t + static_cast<int>(s) * strum, 2 * kTicksPerBeat - 10, shape[s],
                 100 - static_cast<int>(s) * 3);
        t += 2 * kTicksPerBeat;
    }

    // A2 (110 Hz) picked firmly and left to ring for five beats.
    std::vector<Event> low;
    note(low, 0, 5 * kTicksPerBeat, 45, 110);

    const bool ok = write(dir + "/riff.mid", program, riff) &&
                    write(dir + "/chords.mid", program, chords) &&
                    write(dir + "/low-note.mid", program, low);
    if (!ok)
        std::fprintf(stderr, "make-guitar-midi: cannot write into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
