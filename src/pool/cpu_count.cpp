#include "pool/cpu_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>

namespace vantelo::pool::detail {

std::size_t available_cpus() {
    std::size_t count = 0;
    cpu_set_t set;  // 1024 CPUs
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) count = static_cast<std::size_t>(CPU_COUNT(&set));
    if (count == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online > 0) count = static_cast<std::size_t>(online);
    }
    if (count == 0) return 1;
    if (const auto limit = own_cgroup_cpu_limit()) count = std::min(count, *limit);
    return count;
}

}  // namespace vantelo::pool::detail
