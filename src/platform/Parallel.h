#pragma once
// A small pool of worker threads for the row loops of one page operation. The caller's
// thread takes part and waits until every range is done, so an operation stays one step
// of the work queue; only the caller lets window messages through, between calls.
#include <cstdint>
#include <functional>

namespace vellicor {

// How many ranges ParallelFor splits n items into (1 when the work is too small to share).
// itemCost is a rough cost of one item in bytes touched.
int ParallelParts(int n, int64_t itemCost);
// Runs fn(part, begin, end) for parts contiguous ranges covering [0, n), in parallel, and
// returns when all are done. Nested or concurrent calls run their ranges in turn.
void ParallelFor(int n, int parts, const std::function<void(int part, int begin, int end)>& fn);
// Tests and benchmarks: at most this many threads take part (1 = the caller alone; 0 = the default).
void SetParallelThreads(int threads);
int ParallelThreads();

}  // namespace vellicor
