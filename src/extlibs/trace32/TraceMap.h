#pragma once
// The trace map: POSIX shared memory holding a header and a ring of fixed-size records.
// Any number of traced processes append; the viewer, which creates the map, reads.
// Writers claim a record by incrementing `next`; a record is complete when its `seq`
// holds its index + 1, which the writer stores last. The reader copies a record and
// checks `seq` again, so a record overwritten while read is counted lost, never shown torn.
// The header also carries the export and quit requests a program sends to the viewer.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace trace32 {

constexpr uint32_t kMagic = 0x33435254;  // "TRC3"
constexpr uint32_t kLayout = 1;
constexpr uint32_t kSlots = 8192;
constexpr size_t kDataMax = 256;   // a short string and its terminator
constexpr size_t kLabelMax = 256;
constexpr size_t kPathMax = 512;
constexpr size_t kNameMax = 200;

// Record type codes.
enum : int32_t {
    kPointer = 3, kText = 4, kBool = 5, kReal = 6, kPoint = 8, kRect = 9, kError = 10, kInteger = 11,
    kException = 12, kElapsed = 16
};

struct Slot {
    std::atomic<uint64_t> seq;  // index + 1 once complete; 0 while it is written
    int32_t type;
    int32_t length;             // as the caller gave it; at most kDataMax bytes are kept
    int32_t pid;
    int32_t tid;
    int64_t timeNs;             // wall clock
    unsigned char data[kDataMax];
    char label[kLabelMax];
};

struct Header {
    std::atomic<uint32_t> magic;  // stored last when the map is made
    uint32_t layout;
    uint32_t slotCount;
    uint32_t slotSize;
    std::atomic<uint64_t> next;
    std::atomic<int32_t> viewerPid;
    std::atomic<uint32_t> exportRequest;  // a program increments it...
    std::atomic<uint32_t> exportAck;      // ...and the viewer copies it here when done
    std::atomic<uint32_t> quitRequest;
    char exportPath[kPathMax];            // where the viewer wrote the last export
};

struct Map {
    Header header;
    Slot slots[kSlots];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "the map is shared between processes");

// The map's name: VELLICOR_TRACE_MAP, else one per user.
inline std::string DefaultMapName() {
    const char* env = std::getenv("VELLICOR_TRACE_MAP");
    if (env && *env) {
        std::string n = env[0] == '/' ? env : std::string("/") + env;
        if (n.size() < kNameMax && n.find('/', 1) == std::string::npos) return n;
    }
    return "/vellicor-trace32-" + std::to_string(::getuid());
}

// A shared-memory name: '/' then up to kNameMax-2 characters without another '/'.
inline bool ValidMapName(const std::string& name) {
    return name.size() >= 2 && name.size() < kNameMax && name[0] == '/' && name.find('/', 1) == std::string::npos;
}

inline Map* MapFd(int fd) {
    void* p = ::mmap(nullptr, sizeof(Map), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<Map*>(p);
}

inline bool ViewerAlive(const Map* m) {
    int32_t pid = m->header.viewerPid.load(std::memory_order_acquire);
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// Opens an existing map; nullptr when there is none or it is not one of ours.
// *ino receives the shared object's inode (to notice a map made anew under the name).
inline Map* OpenMap(const std::string& name, ino_t* ino = nullptr) {
    if (!ValidMapName(name)) return nullptr;
    int fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    struct stat st;
    Map* m = nullptr;
    if (::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Map))) m = MapFd(fd);
    ::close(fd);
    if (!m) return nullptr;
    const Header& h = m->header;
    if (h.magic.load(std::memory_order_acquire) != kMagic || h.layout != kLayout || h.slotCount != kSlots ||
        h.slotSize != sizeof(Slot)) {
        ::munmap(m, sizeof(Map));
        return nullptr;
    }
    if (ino) *ino = st.st_ino;
    return m;
}

inline void CloseMap(Map* m) {
    if (m) ::munmap(m, sizeof(Map));
}

// Inode of what the name holds now (0 when nothing).
inline ino_t MapInode(const std::string& name) {
    if (!ValidMapName(name)) return 0;
    int fd = ::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return 0;
    struct stat st;
    ino_t r = ::fstat(fd, &st) == 0 ? st.st_ino : 0;
    ::close(fd);
    return r;
}

