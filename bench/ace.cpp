// Ace decoding speed, against two peers:
// - Debian's unace, on the fixtures it can read (ACE 1.0 archives; it cannot read the 2.0
//   ones): `unace t` (decode and check, no files written) timed as a process, with the time
//   of the same process on a stored archive it finds nothing to decode in taken off as its
//   start-up; ours
//   opens and decodes the same archives in this process.
// - zlib's inflate, which is no ace reader: every compressed member of the archiver's fixtures
//   decoded over and over to at least 100 MB of output, and the same output bytes deflated at
//   level 6 and inflated (both LZ77 with Huffman codes).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "AceDecoder.h"
#include "BenchSupport.h"

extern char** environ;

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

std::unique_ptr<unace::ByteSource> VolumeOf(const std::string& first, int index) {
    for (bool upper : {false, true})
        if (auto s = unace::OpenFileSource(unace::VolumeName(first, index, upper))) return s;
    return nullptr;
}

// Opens the archive and decodes every member (CRC checked), as `unace t` does.
uint64_t OpenAndDecode(const std::string& path) {
    unace::Archive a;
    a.Open([&](int index, bool) { return VolumeOf(path, index); });
    unace::Decoder d;
    Counter c;
    for (size_t i = 0; i < a.Members().size(); ++i) d.Decode(a, i, "", c);
    return c.bytes;
}

// Wall time in milliseconds of one run of `unace t -y path`, its output thrown away; -1 when
// it fails.
double UnaceTest(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string a0 = "unace", a1 = "t", a2 = "-y";
    char* argv[] = {a0.data(), a1.data(), a2.data(), const_cast<char*>(path.c_str()), nullptr};
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "unace", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

// A stored archive of one empty member (unace lists nothing in it): what unace spends on a
// run that decodes nothing.
std::string WriteEmptyArchive() {
    auto put16 = [](std::vector<uint8_t>& v, uint32_t x) { v.push_back(uint8_t(x)), v.push_back(uint8_t(x >> 8)); };
    auto put32 = [&](std::vector<uint8_t>& v, uint32_t x) { put16(v, x & 0xFFFF), put16(v, x >> 16); };
    std::vector<uint8_t> out;
    auto header = [&](const std::vector<uint8_t>& body) {
        put16(out, unace::Crc32(body.data(), body.size()) & 0xFFFF);
        put16(out, static_cast<uint32_t>(body.size()));
        out.insert(out.end(), body.begin(), body.end());
    };
    std::vector<uint8_t> main = {0};
    put16(main, 0);
    for (char c : std::string("**ACE**")) main.push_back(static_cast<uint8_t>(c));
    main.insert(main.end(), {10, 10, 2, 0});
    put32(main, 0x41046F21);
    main.insert(main.end(), 8, 0);
    main.push_back(0);
    header(main);
    const std::string name = "empty.txt";
    std::vector<uint8_t> file = {1};
    put16(file, 0x0001);
    put32(file, 0);  // packed
    put32(file, 0);  // original
    put32(file, 0x41046F21);
    put32(file, 0x20);
    put32(file, unace::Crc32(nullptr, 0));
    file.insert(file.end(), {0, 3});
    put16(file, 10);
    put16(file, 0);
    put16(file, static_cast<uint32_t>(name.size()));
    file.insert(file.end(), name.begin(), name.end());
    header(file);
    std::string path = bench::TempPath("empty.ace");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return path;
}

// The fixtures Debian's unace reads, against it with its start-up taken off.
void AgainstUnace(const std::string& dir) {
    const std::string version = bench::PackageVersion("unace");
    if (version.empty()) {
        std::printf("unace not installed: no row against it\n");
        return;
    }
    const std::vector<std::string> readable = {dir + "tests.ace.v1/ALCHT.ACE", dir + "tests.ace.v1/Patch.ace"};
    const std::string empty = WriteEmptyArchive();
    if (UnaceTest(empty) < 0) {
        std::printf("unace cannot read an empty stored archive: no row against it\n");
        std::remove(empty.c_str());
        return;
    }
    uint64_t bytes = 0;
    for (const auto& f : readable)
        if (UnaceTest(f) < 0) {
            std::printf("unace cannot read %s: no row against it\n", f.c_str());
            std::remove(empty.c_str());
            return;
        }
    constexpr int kRuns = 41;
    std::vector<double> ours, theirs, startup;
    for (int r = 0; r < kRuns; ++r) {
        auto s = std::chrono::steady_clock::now();
        bytes = 0;
        for (const auto& f : readable) bytes += OpenAndDecode(f);
        ours.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - s).count());
        double t = 0, e = 0;
        for (const auto& f : readable) t += UnaceTest(f), e += UnaceTest(empty);
        theirs.push_back(t);
        startup.push_back(e);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double peer = std::max(0.0, median(theirs) - median(startup));
    std::printf("unace t on %zu archives: %.3f ms, %.3f ms of it start-up (runs on an archive with nothing to decode); ours %.3f ms "
                "for %.0f KB\n",
                readable.size(), median(theirs), median(startup), median(ours), bytes / 1024.0);
    bench::PeerRow("ace 1.0 test, the 2 fixtures unace reads (" + std::to_string(bytes / 1024) + " KB), start-up off",
                   median(ours), "unace " + version + " t", peer);
    std::remove(empty.c_str());
}

}  // namespace

int main() {
    const std::string dir = std::string(VELLICOR_SOURCE_DIR) + "/../shared/testdata/peer/unace/";
    AgainstUnace(dir);
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
    // Time per megabyte of output on each side.
    bench::PeerRow("ace decode, compressed fixtures' output, per MB", oursTime * 1e3 / (ours / 1e6),
                   "zlib " + std::string(zlibVersion()) + " inflate of the same bytes (no ace reader)",
                   peerTime * 1e3 / (peer / 1e6), "ms/MB");
    return 0;
}
