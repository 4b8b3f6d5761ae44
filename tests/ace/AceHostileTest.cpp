// Compressed members written bit by bit: a sound stream decodes, and each kind of damage
// (distances before the window, code lengths past their bound, overfull tables, streams
// cut short, bad mode blocks) is refused with an error instead of a crash or garbage.
#include <gtest/gtest.h>

#include <algorithm>

#include "AceTestSupport.h"

namespace vellicor::test {
namespace {

using unace::AceError;
using unace::Fault;

// Bits from the top of little-endian 32-bit words, as the decoder reads them.
class BitWriter {
public:
    void Put(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            if (bits_ / 32 >= words_.size()) words_.push_back(0);
            if ((v >> i) & 1) words_[bits_ / 32] |= 1u << (31 - bits_ % 32);
            ++bits_;
        }
    }
    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out;
        for (uint32_t w : words_) AceWriter::Put32(out, w);
        return out;
    }

private:
    std::vector<uint32_t> words_;
    size_t bits_ = 0;
};

// Codes for widths that are all different: shorter codes first, as the decoder lays out its
// table (equal widths would depend on the archiver's sort, which these tests avoid).
std::map<int, std::pair<uint32_t, int>> Codes(const std::map<int, int>& widths, int maxw) {
    std::vector<std::pair<int, int>> order;  // width, symbol
    for (auto [sym, w] : widths) order.push_back({w, sym});
    std::sort(order.begin(), order.end());
    std::map<int, std::pair<uint32_t, int>> codes;
    uint32_t start = 0;
    for (auto [w, sym] : order) {
        codes[sym] = {start >> (maxw - w), w};
        start += 1u << (maxw - w);
    }
    return codes;
}

constexpr int kUp = 6;  // width values 0..5, symbol 6 is a zero run

// Writes a table: every width as the difference to the one before, modulo kUp.
void PutTree(BitWriter& bw, const std::map<int, int>& widths, int n, int lo = 0) {
    bw.Put(static_cast<uint32_t>(n - 1), 9);
    bw.Put(static_cast<uint32_t>(lo), 4);
    bw.Put(kUp, 4);
    std::map<int, int> alphabet;
    for (int s = 0; s <= kUp; ++s) alphabet[s] = s + 1;
    for (int s = 0; s <= kUp; ++s) bw.Put(static_cast<uint32_t>(alphabet[s]), 3);
    auto codes = Codes(alphabet, 7);
    int prev = 0;
    for (int i = 0; i < n; ++i) {
        auto it = widths.find(i);
        int w = it == widths.end() ? 0 : it->second - lo;
        int e = ((w - prev) % kUp + kUp) % kUp;
        bw.Put(codes[e].first, codes[e].second);
        prev = w;
    }
}

// The main table of these streams: literals 'A', 1 and 2, a match with distance 1, and the
// mode code.
const std::map<int, int> kMain = {{'A', 1}, {261, 2}, {283, 3}, {1, 4}, {2, 5}};

struct Stream {
    BitWriter bw;
    std::map<int, std::pair<uint32_t, int>> main = Codes(kMain, 11);
    explicit Stream(uint32_t symbols, const std::map<int, int>& mainWidths = kMain, int lo = 0) {
        PutTree(bw, mainWidths, 284, lo);
        PutTree(bw, {{0, 1}}, 1);  // one length symbol, 0
        bw.Put(symbols, 15);
    }
    void Sym(int s) { bw.Put(main[s].first, main[s].second); }
    void Match() {  // distance 1 (copy from 2 back), length 2
        Sym(261);
        bw.Put(0, 1);
    }
};

