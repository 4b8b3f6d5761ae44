// Ace decoding speed beside zlib's inflate in one run: every compressed member of the
// archiver's fixtures decoded over and over to at least 100 MB of output, and the same
// output bytes deflated at level 6 and inflated (both LZ77 with Huffman codes).
#include <zlib.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "AceDecoder.h"

namespace {

// Processor time of this (single-threaded) process: steadier than wall time on a busy machine.
struct Clock {
    static double now() {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
};

double Seconds(double a) { return Clock::now() - a; }

struct Counter : unace::Sink {
    uint64_t bytes = 0;
    std::vector<uint8_t>* keep = nullptr;
    bool Write(const uint8_t* p, size_t n) override {
        bytes += n;
        if (keep) keep->insert(keep->end(), p, p + n);
        return true;
    }
};

struct Fixture {
    std::unique_ptr<unace::Archive> archive;
    std::vector<std::vector<uint8_t>> deflated;  // each compressed member's output, deflated
    std::vector<size_t> sizes;
};

}  // namespace

int main() {
    const std::string dir = std::string(VELLICOR_SOURCE_DIR) + "/../shared/testdata/peer/unace/";
    const char* names[] = {"tests.ace.v1/ALCHT.ACE", "tests.ace.v1/Patch.ace",      "tests.ace.v1/ZGFX2.ace",
                           "tests.ace.v1/multivolume.ace", "tests.ace.v1/onefile.ace", "tests.ace.v1/trps.ace",
                           "tests.ace.v1/zdir.ace",  "tests.ace.v2/dir2.ace",       "tests.ace.v2/multivol2.ace"};
    std::vector<Fixture> fixtures;
    uint64_t roundBytes = 0;
    for (const char* name : names) {
        const std::string first = dir + name;
        Fixture f;
        f.archive = std::make_unique<unace::Archive>();
        try {
            f.archive->Open([&](int index, bool) -> std::unique_ptr<unace::ByteSource> {
                for (bool upper : {false, true})
                    if (auto s = unace::OpenFileSource(unace::VolumeName(first, index, upper))) return s;
                return nullptr;
            });
            unace::Decoder d;
            for (size_t i = 0; i < f.archive->Members().size(); ++i) {
                std::vector<uint8_t> out;
                Counter c;
                c.keep = &out;
                d.Decode(*f.archive, i, "", c);
                if (f.archive->Members()[i].method == 0 || out.empty()) continue;
                uLongf room = compressBound(static_cast<uLong>(out.size()));
                std::vector<uint8_t> z(room);
                if (compress2(z.data(), &room, out.data(), static_cast<uLong>(out.size()), 6) != Z_OK) return 1;
                z.resize(room);
                f.deflated.push_back(std::move(z));
                f.sizes.push_back(out.size());
                roundBytes += out.size();
            }
        } catch (const unace::AceError& e) {
            std::fprintf(stderr, "%s: %s\n", name, e.what());
            return 1;
        }
        fixtures.push_back(std::move(f));
    }
    if (roundBytes == 0) {
        std::fprintf(stderr, "no fixtures found under %s\n", dir.c_str());
        return 1;
    }
    const int rounds = static_cast<int>((100u << 20) / roundBytes) + 1;
    std::printf("%d rounds of %.2f MB of compressed members' output (%.0f MB)\n", rounds, roundBytes / 1e6,
                rounds * roundBytes / 1e6);

    // Rounds alternate between the two, so that a change in the machine's load hits both.
    // Ours decodes whole archives in order (solid chains need their predecessors); the few
    // small stored members count as output too.
    uint64_t ours = 0, peer = 0;
    double oursTime = 0, peerTime = 0;
    std::vector<uint8_t> out;
    for (int r = 0; r < rounds; ++r) {
        double t = Clock::now();
        for (Fixture& f : fixtures) {
            unace::Decoder d;
            Counter c;
            for (size_t i = 0; i < f.archive->Members().size(); ++i) d.Decode(*f.archive, i, "", c);
            ours += c.bytes;
        }
        oursTime += Seconds(t);
        t = Clock::now();
        for (Fixture& f : fixtures)
            for (size_t i = 0; i < f.deflated.size(); ++i) {
                out.resize(f.sizes[i]);
                uLongf n = static_cast<uLongf>(out.size());
                if (uncompress(out.data(), &n, f.deflated[i].data(), static_cast<uLong>(f.deflated[i].size())) != Z_OK)
                    return 1;
                peer += n;
            }
        peerTime += Seconds(t);
    }
    std::printf("ace decoder   %8.3f s  %7.0f MB/s (%.0f MB)\n", oursTime, ours / 1e6 / oursTime, ours / 1e6);
    std::printf("zlib inflate  %8.3f s  %7.0f MB/s (%.0f MB)\n", peerTime, peer / 1e6 / peerTime, peer / 1e6);
    // Time per byte, ours over inflate's (the goal is at most 1.5).
    std::printf("ratio ours/inflate (time per byte): %.2fx\n", (oursTime / ours) / (peerTime / peer));
    return 0;
}