// Makes a fresh map under name. Fails while a live viewer owns one; a map left by a
// viewer that died is replaced.
inline Map* CreateMap(const std::string& name, ino_t* ino = nullptr) {
    if (!ValidMapName(name)) return nullptr;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno != EEXIST) return nullptr;
            if (Map* old = OpenMap(name)) {
                bool alive = ViewerAlive(old);
                CloseMap(old);
                if (alive) return nullptr;
            }
            ::shm_unlink(name.c_str());
            continue;
        }
        struct stat st;
        Map* m = nullptr;
        if (::ftruncate(fd, sizeof(Map)) == 0 && ::fstat(fd, &st) == 0) m = MapFd(fd);
        ::close(fd);
        if (!m) {
            ::shm_unlink(name.c_str());
            return nullptr;
        }
        Header& h = m->header;  // the new object is all zero
        h.layout = kLayout;
        h.slotCount = kSlots;
        h.slotSize = sizeof(Slot);
        h.magic.store(kMagic, std::memory_order_release);
        if (ino) *ino = st.st_ino;
        return m;
    }
    return nullptr;
}

inline int64_t WallClockNs() {
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Stores one record; returns its index + 1. The writer's process and thread ids are
// looked up when not given.
inline uint64_t Append(Map* m, int32_t type, const void* data, int32_t length, const char* label, int32_t pid = 0,
                       int32_t tid = 0) {
    uint64_t idx = m->header.next.fetch_add(1, std::memory_order_relaxed);
    Slot& s = m->slots[idx % kSlots];
    s.seq.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    s.type = type;
    s.length = length;
    s.pid = pid ? pid : static_cast<int32_t>(::getpid());
    s.tid = tid ? tid : static_cast<int32_t>(::syscall(SYS_gettid));
    s.timeNs = WallClockNs();
    size_t n = (data && length > 0) ? std::min(static_cast<size_t>(length), kDataMax) : 0;
    if (n) std::memcpy(s.data, data, n);
    if (n < kDataMax) std::memset(s.data + n, 0, kDataMax - n);
    size_t l = 0;
    if (label)
        while (l < kLabelMax - 1 && label[l]) ++l;
    if (l) std::memcpy(s.label, label, l);
    s.label[l] = '\0';
    s.seq.store(idx + 1, std::memory_order_release);
    return idx + 1;
}

struct Record {
    uint64_t index = 0;
    int32_t type = 0, length = 0, pid = 0, tid = 0;
    int64_t timeNs = 0;
    unsigned char data[kDataMax] = {};
    char label[kLabelMax] = {};
};

// Follows the ring from a starting index. A record still being written is waited for a
// while (its writer may have died), then counted lost, as are records overwritten before
// they were read.
class Reader {
public:
    explicit Reader(uint64_t start = 0) : next_(start) {}
    // From the oldest record still in the ring.
    static Reader FromOldest(const Map* m) {
        uint64_t end = m->header.next.load(std::memory_order_acquire);
        return Reader(end > kSlots ? end - kSlots : 0);
    }
    uint64_t Next() const { return next_; }
    uint64_t Lost() const { return lost_; }

    // Appends what arrived to out; nowNs paces the wait for unfinished records.
    void Poll(const Map* m, std::vector<Record>& out, int64_t nowNs, int64_t stallNs = 1000000000) {
        uint64_t end = m->header.next.load(std::memory_order_acquire);
        if (end < next_) next_ = end;  // the counter went back: a map made anew
        if (end - next_ > kSlots) {
            lost_ += end - kSlots - next_;
            next_ = end - kSlots;
        }
        while (next_ < end) {
            const Slot& s = m->slots[next_ % kSlots];
            uint64_t s1 = s.seq.load(std::memory_order_acquire);
            if (s1 == next_ + 1) {
                Record r;
                r.index = next_;
                r.type = s.type;
                r.length = s.length;
                r.pid = s.pid;
                r.tid = s.tid;
                r.timeNs = s.timeNs;
                std::memcpy(r.data, s.data, kDataMax);
                std::memcpy(r.label, s.label, kLabelMax);
                r.label[kLabelMax - 1] = '\0';
                std::atomic_thread_fence(std::memory_order_acquire);
                if (s.seq.load(std::memory_order_relaxed) == s1)
                    out.push_back(r);
                else
                    ++lost_;
            } else if (s1 > next_ + 1) {
                ++lost_;  // a later lap took the slot
            } else {
                if (stallSince_ == 0) stallSince_ = nowNs;
                if (nowNs - stallSince_ < stallNs) return;
                ++lost_;
            }
            stallSince_ = 0;
            ++next_;
        }
    }

private:
    uint64_t next_;
    uint64_t lost_ = 0;
    int64_t stallSince_ = 0;
};

inline const char* TypeName(int32_t type) {
    switch (type) {
        case kPointer: return "Pointer";
        case kText: return "Text";
        case kBool: return "Bool";
        case kReal: return "Real";
        case kPoint: return "Point";
        case kRect: return "Rect";
        case kError: return "Error";
        case kInteger: return "Integer";
        case kException: return "Exception";
        case kElapsed: return "Elapsed";
        default: return nullptr;
    }
}

// Text for the terminal: control bytes and backslashes escaped.
inline std::string Printable(const char* s, size_t max) {
    std::string r;
    for (size_t i = 0; i < max && s[i]; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            r += buf;
        } else {
            r += static_cast<char>(c);
        }
    }
    return r;
}

