// Member data: stored bytes, the LZ77 coder with its Huffman tables, and the 2.0 modes
// (delta, exe, sound, picture) that share the LZ77 window.
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "AceDecoder.h"

namespace unace {

namespace {

// Twice the largest dictionary: bytes just ahead of the write position are then never read
// again, so a copy may write a few bytes past its end.
constexpr size_t kWinSize = size_t(2) << kMaxDictBits;
constexpr size_t kWinMask = kWinSize - 1;
constexpr size_t kCopySlack = 8;
constexpr size_t kChunk = size_t(1) << 16;  // output is handed on in pieces of about this size
constexpr size_t kReadSize = size_t(1) << 16;  // a multiple of the cipher's block

enum Mode { mLz77 = 0, mDelta = 1, mExe = 2, mSound8 = 3, mSound16 = 4, mSound32A = 5, mSound32B = 6, mPic = 7 };

[[noreturn]] void Corrupt(const char* what) { throw AceError(Fault::Data, what); }

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

int BitLength(unsigned v) {
    int n = 0;
    while (v) ++n, v >>= 1;
    return n;
}

// The packed bytes of a member, segment after segment, decrypted when a cipher is given.
class PackedReader {
public:
    PackedReader(Archive& a, const Member& m, const Cipher* c) : a_(a), m_(m), cipher_(c) {}
    // Up to max bytes (a multiple of 8 while encrypted); 0 at the end.
    size_t Fill(uint8_t* buf, size_t max) {
        size_t done = 0;
        while (done < max && seg_ < m_.segments.size()) {
            const Segment& s = m_.segments[seg_];
            uint64_t left = s.size - segPos_;
            if (left == 0) {
                ++seg_;
                segPos_ = 0;
                continue;
            }
            size_t n = static_cast<size_t>(std::min<uint64_t>(max - done, left));
            if (!a_.Volume(s.volume).ReadAt(s.offset + segPos_, buf + done, n))
                throw AceError(Fault::Read, "the archive cannot be read");
            segPos_ += n;
            done += n;
        }
        if (cipher_) cipher_->DecryptCbc(buf, done, iv_);
        return done;
    }

private:
    Archive& a_;
    const Member& m_;
    const Cipher* cipher_;
    size_t seg_ = 0;
    uint64_t segPos_ = 0;
    uint32_t iv_[2] = {0, 0};
};

// Little-endian 32-bit words, each read from its top bit down.
class BitReader {
public:
    explicit BitReader(PackedReader& src) : src_(src), buf_(new uint8_t[kReadSize + 8]) {}

    uint32_t Peek(int n) {
        if (count_ <= 32) Refill();
        return static_cast<uint32_t>(bits_ >> (64 - n));
    }
    void Skip(int n) {
        bits_ <<= n;
        count_ -= n;
    }
    uint32_t Read(int n) {
        if (n == 0) return 0;
        uint32_t v = Peek(n);
        Skip(n);
        return v;
    }
    // Bits taken beyond the packed data are damage (a peek past it only sees zeros).
    void CheckEnd() const {
        if (static_cast<uint64_t>(zeroWords_) * 32 > static_cast<uint64_t>(count_)) Corrupt("packed data ends early");
    }

private:
    void Refill() {
        while (count_ <= 32) {
            uint32_t w;
            if (len_ - pos_ >= 4) {
                w = Le32(buf_.get() + pos_);
                pos_ += 4;
            } else {
                w = SlowWord();
            }
            bits_ |= static_cast<uint64_t>(w) << (32 - count_);
            count_ += 32;
        }
    }
    uint32_t SlowWord() {
        size_t rest = len_ - pos_;
        std::memmove(buf_.get(), buf_.get() + pos_, rest);
        pos_ = 0;
        len_ = rest;
        if (!end_) {
            size_t got = src_.Fill(buf_.get() + rest, kReadSize);
            len_ += got;
            if (got == 0) end_ = true;
        }
        if (len_ >= 4) {
            pos_ = 4;
            return Le32(buf_.get());
        }
        if (len_ > 0) {  // a partial last word, padded with zeros
            uint8_t tmp[4] = {};
            std::memcpy(tmp, buf_.get(), len_);
            pos_ = len_ = 0;
            return Le32(tmp);
        }
        // Two words of zeros cover any peek; a third means bits were consumed past the end.
        if (++zeroWords_ > 2) Corrupt("packed data ends early");
        return 0;
    }

