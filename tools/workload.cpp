// kestrel-workload: writes files side by side into a directory, the way several programs appending at once
// fragment a disk, and checks afterwards that every byte is still what was written.
//
//     kestrel-workload write  DIR [--files N] [--rounds R] [--chunk BYTES] [--pause MS] [--prefix NAME]
//     kestrel-workload verify DIR [the same options] [--allow-changed]
//
// "write" appends one chunk to each of the files in turn (NAME00.bin, NAME01.bin, ...), R rounds, with
// a pause after each round; every byte follows a pattern of the file's number and the byte's offset.
// "verify" reads the files back: each must be there with R chunks of the pattern. With --allow-changed a
// file may be missing or shorter (one deleted or cut on purpose); the bytes it has must still match.
// Exit status: 0 done / intact, 1 a file differs, 64 a wrong command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    std::string mode, directory, prefix = "file";
    long files = 8, rounds = 16, chunk = 8192, pauseMs = 0;
    bool allowChanged = false;
};

unsigned char PatternByte(long file, long offset) {
    return static_cast<unsigned char>((file * 131 + offset * 7 + offset / 4096) & 0xFF);
}

std::string NameOf(const Options& o, long file) {
    const std::string number = std::to_string(file);
    return o.directory + "/" + o.prefix + (number.size() < 2 ? "0" : "") + number + ".bin";
}

bool Number(const char* text, long& value, long low, long high) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: kestrel-workload write|verify DIR [--files N] [--rounds R] [--chunk BYTES] "
                 "[--pause MS] [--prefix NAME] [--allow-changed]\n");
    return 64;
}

int Write(const Options& o) {
    std::vector<char> chunk(static_cast<std::size_t>(o.chunk));
    for (long round = 0; round < o.rounds; ++round) {
        for (long file = 0; file < o.files; ++file) {
            const long start = round * o.chunk;
            for (long i = 0; i < o.chunk; ++i)
                chunk[static_cast<std::size_t>(i)] = static_cast<char>(PatternByte(file, start + i));
            std::ofstream out(NameOf(o, file), std::ios::binary | std::ios::app);
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            if (!out) {
                std::fprintf(stderr, "kestrel-workload: cannot write %s\n", NameOf(o, file).c_str());
                return 1;
            }
        }
        if (o.pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(o.pauseMs));
    }
    return 0;
}

int Verify(const Options& o) {
    int bad = 0;
    const long expected = o.rounds * o.chunk;
    for (long file = 0; file < o.files; ++file) {
        std::ifstream in(NameOf(o, file), std::ios::binary);
        if (!in) {
            if (!o.allowChanged) {
                std::fprintf(stderr, "kestrel-workload: %s is missing\n", NameOf(o, file).c_str());
                ++bad;
            }
            continue;
        }
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto size = static_cast<long>(bytes.size());
        if (size > expected || (size != expected && !o.allowChanged)) {
            std::fprintf(stderr, "kestrel-workload: %s has %ld bytes, expected %ld\n",
                         NameOf(o, file).c_str(), size, expected);
            ++bad;
            continue;
        }
        for (long i = 0; i < size; ++i) {
            if (static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]) != PatternByte(file, i)) {
                std::fprintf(stderr, "kestrel-workload: %s differs at byte %ld\n", NameOf(o, file).c_str(),
                             i);
                ++bad;
                break;
            }
        }
    }
    return bad == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc < 3)
        return Usage();
    o.mode = argv[1];
    o.directory = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--allow-changed") {
            o.allowChanged = true;
            continue;
        }
        bool ok = value != nullptr;
        if (ok && arg == "--files")
            ok = Number(value, o.files, 1, 99);
        else if (ok && arg == "--rounds")
            ok = Number(value, o.rounds, 1, 100000);
        else if (ok && arg == "--chunk")
            ok = Number(value, o.chunk, 1, 64L << 20);
        else if (ok && arg == "--pause")
            ok = Number(value, o.pauseMs, 0, 60000);
        else if (ok && arg == "--prefix")
            o.prefix = value;
        else
            ok = false;
        if (!ok || o.prefix.empty() || o.prefix.find('/') != std::string::npos)
            return Usage();
        ++i;
    }
    if (o.mode == "write")
        return Write(o);
    if (o.mode == "verify")
        return Verify(o);
    return Usage();
}
