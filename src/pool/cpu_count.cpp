#include "pool/cpu_count.hpp"

#include <algorithm>

#include "platform/platform.hpp"

namespace vantelo::pool::detail {

std::size_t available_cpus() {
    std::size_t count = platform::affinity_cpu_count();
    if (count == 0) count = platform::online_cpu_count();
    if (count == 0) return 1;
    if (const auto limit = own_cgroup_cpu_limit()) count = std::min(count, *limit);
    return count;
}

}  // namespace vantelo::pool::detail