    PackedReader& src_;
    std::unique_ptr<uint8_t[]> buf_;
    size_t pos_ = 0, len_ = 0;
    uint64_t bits_ = 0;
    int count_ = 0;
    int zeroWords_ = 0;
    bool end_ = false;
};

// Only the first len entries of the table and the widths of the symbols in it are read.
struct Huff {
    int maxw = 0;
    size_t len = 0;
    uint8_t w[290];
    uint16_t table[1 << 11];
};

// The archiver's ordering of equal code lengths comes from this exact quicksort (descending).
// Each item holds its key above its value, so that one swap moves both.
inline int KeyOf(uint32_t item) { return static_cast<int>(item >> 16); }

void QuickSort(uint32_t* a, int l, int r) {
    int i = l, j = r;
    // key > pivot and key < pivot as plain comparisons of whole items
    const uint32_t above = ((a[r] >> 16) + 1) << 16, below = (a[r] >> 16) << 16;
    do {
        while (a[i] >= above) ++i;
        while (a[j] < below) --j;
        if (i <= j) {
            std::swap(a[i], a[j]);
            ++i;
            --j;
        }
    } while (i < j);
    if (l < j) {
        if (l < j - 1) QuickSort(a, l, j);
        else if (KeyOf(a[l]) < KeyOf(a[j])) std::swap(a[l], a[j]);
    }
    if (r > i) {
        if (i < r - 1) QuickSort(a, i, r);
        else if (KeyOf(a[i]) < KeyOf(a[r])) std::swap(a[i], a[r]);
    }
}

void MakeTable(Huff& h, const uint8_t* widths, int n, int maxw) {
    uint32_t item[290];
    h.maxw = maxw;
    for (int i = 0; i < n; ++i) {
        h.w[i] = widths[i];
        item[i] = (static_cast<uint32_t>(widths[i]) << 16) | static_cast<uint32_t>(i);
    }
    if (n > 0) QuickSort(item, 0, n - 1);
    int u = 0;
    while (u < n && KeyOf(item[u]) != 0) ++u;
    if (u < 2) {
        h.w[item[0] & 0xFFFF] = 1;
        if (u == 0) u = 1;
    }
    size_t len = 0;
    const size_t cap = size_t(1) << maxw;
    for (int k = u - 1; k >= 0; --k) {
        size_t reps = size_t(1) << (maxw - KeyOf(item[k]));
        if (reps > cap - len) Corrupt("overfull code table");
        std::fill_n(h.table + len, reps, static_cast<uint16_t>(item[k] & 0xFFFF));
        len += reps;
    }
    h.len = len;
}

inline int DecodeSym(BitReader& br, const Huff& h) {
    uint32_t v = br.Peek(h.maxw);
    if (v >= h.len) Corrupt("code not in the table");
    int s = h.table[v];
    br.Skip(h.w[s]);
    return s;
}

void ReadTree(BitReader& br, Huff& h, int maxw, int ncodes) {
    int n = std::min<int>(static_cast<int>(br.Read(9)) + 1, ncodes + 1);
    int lo = static_cast<int>(br.Read(4));
    int up = static_cast<int>(br.Read(4));
    uint8_t ww[16];
    for (int i = 0; i <= up; ++i) ww[i] = static_cast<uint8_t>(br.Read(3));
    Huff wt;
    MakeTable(wt, ww, up + 1, 7);
    uint8_t w[290];
    int i = 0;
    while (i < n) {
        int s = DecodeSym(br, wt);
        if (s < up) {
            w[i++] = static_cast<uint8_t>(s);
        } else {
            int z = static_cast<int>(br.Read(4)) + 4;
            while (z-- > 0 && i < n) w[i++] = 0;
        }
    }
    if (up > 0)
        for (int k = 1; k < n; ++k) w[k] = static_cast<uint8_t>((w[k] + w[k - 1]) % up);
    for (int k = 0; k < n; ++k)
        if (w[k]) {
            if (w[k] + lo > maxw) Corrupt("code length past its bound");
            w[k] = static_cast<uint8_t>(w[k] + lo);
        }
    MakeTable(h, w, n, maxw);
    br.CheckEnd();
}

struct Instr {
    int mode = mLz77;
    int dist = 0, len = 0, x = 0;
};

struct SoundChannel {
    int st = 0, code = 0, ac = 0, au = 0, l = 0;
    int K[4] = {}, D[4] = {};
    int E[9] = {};
    int P[2] = {}, LP[2] = {};
    unsigned n = 0;
};

struct PicContext {
    int used = 0, avg = 4, pred = 0;
    int err[4] = {};
};

const uint8_t kSoundChannel[4][4] = {{0, 0, 0, 0}, {0, 1, 0, 1}, {0, 1, 0, 2}, {1, 0, 2, 0}};
const int kSoundChannels[4] = {1, 2, 3, 3};
constexpr int kMaxPicWidth = 1 << 18;

struct Tables {
    uint8_t Q[256];
    uint8_t W[256];
    Tables() {
        Q[0] = 0;
        for (int i = 1; i <= 128; ++i) Q[i] = Q[(256 - i) & 255] = static_cast<uint8_t>(BitLength(static_cast<unsigned>(i)));
        for (int u = 0; u < 256; ++u) {
            int v = static_cast<int8_t>(u);
            W[u] = static_cast<uint8_t>(v >= 0 ? BitLength(static_cast<unsigned>(2 * v))
                                                : BitLength(static_cast<unsigned>(-2 * v - 1)));
        }
    }
};
const Tables kT;

int PicQ(int v) {
    int a = std::abs(v), q = a == 0 ? 0 : a <= 2 ? 1 : a <= 6 ? 2 : a <= 20 ? 3 : 4;
    return v < 0 ? -q : q;
}

class Output {
public:
    explicit Output(Sink& s) : sink_(s) {}
    void Emit(const uint8_t* p, size_t n) {
        if (n == 0) return;
        for (size_t done = 0; done < n;) {
            uInt part = static_cast<uInt>(std::min<size_t>(n - done, 1u << 30));
            crc_ = ~static_cast<uint32_t>(::crc32(~crc_, p + done, part));
            done += part;
        }
        emitted_ += n;
        if (!sink_.Write(p, n)) throw AceError(Fault::Cancelled, "cancelled");
    }
    uint32_t Crc() const { return crc_; }
    uint64_t Emitted() const { return emitted_; }

private:
    Sink& sink_;
    uint32_t crc_ = 0xFFFFFFFFu;
    uint64_t emitted_ = 0;
};

}  // namespace

struct Decoder::State {
    // Not cleared: no byte is read before it is written, as distances are checked. Bytes of
    // type char8_t, unlike uint8_t, alias nothing else, so stores into the window do not make
    // the compiler reload the decoder's state after every byte.
    std::unique_ptr<char8_t[]> win{new char8_t[kWinSize]};
    uint8_t* Win() { return reinterpret_cast<uint8_t*>(win.get()); }
    uint64_t wpos = 0;       // bytes ever put into the window
    uint64_t chainBase = 0;  // bytes of the solid chain before this member

