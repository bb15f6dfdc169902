// How a circuit computes, chosen by its user when it is built or compiled.
// The defaults are the specified single-precision arithmetic; every other
// choice is deterministic and identical for every pool size, but its values
// differ from the defaults' by rounding (docs/numerics.md gives the measured
// error of each).
#pragma once

#include <cstdint>

namespace vantelo::sim {

// Float32: the specified serial single-precision sums. Float64: expectation
// values, the adjoint method's inner products, parameter-shift differences
// and measurement probabilities accumulated in double precision, in fixed
// blocks combined in a fixed order, each taken relative to the norm of the
// state it is summed over (rounded gates let the norm drift coherently);
// results are still returned in single precision.
enum class SumPrecision : std::uint8_t { Float32 = 0, Float64 = 1 };

struct Numerics {
    SumPrecision sums = SumPrecision::Float32;
    // 0: the specified fusion of one-qubit runs. 2 to 5: stretches of fixed
    // gates fused into dense blocks of at most this many qubits
    // (block_fusion.hpp).
    std::uint8_t fusion = 0;

    bool wide_sums() const { return sums == SumPrecision::Float64; }
    friend bool operator==(const Numerics&, const Numerics&) = default;
};

}  // namespace vantelo::sim
