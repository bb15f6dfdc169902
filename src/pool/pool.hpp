// The process-wide worker pool on which every data-parallel loop runs.
//
// Loops divide [0, count) into pieces by an adaptive split budget: the root
// budget is the worker count W; a piece still on the worker that made it
// halves the budget on each split and stops splitting at 0, a piece that
// another worker took over resets it to max(budget / 2, W). An unsplit piece
// runs its items in increasing order on one thread. A loop of fewer than two
// items runs on the calling thread. Loops started from a worker (nested
// loops) run on that worker; loops started elsewhere are handed to the pool
// and the caller blocks until they finish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "pool/function_ref.hpp"

namespace vantelo::pool {

inline constexpr std::size_t kMaxThreads = 255;

enum class BuildErrorKind { GlobalPoolAlreadyInitialized, IOError };

struct BuildError {
    BuildErrorKind kind;
    std::string text;  // display text
};

// Creates the pool with min(num_threads, 255) workers (num_threads ≥ 1) and
// waits until every worker has started. Fails when creation was already
// attempted, by this function or by any earlier loop.
std::optional<BuildError> build_global(std::size_t num_threads);

// The worker count W, creating the pool with the default size if creation
// was never attempted. Where no pool exists (creation failed, or this is a
// child process after fork) loops run on the calling thread and this is 1.
std::size_t current_num_threads();

// The default size: RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, then the available
// CPUs (cgroup quota, affinity mask, online processors), capped at 255.
std::size_t default_num_threads();

// Parses an unsigned decimal thread count: optional leading '+', then digits
// only, fitting in 32 bits.
std::optional<std::uint32_t> parse_thread_count(const char* text);

// True on a worker thread of the pool.
bool on_worker_thread();

// Calls body(begin, end) once for every piece of [0, count) and returns when
// all pieces are done. Bodies must touch disjoint data. An exception thrown by
// a body is rethrown here once the loop has finished (the first one caught).
void for_each_piece(std::size_t count, FunctionRef<void(std::size_t, std::size_t)> body);

// While one of these lives, loops started on the constructing thread run on
// that thread in one piece, without the pool. A caller that already divided
// the work (blocks of a state) uses it so the kernels inside each block do
// not split and hand off again. Scopes nest.
class InlineLoops {
public:
    InlineLoops() noexcept;
    ~InlineLoops();
    InlineLoops(const InlineLoops&) = delete;
    InlineLoops& operator=(const InlineLoops&) = delete;
};

// Chunk loop: items are the consecutive chunks of chunk_len elements of an
// array of length len (the last may be shorter). body(first_chunk, end_chunk)
// receives chunk indices.
inline void for_each_chunk_range(std::size_t len, std::size_t chunk_len,
                                 FunctionRef<void(std::size_t, std::size_t)> body) {
    for_each_piece((len + chunk_len - 1) / chunk_len, body);
}

}  // namespace vantelo::pool