    // Per member.
    BitReader* br = nullptr;
    Output* out = nullptr;
    uint64_t orig = 0, produced = 0;
    Huff mainT, lenT;
    uint32_t left = 0;
    uint32_t H[4] = {};
    int mode = mLz77;
    int exeX = 0;
    uint8_t deltaCarry = 0;
    std::vector<uint8_t> held, scratch;
    // Sound.
    SoundChannel ch[3];
    Huff models[9];
    uint32_t soundCount = 0;
    uint32_t soundK = 0;
    // Picture.
    bool picHeader = true;
    int picWidth = 0, picPlanes = 0;
    std::vector<uint8_t> prevRow, row;
    PicContext ctx[2][365];

    void StartMember(uint64_t origSize) {
        orig = origSize;
        produced = 0;
        left = 0;
        std::fill(std::begin(H), std::end(H), 0u);
        mode = mLz77;
        exeX = 0;
        deltaCarry = 0;
        held.clear();
        ResetSound();
        picHeader = true;
    }
    void ResetSound() {
        for (auto& c : ch) c = SoundChannel{};
        soundCount = 0;
        soundK = 0;
    }

    void Put(uint8_t c) {
        win[wpos & kWinMask] = static_cast<char8_t>(c);
        ++wpos;
        ++produced;
    }
    void PutBytes(const uint8_t* p, size_t n) {
        while (n > 0) {
            size_t at = wpos & kWinMask;
            size_t k = std::min(n, kWinSize - at);
            std::memcpy(Win() + at, p, k);
            p += k;
            n -= k;
            wpos += k;
            produced += k;
        }
    }
    // Copies len bytes from dist back to pos, byte by byte in effect (the ranges may overlap).
    static void CopyAt(char8_t* w, uint64_t pos, uint32_t dist, uint32_t len) {
        size_t dst = pos & kWinMask, src = (pos - dist) & kWinMask;
        if (dst + len + kCopySlack <= kWinSize && src < dst) {
            char8_t* d = w + dst;
            const char8_t* s = w + src;
            if (dist >= 8) {  // eight at a time never reads a byte this copy has still to write
                for (uint32_t i = 0; i < len; i += 8) std::memcpy(d + i, s + i, 8);
            } else {
                for (uint32_t i = 0; i < len; ++i) d[i] = s[i];
            }
        } else {
            for (uint32_t i = 0; i < len; ++i) w[(pos + i) & kWinMask] = w[(pos + i - dist) & kWinMask];
        }
    }