// "Type<TAB>label<TAB>value", the value read as the type code says.
inline std::string FormatRecord(const Record& r) {
    size_t have = r.length > 0 ? std::min(static_cast<size_t>(r.length), kDataMax) : 0;
    auto i32 = [&](size_t at) {
        int32_t v;
        std::memcpy(&v, r.data + at, 4);
        return v;
    };
    char buf[160];
    std::string value;
    switch (r.type) {
        case kPointer:
            if (have >= 8) {
                uint64_t p;
                std::memcpy(&p, r.data, 8);
                std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(p));
                value = buf;
            } else if (have >= 4) {
                std::snprintf(buf, sizeof buf, "0x%08x", static_cast<uint32_t>(i32(0)));
                value = buf;
            }
            break;
        case kText:
        case kException:
            value = Printable(reinterpret_cast<const char*>(r.data), have);
            break;
        case kBool:
            if (have >= 4) value = i32(0) ? "True" : "False";
            break;
        case kReal:
            if (have >= 8) {
                double d;
                std::memcpy(&d, r.data, 8);
                std::snprintf(buf, sizeof buf, "%.17g", d);
                value = buf;
            }
            break;
        case kPoint:
            if (have >= 8) {
                std::snprintf(buf, sizeof buf, "(%d, %d)", i32(0), i32(4));
                value = buf;
            }
            break;
        case kRect:
            if (have >= 16) {
                std::snprintf(buf, sizeof buf, "(%d, %d, %d, %d)", i32(0), i32(4), i32(8), i32(12));
                value = buf;
            }
            break;
        case kError:
            if (have >= 2) {
                uint16_t e;
                std::memcpy(&e, r.data, 2);
                value = std::to_string(e);
            }
            break;
        case kInteger:
            if (have >= 4) value = std::to_string(i32(0));
            break;
        case kElapsed:
            if (have >= 4) value = std::to_string(static_cast<uint32_t>(i32(0))) + " ms";
            break;
        default:
            for (size_t k = 0; k < have && k < 32; ++k) {
                std::snprintf(buf, sizeof buf, "%02x", r.data[k]);
                value += buf;
            }
            break;
    }
    const char* name = TypeName(r.type);
    std::string line = name ? name : "Type" + std::to_string(r.type);
    line += '\t';
    line += Printable(r.label, kLabelMax);
    line += '\t';
    line += value;
    return line;
}

// Where the viewer exports to when not told otherwise.
inline std::string DefaultExportPath(const std::string& mapName) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    return dir + "/" + (mapName.empty() ? std::string("trace") : mapName.substr(1)) + ".log";
}

}  // namespace trace32