std::vector<uint8_t> Archive(const std::vector<uint8_t>& packed, const std::string& data, int method, uint64_t orig) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> main = {0, 0, 0};
    for (char c : std::string("**ACE**")) main.push_back(static_cast<uint8_t>(c));
    main.insert(main.end(), {20, 20, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    AceWriter::Header(out, main);
    std::vector<uint8_t> h = {1, 1, 0};
    AceWriter::Put32(h, static_cast<uint32_t>(packed.size()));
    AceWriter::Put32(h, static_cast<uint32_t>(orig));
    AceWriter::Put32(h, 0);
    AceWriter::Put32(h, 0x20);
    AceWriter::Put32(h, unace::Crc32(data.data(), data.size()));
    h.push_back(static_cast<uint8_t>(method));
    h.push_back(3);
    AceWriter::Put16(h, 10);
    AceWriter::Put16(h, 0);
    AceWriter::Put16(h, 5);
    for (char c : std::string("m.bin")) h.push_back(static_cast<uint8_t>(c));
    AceWriter::Header(out, h);
    out.insert(out.end(), packed.begin(), packed.end());
    return out;
}

struct Result {
    bool ok = false;
    Fault fault = Fault::Broken;
    std::string what, data;
};

Result Decode(const std::vector<uint8_t>& bytes) {
    Result r;
    unace::Archive a;
    struct S : unace::Sink {
        std::string* out;
        bool Write(const uint8_t* p, size_t n) override {
            out->append(reinterpret_cast<const char*>(p), n);
            return true;
        }
    } sink;
    sink.out = &r.data;
    try {
        a.Open([&](int i, bool) -> std::unique_ptr<unace::ByteSource> {
            return i ? nullptr : std::make_unique<unace::MemorySource>(bytes.data(), bytes.size());
        });
        unace::Decoder d;
        for (size_t i = 0; i < a.Members().size(); ++i) d.Decode(a, i, "", sink);
        r.ok = !a.Cut();  // the members before a cut decode, but the archive is not sound
    } catch (const AceError& e) {
        r.fault = e.fault;
        r.what = e.what();
    }
    return r;
}

TEST(AceHostile, SoundStreamDecodes) {
    Stream s(3);
    s.Sym('A');
    s.Sym('A');
    s.Match();
    Result r = Decode(Archive(s.bw.Bytes(), "AAAA", 1, 4));
    EXPECT_TRUE(r.ok) << r.what;
    EXPECT_EQ(r.data, "AAAA");
}

TEST(AceHostile, DamagedStreamsAreRefused) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* expect;  // part of the error text
    };
    std::vector<Case> cases;
    {
        Stream s(2);  // one byte, then a match reaching two back
        s.Sym('A');
        s.Match();
        cases.push_back({"distance before the window", Archive(s.bw.Bytes(), "AAA", 1, 3), "before the start"});
    }
    {
        Stream s(3);
        s.Sym('A');
        s.Sym('A');
        s.Match();
        cases.push_back({"match past the member's end", Archive(s.bw.Bytes(), "AAA", 1, 3), "past the end"});
    }
    {
        Stream s(1, {{'A', 1}, {261, 2}}, 15);  // widths 16 and 17 for an 11-bit table
        s.bw.Put(0, 32);
        cases.push_back({"code lengths past their bound", Archive(s.bw.Bytes(), "A", 1, 1), "past its bound"});
    }
    {
        Stream s(1, {{'A', 1}, {'B', 1}, {'C', 1}});  // three one-bit codes
        cases.push_back({"overfull table", Archive(s.bw.Bytes(), "A", 1, 1), "overfull"});
    }
    {
        Stream s(2);
        s.Sym('A');
        s.Sym('A');
        cases.push_back({"cut short", Archive(s.bw.Bytes(), std::string(5000, 'A'), 1, 5000), "ends early"});
    }
    {
        Stream s(0);
        cases.push_back({"empty block", Archive(s.bw.Bytes(), "A", 1, 1), "empty block"});
    }
    {
        Stream s(2);
        s.Sym('A');
        s.Sym(283);
        cases.push_back({"mode code in a 1.0 member", Archive(s.bw.Bytes(), "AA", 1, 2), "mode code"});
    }
    {
        Stream s(2);
        s.Sym('A');
        s.Sym(283);
        s.bw.Put(9, 8);  // no such mode
        cases.push_back({"unknown mode", Archive(s.bw.Bytes(), "AA", 2, 2), "unknown mode"});
    }
    for (auto [dist, len, what] : {std::tuple{0, 4, "delta distance 0"}, std::tuple{3, 4, "delta length not whole rows"},
                                    std::tuple{2, 8, "delta block past the member"}}) {
        Stream s(6);
        s.Sym(283);
        s.bw.Put(1, 8);
        s.bw.Put(static_cast<uint32_t>(dist), 8);
        s.bw.Put(static_cast<uint32_t>(len), 17);
        for (int i = 0; i < 4; ++i) s.Sym(1);
        cases.push_back({what, Archive(s.bw.Bytes(), "xxxx", 2, 4), "delta"});
    }
    {
        Stream s(1);
        s.Sym('A');
        std::vector<uint8_t> a = Archive(s.bw.Bytes(), "A", 1, 1);
        // Dictionary bits live in the file header's parameter word; its CRC is renewed.
        const size_t body = 4 + 27 + 4;
        a[body + 25] = 0x0F;
        uint16_t crc = static_cast<uint16_t>(unace::Crc32(a.data() + body, 36) & 0xFFFF);
        a[body - 4] = static_cast<uint8_t>(crc);
        a[body - 3] = static_cast<uint8_t>(crc >> 8);
        cases.push_back({"dictionary past 4 MiB", a, "dictionary"});
    }
    for (const Case& c : cases) {
        Result r = Decode(c.bytes);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_NE(r.what.find(c.expect), std::string::npos) << c.what << ": " << r.what;
    }
}

TEST(AceHostile, DeltaBlockSumsAndReordersItsRows) {
    Stream s(6);
    s.Sym(283);
    s.bw.Put(1, 8);   // delta
    s.bw.Put(2, 8);   // two rows
    s.bw.Put(4, 17);  // of two bytes
    s.Sym(1);
    s.Sym(1);
    s.Sym(2);
    s.Sym(2);
    // Summed 1 2 4 6, rows {1 2} {4 6} read across: 1 4 2 6.
    Result r = Decode(Archive(s.bw.Bytes(), "\x01\x04\x02\x06", 2, 4));
    EXPECT_TRUE(r.ok) << r.what;
    EXPECT_EQ(r.data, "\x01\x04\x02\x06");
}

// Every cut and every single-byte change of a real archive: an error or sound data, never
// a crash (the sanitizer build watches the reads).
TEST(AceHostile, CutAndChangedFixturesNeverCrash) {
    for (const char* name : {"tests.ace.v1/ALCHT.ACE", "tests.ace.v2/passwd2.ace"}) {
        const std::string path = UnaceDir() + "/" + name;
        if (!FileThere(path)) {
            GTEST_SKIP();
        }
        const std::vector<uint8_t> good = ReadAll(path);
        for (size_t cut = 0; cut < good.size(); ++cut) {
            Result r = Decode(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut)));
            if (cut + 8 < good.size()) {
                // Only a cut right after the main header leaves a sound (empty) archive.
                EXPECT_TRUE(!r.ok || r.data.empty()) << name << " cut at " << cut;
            }
        }
        int refused = 0;
        for (size_t at = 0; at < good.size(); ++at) {
            std::vector<uint8_t> b = good;
            b[at] ^= 0x5A;
            refused += Decode(b).ok ? 0 : 1;
        }
        EXPECT_GT(refused, static_cast<int>(good.size()) / 2) << name;
    }
}

}  // namespace
}  // namespace vellicor::test