    // Window bytes [from, from+n) to the output, or appended to v.
    void EmitWindow(uint64_t from, size_t n) {
        while (n > 0) {
            size_t at = from & kWinMask;
            size_t k = std::min(n, kWinSize - at);
            out->Emit(Win() + at, k);
            from += k;
            n -= k;
        }
    }
    void AppendWindow(std::vector<uint8_t>& v, uint64_t from, size_t n) {
        while (n > 0) {
            size_t at = from & kWinMask;
            size_t k = std::min(n, kWinSize - at);
            v.insert(v.end(), Win() + at, Win() + at + k);
            from += k;
            n -= k;
        }
    }

    Instr ReadInstr() {
        Instr in;
        in.mode = static_cast<int>(br->Read(8));
        if (in.mode > mPic) Corrupt("unknown mode");
        if (in.mode == mDelta) {
            in.dist = static_cast<int>(br->Read(8));
            in.len = static_cast<int>(br->Read(17));
        } else if (in.mode == mExe) {
            in.x = static_cast<int>(br->Read(8));
        }
        br->CheckEnd();
        return in;
    }
    Instr pendingDelta;
    void Apply(const Instr& in) {
        if (in.mode >= mSound8 && in.mode <= mSound32B && in.mode != mode) ResetSound();
        if (in.mode == mPic && mode != mPic) picHeader = true;
        if (in.mode == mExe) exeX = in.x;
        if (in.mode == mDelta) pendingDelta = in;
        mode = in.mode;
    }

