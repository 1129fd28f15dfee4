#pragma once
// The numerics' own worker threads, for loops over large arrays.
#include <cstddef>
#include <functional>

namespace veldra::engine::num {

// Runs fn(begin, end) on contiguous chunks that cover [0, n), each at least
// `grain` long (but the last), on up to `threads` threads: the caller takes
// the first chunk, pooled workers the others.  The workers are started on
// first use and kept.  Returns when every chunk is done and rethrows, on the
// caller, the first exception a chunk threw.  Loops shorter than two grains,
// one thread, or a call made while the pool is busy (a nested one) run on
// the calling thread alone.  fn must not call CallContext::checkInterrupt.
void parallelFor(unsigned threads, std::size_t n, std::size_t grain,
                 const std::function<void(std::size_t, std::size_t)>& fn);

}  // namespace veldra::engine::num
