// The default pool size, taken from the environment and the machine.
#include <algorithm>
#include <cstdlib>

#include "pool/cpu_count.hpp"
#include "pool/pool.hpp"

namespace vantelo::pool {

std::optional<std::uint32_t> parse_thread_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(*text - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::size_t default_num_threads() {
    std::size_t size = 0;
    // RAYON_NUM_THREADS=0 asks for the available CPUs and overrides the
    // second variable; an unparsable value falls through to it.
    if (const auto threads = parse_thread_count(std::getenv("RAYON_NUM_THREADS")))
        size = *threads;
    else if (const auto cpus = parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS")))
        size = *cpus;
    if (size == 0) size = detail::available_cpus();
    return std::min(size, kMaxThreads);
}

}  // namespace vantelo::pool