    // LZ77 until `soft` bytes of the member exist or a mode code comes (true). A match
    // that would pass `hard` is damage.
    bool LzRun(uint64_t hard, uint64_t soft, bool typeCodes) {
        BitReader& b = *br;
        char8_t* const w = win.get();
        // Kept in locals for the loop and stored back on every way out.
        uint64_t pos = wpos, prod = produced;
        uint32_t remaining = left;
        bool typeCode = false;
        while (prod < soft) {
            if (remaining == 0) {
                ReadTree(b, mainT, 11, 284);
                ReadTree(b, lenT, 11, 255);
                remaining = b.Read(15);
                if (remaining == 0) Corrupt("empty block");
            }
            int s = DecodeSym(b, mainT);
            --remaining;
            if (s < 256) {
                w[pos & kWinMask] = static_cast<char8_t>(s);
                ++pos;
                ++prod;
                continue;
            }
            if (s == 283) {
                if (!typeCodes) Corrupt("mode code in an ACE 1.0 member");
                typeCode = true;
                break;
            }
            if (s > 283) Corrupt("symbol out of range");
            uint32_t d, len;
            if (s < 260) {
                int k = s - 256;
                d = H[k];
                for (int i = k; i > 0; --i) H[i] = H[i - 1];
                H[0] = d;
                len = static_cast<uint32_t>(DecodeSym(b, lenT)) + (k >= 2 ? 3u : 2u);
            } else {
                int bits = s - 260;
                d = bits < 2 ? static_cast<uint32_t>(bits) : (1u << (bits - 1)) + b.Read(bits - 1);
                len = static_cast<uint32_t>(DecodeSym(b, lenT)) + 2u + (d > 255) + (d > 8191);
                H[3] = H[2];
                H[2] = H[1];
                H[1] = H[0];
                H[0] = d;
            }
            if (static_cast<uint64_t>(d) + 1 > chainBase + prod) Corrupt("match before the start of the window");
            if (len > hard - prod) Corrupt("match past the end of its block");
            CopyAt(w, pos, d + 1, len);
            pos += len;
            prod += len;
        }
        wpos = pos;
        produced = prod;
        left = remaining;
        return typeCode;
    }

    void ExeChunk(uint64_t from, size_t n) {
        scratch.swap(held);
        held.clear();
        AppendWindow(scratch, from, n);
        const size_t total = scratch.size();
        const uint64_t base = out->Emitted();
        uint8_t* p = scratch.data();
        size_t i = 0;
        while (i < total) {
            uint8_t c = p[i];
            if (c != 0xE8 && c != 0xE9) {
                ++i;
                continue;
            }
            if (i + 4 >= total) break;
            uint32_t pos = static_cast<uint32_t>(base + i);
            if (c == 0xE8 && exeX != 0) {
                uint32_t v = Le32(p + i + 1) - pos;
                for (int k = 0; k < 4; ++k) p[i + 1 + k] = static_cast<uint8_t>(v >> (8 * k));
                i += 5;
            } else {
                uint16_t v = static_cast<uint16_t>((p[i + 1] | (p[i + 2] << 8)) - pos);
                p[i + 1] = static_cast<uint8_t>(v);
                p[i + 2] = static_cast<uint8_t>(v >> 8);
                i += 3;
            }
        }
        size_t cut = std::min(i, total);
        out->Emit(p, cut);
        held.assign(p + cut, p + total);
        scratch.clear();
    }

    void LzChunk(uint64_t from, size_t n, bool exe) {
        if (exe) {
            ExeChunk(from, n);
            return;
        }
        if (!held.empty()) {
            out->Emit(held.data(), held.size());
            held.clear();
        }
        EmitWindow(from, n);
    }

