#include "sim/exec/remap.hpp"

#include <algorithm>

#include "pool/pool.hpp"

namespace vantelo::sim {

namespace {

// Amplitudes visited by one item of the pool's loop in a permutation pass.
constexpr std::size_t kPermuteItem = std::size_t{1} << 15;

}  // namespace

QubitMap QubitMap::identity(std::uint32_t n) {
    QubitMap map;
    map.physical.resize(n);
    for (Qubit q = 0; q < n; ++q) map.physical[q] = q;
    map.logical = map.physical;
    return map;
}

bool QubitMap::is_identity() const {
    for (Qubit q = 0; q < physical.size(); ++q)
        if (physical[q] != q) return false;
    return true;
}

void QubitMap::apply(std::span<const QubitSwap> swaps) {
    for (const QubitSwap& s : swaps) {
        const Qubit la = logical[s.a];
        const Qubit lb = logical[s.b];
        physical[la] = s.b;
        physical[lb] = s.a;
        logical[s.a] = lb;
        logical[s.b] = la;
    }
}

void permute_qubits(Amplitude* a, std::uint32_t num_qubits, std::span<const QubitSwap> swaps) {
    if (swaps.empty()) return;
    // Bits below the lowest swapped position travel together: the pass
    // exchanges runs of 2^low contiguous amplitudes.
    Qubit low = num_qubits;
    for (const QubitSwap& s : swaps) low = std::min({low, s.a, s.b});
    const std::size_t run = std::size_t{1} << low;
    const std::size_t units = std::size_t{1} << (num_qubits - low);
    const std::size_t per_item = std::max<std::size_t>(1, kPermuteItem >> low);
    std::vector<QubitSwap> shifted(swaps.begin(), swaps.end());
    for (QubitSwap& s : shifted) {
        s.a -= low;
        s.b -= low;
    }
    auto partner = [&](std::size_t u) {
        for (const QubitSwap& s : shifted) {
            const std::size_t differ = ((u >> s.a) ^ (u >> s.b)) & 1u;
            u ^= (differ << s.a) | (differ << s.b);
        }
        return u;
    };
    pool::for_each_piece((units + per_item - 1) / per_item, [&](std::size_t b, std::size_t e) {
        const std::size_t last = std::min(e * per_item, units);
        for (std::size_t u = b * per_item; u < last; ++u) {
            const std::size_t v = partner(u);
            if (v <= u) continue;
            Amplitude* x = a + (u << low);
            std::swap_ranges(x, x + run, a + (v << low));
        }
    });
}

std::vector<std::vector<QubitSwap>> restoring_swaps(const QubitMap& map) {
    const auto n = static_cast<Qubit>(map.logical.size());
    std::vector<QubitSwap> first;
    std::vector<QubitSwap> second;
    std::vector<bool> seen(n, false);
    std::vector<Qubit> cycle;
    // The contents at position p belong at position logical[p].
    for (Qubit start = 0; start < n; ++start) {
        if (seen[start]) continue;
        cycle.clear();
        for (Qubit p = start; !seen[p]; p = map.logical[p]) {
            seen[p] = true;
            cycle.push_back(p);
        }
        const std::size_t len = cycle.size();
        if (len == 2) first.push_back({cycle[0], cycle[1]});
        if (len <= 2) continue;
        for (std::size_t i = 1; i < len - i; ++i) first.push_back({cycle[i], cycle[len - i]});
        for (std::size_t i = 0; i < len; ++i) {
            const std::size_t k = (len + 1 - i) % len;
            if (i < k) second.push_back({cycle[i], cycle[k]});
        }
    }
    std::vector<std::vector<QubitSwap>> passes;
    if (!first.empty()) passes.push_back(std::move(first));
    if (!second.empty()) passes.push_back(std::move(second));
    return passes;
}

}  // namespace vantelo::sim
