#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/Parallel.h"

using namespace vellicor;

namespace {
// Every item of [0, n) visited exactly once, each range contiguous and reported with its part.
void ExpectExactCover(int n, int parts) {
    std::vector<std::atomic<int>> seen(static_cast<size_t>(n));
    std::mutex m;
    std::set<int> partsSeen;
    ParallelFor(n, parts, [&](int part, int b, int e) {
        for (int i = b; i < e; ++i) seen[size_t(i)]++;
        std::lock_guard lock(m);
        EXPECT_TRUE(partsSeen.insert(part).second) << "part " << part << " twice";
    });
    for (int i = 0; i < n; ++i) ASSERT_EQ(seen[size_t(i)].load(), 1) << "item " << i << " of " << n;
}
}  // namespace

TEST(Parallel, RangesCoverEveryItemOnce) {
    for (int n : {1, 2, 7, 100, 2401})
        for (int parts : {1, 2, 3, 8, 50}) ExpectExactCover(n, parts);
    ParallelFor(0, 4, [](int, int, int) { FAIL() << "no work, no call"; });
    // Many jobs in a row reuse the threads without mixing one job's ranges into the next.
    for (int k = 0; k < 300; ++k) ExpectExactCover(64 + k % 7, 1 + k % 8);
}

TEST(Parallel, NestedAndConcurrentCallsRunInTurn) {
    std::atomic<int> inner{0};
    ParallelFor(8, 8, [&](int, int, int) { ParallelFor(10, 4, [&](int, int b, int e) { inner += e - b; }); });
    EXPECT_EQ(inner.load(), 80);
    std::atomic<int> total{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int k = 0; k < 50; ++k) ParallelFor(100, 4, [&](int, int b, int e) { total += e - b; });
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(total.load(), 4 * 50 * 100);
}

TEST(Parallel, SmallWorkStaysOnTheCallersThreadAndTheLimitHolds) {
    EXPECT_EQ(ParallelParts(1000, 1), 1) << "a few kilobytes are not worth a wake-up";
    SetParallelThreads(1);
    EXPECT_EQ(ParallelParts(4000, 4800), 1);
    const auto caller = std::this_thread::get_id();
    ParallelFor(100, ParallelParts(100, 1 << 20), [&](int, int, int) { EXPECT_EQ(std::this_thread::get_id(), caller); });
    SetParallelThreads(3);
    EXPECT_EQ(ParallelParts(4000, 4800), 3);
    SetParallelThreads(0);
    EXPECT_GE(ParallelParts(4000, 4800), 1);
}
