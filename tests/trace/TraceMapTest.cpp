// The shared-memory ring of the stand-in trace library.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extlibs/trace32/TraceMap.h"

namespace {

std::string UniqueName(const char* what) {
    static int n = 0;
    return "/vellicor-test-" + std::string(what) + "-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

class Ring : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = UniqueName("ring");
        map_ = trace32::CreateMap(name_);
        ASSERT_NE(map_, nullptr);
    }
    void TearDown() override {
        trace32::CloseMap(map_);
        ::shm_unlink(name_.c_str());
    }
    std::string name_;
    trace32::Map* map_ = nullptr;
};

TEST_F(Ring, RecordsArriveInOrderAndIntact) {
    trace32::Map* writer = trace32::OpenMap(name_);
    ASSERT_NE(writer, nullptr);
    for (int32_t i = 0; i < 10; ++i) trace32::Append(writer, trace32::kInteger, &i, 4, "count");
    std::string longLabel(400, 'L');
    trace32::Append(writer, trace32::kText, "hi", 3, longLabel.c_str());
    trace32::CloseMap(writer);

    trace32::Reader reader;
    std::vector<trace32::Record> got;
    reader.Poll(map_, got, 0);
    ASSERT_EQ(got.size(), 11u);
    for (int32_t i = 0; i < 10; ++i) EXPECT_EQ(trace32::FormatRecord(got[i]), "Integer\tcount\t" + std::to_string(i));
    EXPECT_EQ(got[10].pid, ::getpid());
    EXPECT_EQ(std::string(got[10].label).size(), trace32::kLabelMax - 1);
    EXPECT_EQ(reader.Lost(), 0u);
}

TEST_F(Ring, ALappedReaderCountsWhatItMissed) {
    for (uint32_t i = 0; i < trace32::kSlots + 100; ++i) trace32::Append(map_, trace32::kInteger, &i, 4, "n");
    trace32::Reader reader;
    std::vector<trace32::Record> got;
    reader.Poll(map_, got, 0);
    EXPECT_EQ(reader.Lost(), 100u);
    ASSERT_EQ(got.size(), trace32::kSlots);
    EXPECT_EQ(trace32::FormatRecord(got[0]), "Integer\tn\t100");
    // A dump starts at the oldest record still there.
    EXPECT_EQ(trace32::Reader::FromOldest(map_).Next(), 100u);
}

TEST_F(Ring, ARecordLeftHalfWrittenIsWaitedForThenSkipped) {
    int32_t v = 1;
    trace32::Append(map_, trace32::kInteger, &v, 4, "a");
    // A writer claims a record and dies before finishing it.
    map_->header.next.fetch_add(1);
    trace32::Append(map_, trace32::kInteger, &v, 4, "c");
    trace32::Reader reader;
    std::vector<trace32::Record> got;
    reader.Poll(map_, got, 1000, 500);
    EXPECT_EQ(got.size(), 1u);
    reader.Poll(map_, got, 1400, 500);
    EXPECT_EQ(got.size(), 1u);
    reader.Poll(map_, got, 1500, 500);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::string(got[1].label), "c");
    EXPECT_EQ(reader.Lost(), 1u);
}

TEST_F(Ring, HostileRecordsFormatWithinBounds) {
    trace32::Record r;
    std::memset(r.data, 'A', sizeof r.data);  // no terminator anywhere
    std::memset(r.label, 'B', sizeof r.label);
    r.label[trace32::kLabelMax - 1] = '\0';
    for (int32_t type : {3, 4, 5, 6, 8, 9, 10, 11, 12, 16, 99}) {
        for (int32_t len : {-5, 0, 1, 3, 7, 15, 100000}) {
            r.type = type;
            r.length = len;
            std::string line = trace32::FormatRecord(r);
            EXPECT_LT(line.size(), 1200u);
        }
    }
    r.type = trace32::kText;
    r.length = 3;
    std::memcpy(r.data, "a\nb", 3);
    r.label[0] = '\0';
    EXPECT_EQ(trace32::FormatRecord(r), "Text\t\ta\\x0ab");
    r.type = 77;
    r.length = 2;
    EXPECT_EQ(trace32::FormatRecord(r), "Type77\t\t610a");
}

TEST_F(Ring, OnlyOneLiveViewerOwnsAName) {
    map_->header.viewerPid.store(::getpid());
    EXPECT_EQ(trace32::CreateMap(name_), nullptr);
    // A viewer that died leaves its map to the next one.
    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    map_->header.viewerPid.store(dead);
    trace32::Map* fresh = trace32::CreateMap(name_);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->header.next.load(), 0u);
    trace32::CloseMap(fresh);
}

TEST(TraceMap, ForeignObjectsAreNotOpened) {
    std::string name = UniqueName("foreign");
    int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 100), 0);  // too small
    EXPECT_EQ(trace32::OpenMap(name), nullptr);
    ASSERT_EQ(::ftruncate(fd, sizeof(trace32::Map)), 0);  // big enough, no magic
    EXPECT_EQ(trace32::OpenMap(name), nullptr);
    ::close(fd);
    ::shm_unlink(name.c_str());
    EXPECT_EQ(trace32::OpenMap(name), nullptr);
    EXPECT_EQ(trace32::OpenMap("no-slash"), nullptr);
    EXPECT_FALSE(trace32::ValidMapName("/a/b"));
    EXPECT_FALSE(trace32::ValidMapName("/"));
}

}  // namespace
