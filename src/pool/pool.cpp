// Interim serial pool: every loop runs on the calling thread. The worker pool
// replaces this file.
#include "pool/pool.hpp"

#include <cstdlib>

namespace vantelo::pool {

std::optional<BuildError> build_global(std::size_t) { return std::nullopt; }
std::size_t current_num_threads() { return 1; }
std::size_t default_num_threads() { return 1; }
std::optional<std::uint32_t> parse_thread_count(const char*) { return std::nullopt; }
bool on_worker_thread() { return false; }

void for_each_piece(std::size_t count, FunctionRef<void(std::size_t, std::size_t)> body) {
    if (count != 0) body(0, count);
}

}  // namespace vantelo::pool