    void DeltaBlock() {
        const Instr d = pendingDelta;
        if (d.dist < 1 || d.len < 1 || d.len % d.dist != 0) Corrupt("bad delta block");
        if (static_cast<uint64_t>(d.len) > orig - produced) Corrupt("delta block past the member's end");
        const uint64_t from = wpos;
        const uint64_t end = produced + static_cast<uint64_t>(d.len);
        bool havePending = false;
        Instr next;
        while (produced < end) {
            if (LzRun(end, end, true)) {
                if (havePending) Corrupt("two mode codes in a delta block");
                next = ReadInstr();
                havePending = true;
            }
        }
        std::vector<uint8_t> b;
        b.reserve(static_cast<size_t>(d.len));
        AppendWindow(b, from, static_cast<size_t>(d.len));
        for (auto& c : b) c = deltaCarry = static_cast<uint8_t>(c + deltaCarry);
        scratch.resize(b.size());
        const int ps = d.len / d.dist;
        for (int p = 0; p < ps; ++p)
            for (int j = 0; j < d.dist; ++j)
                scratch[static_cast<size_t>(p * d.dist + j)] = b[static_cast<size_t>(j * ps + p)];
        out->Emit(scratch.data(), scratch.size());
        scratch.clear();
        if (havePending) Apply(next);
        else mode = mLz77;
    }

    // One sound mode until its mode code or the member's end.
    void Sound() {
        const int m = mode - mSound8;
        const int channels = kSoundChannels[m];
        const uint64_t from = wpos;
        while (produced < orig) {
            SoundChannel& c = ch[kSoundChannel[m][soundK & 3]];
            const int chIndex = kSoundChannel[m][soundK & 3];
            int v = 0;
            if (c.st != 2) {
                if (soundCount == 0) {
                    for (int i = 0; i < 3 * channels; ++i) ReadTree(*br, models[i], 10, 289);
                    soundCount = br->Read(15);
                    if (soundCount == 0) Corrupt("empty block");
                }
                int code = DecodeSym(*br, models[3 * chIndex + (c.st ? 2 : c.au)]);
                --soundCount;
                if (code == 288) {
                    EmitWindow(from, static_cast<size_t>(wpos - from));
                    Apply(ReadInstr());
                    return;
                }
                if (code > 288) Corrupt("symbol out of range");
                if (c.st == 0 && code >= 32) {
                    v = code - 32;
                    c.ac = ((c.ac * 7) >> 3) + v;
                    c.au = c.ac > 40;
                } else if (c.st == 0) {
                    c.st = 2;
                    c.code = code;
                } else {
                    v = code;
                    c.st = 0;
                }
            }
            if (c.st == 2) {
                if (c.code == 0) c.st = 1;
                else --c.code;
                v = 0;
            }
            const int r = (v & 1) ? 255 - (v >> 1) : v >> 1;
            int sum = 8 * c.l;
            for (int j = 0; j < 4; ++j) sum += c.K[j] * c.D[j];
            const int pred = (sum >> 3) & 255;
            const int x = (r + (c.P[0] > c.P[1] ? c.l : pred)) & 255;
            Put(static_cast<uint8_t>(x));
            ++soundK;
            // Adapt the predictor.
            const int s = static_cast<int8_t>(x);
            ++c.n;
            const int pd = static_cast<int8_t>(static_cast<uint8_t>(pred - s)) * 8;
            for (int j = 0; j < 4; ++j) {
                c.E[2 * j] += std::abs(pd - c.D[j]);
                c.E[2 * j + 1] += std::abs(pd + c.D[j]);
            }
            c.E[8] += std::abs(pd);
            const int dl = static_cast<int8_t>(static_cast<uint8_t>(s - c.l));
            c.P[0] += kT.Q[(pd >> 3) & 255];
            c.P[1] += kT.Q[(c.l - s) & 255];
            c.l = s;
            if (c.n % 32 == 0) {
                int mi = 8;
                for (int i = 8; i >= 0; --i)
                    if (c.E[i] <= c.E[mi]) mi = i;
                std::fill(std::begin(c.E), std::end(c.E), 0);
                if (mi != 8) {
                    int& k = c.K[mi / 2];
                    if (mi % 2 == 0) {
                        if (k >= -16) --k;
                    } else if (k <= 16) {
                        ++k;
                    }
                }
                if (c.n % 256 == 0)
                    for (int j = 0; j < 2; ++j) {
                        c.P[j] -= c.LP[j];
                        c.LP[j] = c.P[j];
                    }
            }
            c.D[3] = c.D[2];
            c.D[2] = c.D[1];
            c.D[1] = dl - c.D[0];
            c.D[0] = dl;
            if (wpos - from >= kChunk) {
                EmitWindow(from, static_cast<size_t>(wpos - from));
                return;  // the caller comes back in the same mode
            }
        }
        EmitWindow(from, static_cast<size_t>(wpos - from));
    }

