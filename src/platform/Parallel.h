#pragma once
// A small pool of worker threads for the row loops of one page operation. The caller's
// thread takes part and waits until every range is done, so an operation stays one step
// of the work queue; only the caller lets window messages through, between calls.
#include <algorithm>
#include <cstdint>
#include <functional>

namespace vellicor {

// How many ranges ParallelFor splits n items into (1 when the work is too small to share).
// itemCost is a rough cost of one item in bytes touched.
int ParallelParts(int n, int64_t itemCost);
// Rows a block of a row loop that lets messages through between blocks: about a
// millisecond of work for each of parts threads (itemCost as for ParallelParts). Every
// block costs a wake-up of the threads, which on a busy machine may take long.
int ParallelBlockRows(int n, int parts, int64_t itemCost);
// Ranges to split a block into for parts threads: a few each, so that a thread the
// machine holds up leaves its share to the others.
inline int ParallelRanges(int n, int parts) { return parts <= 1 ? 1 : std::min(n, 4 * parts); }
// Runs fn(part, begin, end) for parts contiguous ranges covering [0, n), in parallel, and
// returns when all are done. Nested or concurrent calls run their ranges in turn.
void ParallelFor(int n, int parts, const std::function<void(int part, int begin, int end)>& fn);
// Tests and benchmarks: at most this many threads take part (1 = the caller alone; 0 = the default).
void SetParallelThreads(int threads);
int ParallelThreads();

}  // namespace vellicor
