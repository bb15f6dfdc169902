// The number of CPUs this process may use, for the default pool size.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vantelo::pool::detail {

// The CPU limit of the control group named in `proc_cgroup` (the text of
// /proc/self/cgroup), whose hierarchy is mounted as listed in `mountinfo`
// (the text of /proc/self/mountinfo): quota / period rounded down, at least
// 1, the smallest along the path up to the mount. Empty when no numeric
// quota is set.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup, std::string_view mountinfo);

// The limit of this process's own control group.
std::optional<std::size_t> own_cgroup_cpu_limit();

// min(CPUs in the affinity mask, or else the online processors; the cgroup
// limit); 1 when neither CPU query yields a number.
std::size_t available_cpus();

}  // namespace vantelo::pool::detail
