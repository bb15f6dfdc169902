// Reading the CPU quota of this process's control group. Version 1 keeps it
// in cpu.cfs_quota_us / cpu.cfs_period_us of the hierarchy that carries the
// "cpu" controller, version 2 in cpu.max ("max" or "<quota> <period>").
#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "pool/cpu_count.hpp"

namespace vantelo::pool::detail {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

std::optional<std::size_t> parse_unsigned(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

std::string_view trim(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

// Mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_octal(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() &&
            std::all_of(text.begin() + i + 1, text.begin() + i + 4, [](char c) { return c >= '0' && c <= '7'; })) {
            out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

enum class Version { V1, V2 };

struct Group {
    Version version;
    std::string path;  // inside the hierarchy, starting with '/'
};

// A v1 line listing the cpu controller wins over the v2 line: on hybrid
// systems the v2 hierarchy carries no cpu controller.
std::optional<Group> find_group(std::string_view proc_cgroup) {
    std::optional<Group> found;
    for (std::string_view line : split(proc_cgroup, '\n')) {
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (controllers.empty()) {
            if (!found) found = Group{Version::V2, std::string(path)};
        } else {
            const auto names = split(controllers, ',');
            if (std::find(names.begin(), names.end(), "cpu") != names.end()) return Group{Version::V1, std::string(path)};
        }
    }
    return found;
}

// The directory of `group` under its mount point, or empty when no mount of
// its hierarchy covers it.
std::optional<std::pair<std::string, std::string>> locate(const Group& group, std::string_view mountinfo) {
    for (std::string_view line : split(mountinfo, '\n')) {
        const auto fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string_view fstype = dash[1];
        if (group.version == Version::V2) {
            if (fstype != "cgroup2") continue;
        } else {
            const auto options = split(dash[3], ',');
            if (fstype != "cgroup" || std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
        }
        const std::string root = unescape_octal(fields[3]);
        std::string mount = unescape_octal(fields[4]);
        if (mount.empty() || mount.front() != '/') continue;
        std::string_view rest = group.path;
        if (root != "/") {
            if (rest.substr(0, root.size()) != root) continue;
            rest.remove_prefix(root.size());
            if (!rest.empty() && rest.front() != '/') continue;
        }
        while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
        while (mount.size() > 1 && mount.back() == '/') mount.pop_back();
        std::string dir = mount == "/" ? std::string(rest.empty() ? "/" : rest) : mount + std::string(rest);
        return std::pair{std::move(mount), std::move(dir)};
    }
    return std::nullopt;
}

std::optional<std::size_t> limit_in(Version version, const std::string& dir) {
    std::optional<std::size_t> quota;
    std::optional<std::size_t> period;
    if (version == Version::V2) {
        const auto text = platform::read_small_file(dir + "/cpu.max");
        if (!text) return std::nullopt;
        const auto fields = split(trim(split(*text, '\n')[0]), ' ');
        if (fields.size() < 2) return std::nullopt;
        quota = parse_unsigned(fields[0]);
        period = parse_unsigned(fields[1]);
    } else {
        const auto quota_text = platform::read_small_file(dir + "/cpu.cfs_quota_us");
        const auto period_text = platform::read_small_file(dir + "/cpu.cfs_period_us");
        if (!quota_text || !period_text) return std::nullopt;
        quota = parse_unsigned(trim(*quota_text));  // -1 means no quota
        period = parse_unsigned(trim(*period_text));
    }
    if (!quota || !period || *period == 0) return std::nullopt;
    return std::max<std::size_t>(*quota / *period, 1);
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_cgroup, std::string_view mountinfo) {
    const auto group = find_group(proc_cgroup);
    if (!group) return std::nullopt;
    const auto place = locate(*group, mountinfo);
    if (!place) return std::nullopt;
    const auto& [mount, start] = *place;
    // A parent's quota caps its children too: take the smallest on the way
    // up to the mount point.
    std::optional<std::size_t> limit;
    std::string dir = start;
    for (;;) {
        if (const auto here = limit_in(group->version, dir)) limit = limit ? std::min(*limit, *here) : *here;
        if (dir.size() <= mount.size()) break;
        dir.resize(dir.rfind('/') == 0 ? 1 : dir.rfind('/'));
    }
    return limit;
}

std::optional<std::size_t> own_cgroup_cpu_limit() {
    const auto proc_cgroup = platform::read_small_file("/proc/self/cgroup");
    if (!proc_cgroup) return std::nullopt;
    const auto mountinfo = platform::read_small_file("/proc/self/mountinfo");
    if (!mountinfo) return std::nullopt;
    return cgroup_cpu_limit(*proc_cgroup, *mountinfo);
}

}  // namespace vantelo::pool::detail
