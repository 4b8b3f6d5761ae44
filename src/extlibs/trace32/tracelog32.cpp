// The trace viewer: makes the trace map, prints records as they arrive and keeps them for
// export; or, with --dump, prints what an existing map holds.
//
//   tracelog32 [--map NAME] [--export FILE] [--minimised]   follow the trace
//   tracelog32 [--map NAME] --dump                           print the ring and exit
//
// A traced program asks for an export through the map's header; the viewer writes the
// records it kept to the export file and acknowledges.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "extlibs/trace32/TraceMap.h"

namespace {

constexpr size_t kKeep = 200000;  // records kept for export

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int Usage() {
    std::fprintf(stderr,
                 "usage: tracelog32 [--map NAME] [--export FILE] [--minimised]\n"
                 "       tracelog32 [--map NAME] --dump\n");
    return 2;
}

std::string Line(const trace32::Record& r) { return std::to_string(r.pid) + '\t' + trace32::FormatRecord(r); }

// The export usually goes to the shared temporary directory: the temporary file gets an
// unpredictable name and is created anew (never through a link someone left there).
bool WriteExport(const std::string& path, const std::deque<std::string>& lines, uint64_t lost) {
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    FILE* f = ::fdopen(fd, "w");
    if (!f) {
        ::close(fd);
        std::remove(temp.c_str());
        return false;
    }
    for (const auto& l : lines) std::fprintf(f, "%s\n", l.c_str());
    if (lost) std::fprintf(f, "# %llu records lost\n", static_cast<unsigned long long>(lost));
    bool ok = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    ok = std::fclose(f) == 0 && ok;
    if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
    std::remove(temp.c_str());
    return false;
}

int Dump(const std::string& name) {
    trace32::Map* m = trace32::OpenMap(name);
    if (!m) {
        std::fprintf(stderr, "tracelog32: no trace map %s\n", name.c_str());
        return 1;
    }
    trace32::Reader reader = trace32::Reader::FromOldest(m);
    std::vector<trace32::Record> records;
    reader.Poll(m, records, trace32::WallClockNs(), 0);
    for (const auto& r : records) std::printf("%s\n", Line(r).c_str());
    if (reader.Lost()) std::printf("# %llu records lost\n", static_cast<unsigned long long>(reader.Lost()));
    trace32::CloseMap(m);
    return 0;
}

int Follow(const std::string& name, const std::string& exportPath, bool quiet) {
    ino_t ino = 0;
    trace32::Map* m = trace32::CreateMap(name, &ino);
    if (!m) {
        std::fprintf(stderr, "tracelog32: cannot make trace map %s (is another viewer running?)\n", name.c_str());
        return 1;
    }
    trace32::Header& h = m->header;
    h.viewerPid.store(static_cast<int32_t>(::getpid()), std::memory_order_release);
    if (!quiet) std::fprintf(stderr, "tracelog32: following %s\n", name.c_str());

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    trace32::Reader reader(0);
    std::deque<std::string> kept;
    std::vector<trace32::Record> records;
    uint64_t reportedLost = 0;
    while (!g_stop && h.quitRequest.load(std::memory_order_acquire) == 0) {
        records.clear();
        reader.Poll(m, records, trace32::WallClockNs());
        for (const auto& r : records) {
            std::string l = Line(r);
            if (!quiet) std::printf("%s\n", l.c_str());
            kept.push_back(std::move(l));
            if (kept.size() > kKeep) kept.pop_front();
        }
        if (!quiet && reader.Lost() != reportedLost) {
            std::printf("# %llu records lost\n", static_cast<unsigned long long>(reader.Lost() - reportedLost));
            reportedLost = reader.Lost();
        }
        if (!records.empty() && !quiet) std::fflush(stdout);
        uint32_t req = h.exportRequest.load(std::memory_order_acquire);
        if (req != h.exportAck.load(std::memory_order_relaxed)) {
            bool ok = WriteExport(exportPath, kept, reader.Lost());
            std::snprintf(h.exportPath, sizeof h.exportPath, "%s", ok ? exportPath.c_str() : "");
            h.exportAck.store(req, std::memory_order_release);
            if (!quiet)
                std::fprintf(stderr, "tracelog32: %s %zu records to %s\n", ok ? "exported" : "could not export",
                             kept.size(), exportPath.c_str());
        }
        if (records.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    h.viewerPid.store(0, std::memory_order_release);
    if (trace32::MapInode(name) == ino) ::shm_unlink(name.c_str());  // still ours
    trace32::CloseMap(m);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = trace32::DefaultMapName();
    std::string exportPath;
    bool dump = false, quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--map" && i + 1 < argc) {
            name = argv[++i];
            if (!name.empty() && name[0] != '/') name = "/" + name;
            if (!trace32::ValidMapName(name)) {
                std::fprintf(stderr, "tracelog32: bad map name\n");
                return 2;
            }
        } else if (a == "--export" && i + 1 < argc) {
            exportPath = argv[++i];
        } else if (a == "--dump") {
            dump = true;
        } else if (a == "--minimised" || a == "--minimized") {
            quiet = true;
        } else {
            return Usage();
        }
    }
    if (dump) return Dump(name);
    if (exportPath.empty()) exportPath = trace32::DefaultExportPath(name);
    return Follow(name, exportPath, quiet);
}