    int GolombRice(int k, int cap) {
        int v = static_cast<int>(br->Read(k));
        while (br->Read(1)) {
            v += 1 << k;
            if (v > cap) Corrupt("value past its bound");
        }
        return v;
    }

    void Picture() {
        if (picHeader) {
            picWidth = GolombRice(12, kMaxPicWidth);
            picPlanes = GolombRice(2, 255);
            if (picWidth < 1 || picPlanes < 1) Corrupt("bad picture size");
            prevRow.assign(static_cast<size_t>(picWidth), 0);
            for (auto& set : ctx)
                for (auto& c : set) c = PicContext{};
            picHeader = false;
        }
        const int width = picWidth, planes = picPlanes;
        auto at = [width](const std::vector<uint8_t>& v, int i) -> int {
            return (i < 0 || i >= width) ? 0 : v[static_cast<size_t>(i)];
        };
        uint64_t budget = kChunk;
        while (produced < orig) {
            if (br->Read(1) == 0) {
                Apply(ReadInstr());
                return;
            }
            row.assign(static_cast<size_t>(width), 0);
            for (int p = 0; p < planes; ++p) {
                const int set = p ? 1 : 0;
                const int t = p ? static_cast<int>(br->Read(2)) : 0;
                if (t == 3) Corrupt("bad picture plane");
                auto f = [t](int a, int b) {
                    return t == 0 ? a : t == 1 ? (128 + a - b) & 255 : (128 + a - ((11 * b) >> 4)) & 255;
                };
                int A = t ? 128 : 0, B = A, C = A, X = A;
                int D = f(at(prevRow, p), at(prevRow, p - 1));
                for (int col = p; col < width; col += planes) {
                    C = A;
                    A = D;
                    B = X;
                    D = f(at(prevRow, col + planes), at(prevRow, col + planes - 1));
                    PicContext& c = ctx[set][std::abs(81 * PicQ(D - A) + 9 * PicQ(A - C) + PicQ(C - B))];
                    ++c.used;
                    const int m = GolombRice(BitLength(static_cast<unsigned>(c.avg / c.used)), 255);
                    const int e = (m & 1) ? -((m + 1) >> 1) : m >> 1;
                    const int pi[4] = {A, B, (A + B) >> 1, (A + B - C) & 255};
                    X = (pi[c.pred] + e) & 255;
                    c.avg += std::abs(e);
                    if (c.used == 128) {
                        c.used >>= 1;
                        c.avg >>= 1;
                    }
                    bool big = false;
                    for (int i = 0; i < 4; ++i) {
                        c.err[i] += kT.W[(X - pi[i]) & 255];
                        big |= c.err[i] > 127;
                    }
                    c.pred = 0;
                    for (int i = 1; i < 4; ++i)
                        if (c.err[i] < c.err[c.pred]) c.pred = i;
                    if (big)
                        for (int& e2 : c.err) e2 >>= 1;
                    const int prev = at(row, col - 1);
                    row[static_cast<size_t>(col)] = static_cast<uint8_t>(
                        t == 0 ? X : t == 1 ? (X + prev - 128) & 255 : (X + ((11 * prev) >> 4) - 128) & 255);
                }
            }
            size_t n = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(width), orig - produced));
            const uint64_t from = wpos;
            PutBytes(row.data(), n);
            EmitWindow(from, n);
            prevRow.swap(row);
            if (n >= budget) return;
            budget -= n;
        }
    }

    void Compressed(int method) {
        const bool v2 = method == 2;
        while (produced < orig) {
            switch (mode) {
                case mLz77:
                case mExe: {
                    const uint64_t from = wpos, start = produced;
                    const int chunkMode = mode;
                    bool tc = LzRun(orig, std::min<uint64_t>(orig, produced + kChunk), v2);
                    LzChunk(from, static_cast<size_t>(produced - start), chunkMode == mExe);
                    if (tc) Apply(ReadInstr());
                    break;
                }
                case mDelta:
                    DeltaBlock();
                    break;
                case mPic:
                    Picture();
                    break;
                default:
                    Sound();
                    break;
            }
        }
        if (!held.empty()) {
            out->Emit(held.data(), held.size());
            held.clear();
        }
        br->CheckEnd();
    }
};

Decoder::Decoder() : s_(std::make_unique<State>()) {}
Decoder::~Decoder() = default;

void Decoder::Reset() {
    s_->chainBase = 0;
    lastArchive_ = nullptr;
    lastIndex_ = -1;
}

bool Decoder::NeedsPredecessor(const Archive& archive, size_t index) const {
    if (index == 0 || index >= archive.Members().size()) return false;
    return archive.Members()[index].Solid();
}

void Decoder::Decode(Archive& archive, size_t index, const std::string& password, Sink& sink) {
    const Member& m = archive.Members().at(index);
    State& s = *s_;
    if (NeedsPredecessor(archive, index)) {
        if (lastArchive_ != &archive || lastIndex_ != static_cast<long>(index) - 1)
            throw AceError(Fault::Broken, "a solid member needs the one before it");
    } else {
        s.chainBase = 0;
    }
    lastArchive_ = nullptr;
    lastIndex_ = -1;
    if (m.cutShort) throw AceError(Fault::Broken, "the archive ends inside this member");
    if (m.method > 2) throw AceError(Fault::Method, "compression method unknown");
    std::unique_ptr<Cipher> cipher;
    if (m.Encrypted()) {
        if (password.empty()) throw AceError(Fault::NoPassword, "the member is encrypted");
        if (m.packSize % 8 != 0) throw AceError(Fault::Data, "encrypted data is not whole blocks");
        cipher = std::make_unique<Cipher>(password);
    }
    try {
        Output out(sink);
        PackedReader pr(archive, m, cipher.get());
        s.StartMember(m.origSize);
        s.out = &out;
        if (m.method == 0) {
            if (m.origSize > m.packSize) throw AceError(Fault::Data, "stored member shorter than its size");
            std::vector<uint8_t> buf(kReadSize);
            while (s.produced < m.origSize) {
                size_t got = pr.Fill(buf.data(), buf.size());
                if (got == 0) throw AceError(Fault::Data, "stored data ends early");
                size_t n = static_cast<size_t>(std::min<uint64_t>(got, m.origSize - s.produced));
                s.PutBytes(buf.data(), n);
                out.Emit(buf.data(), n);
            }
        } else if (m.origSize > 0) {
            if (m.DictBits() > kMaxDictBits) throw AceError(Fault::Data, "dictionary too large");
            BitReader br(pr);
            s.br = &br;
            s.Compressed(m.method);
            s.br = nullptr;
        }
        s.out = nullptr;
        if (out.Crc() != m.crc) throw AceError(Fault::Crc, "CRC error");
    } catch (const AceError& e) {
        s.br = nullptr;
        s.out = nullptr;
        s.chainBase = 0;
        if (m.Encrypted() && (e.fault == Fault::Data || e.fault == Fault::Crc))
            throw AceError(Fault::Password, "wrong password or damaged");
        throw;
    } catch (const std::bad_alloc&) {
        s.chainBase = 0;
        throw AceError(Fault::Memory, "not enough memory");
    }
    s.chainBase += s.produced;
    lastArchive_ = &archive;
    lastIndex_ = static_cast<long>(index);
}

}  // namespace unace
