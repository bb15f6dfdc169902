// Operations (dense unitaries on ordered target lists, optionally controlled)
// and gates (the items of a circuit). In an operation's matrix the first
// listed target is the most significant bit of the row and column index.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "sim/amplitude.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

using Qubit = std::uint32_t;

// An immutable matrix shared by every copy of the operation that holds it:
// copying a gate or a circuit never duplicates its matrices. Reads like a
// const std::vector<Amplitude>.
class SharedMatrix {
public:
    SharedMatrix() = default;
    SharedMatrix(std::vector<Amplitude> values)
        : values_(std::make_shared<const std::vector<Amplitude>>(std::move(values))) {}
    template <class It>
    SharedMatrix(It first, It last) : SharedMatrix(std::vector<Amplitude>(first, last)) {}

    const std::vector<Amplitude>& values() const { return values_ ? *values_ : empty(); }
    operator const std::vector<Amplitude>&() const { return values(); }
    std::size_t size() const { return values().size(); }
    const Amplitude* data() const { return values().data(); }
    const Amplitude& operator[](std::size_t i) const { return values()[i]; }
    auto begin() const { return values().begin(); }
    auto end() const { return values().end(); }
    // Writable storage for an owner that reuses one matrix as scratch: the
    // storage is copied first when another holder shares it, so no copy of
    // the matrix ever sees the change, and reused when it is this one's alone.
    std::vector<Amplitude>& edit() {
        if (!values_ || values_.use_count() != 1)
            values_ = std::make_shared<std::vector<Amplitude>>(values());
        // Created non-const just above or by the constructor.
        return const_cast<std::vector<Amplitude>&>(*values_);
    }
    // True when both hold the same storage (copies of one matrix).
    bool shares_storage_with(const SharedMatrix& other) const { return values_ == other.values_; }
    friend bool operator==(const SharedMatrix& a, const SharedMatrix& b) {
        return a.values() == b.values();
    }

private:
    static const std::vector<Amplitude>& empty() {
        static const std::vector<Amplitude> none;
        return none;
    }
    std::shared_ptr<const std::vector<Amplitude>> values_;
};

// A unitary on `targets`, applied only to the basis states where every
// control qubit is 1 (everywhere when there are no controls). Its effect is
// that of the dense matrix on controls ++ targets that is the identity except
// for its last 2^k × 2^k block, which is `matrix`; the controlled kernel
// computes the same values up to the sign of zero without building it.
struct Operation {
    std::vector<Qubit> targets;
    SharedMatrix matrix;           // 2^k × 2^k over the targets, row-major
    std::vector<Qubit> controls = {};  // distinct from each other and the targets

    // Checks, in order: targets present, no duplicates, fewer than 32
    // targets, 4^k entries, unitary within 1e-3.
    static Result<Operation> create(std::vector<Qubit> targets, std::vector<Amplitude> matrix);

    std::size_t num_targets() const { return targets.size(); }
};

struct Unitary {
    Operation op;
};
struct Measure {
    Qubit qubit;
};
struct Reset {
    Qubit qubit;
};
struct Barrier {};
struct Channel;  // sim/gates/channel.hpp
// A channel: shared, immutable once built (sim/noise/catalog.hpp builds it).
struct Noise {
    std::shared_ptr<const Channel> channel;
};

// Variants in this order: Unitary, Measure, Reset, Barrier, Noise.
using Gate = std::variant<Unitary, Measure, Reset, Barrier, Noise>;

// True when M·M† is the identity within 1e-3 entry by entry (NaN distances do
// not fail). dim = 0 is unitary.
bool is_unitary(std::span<const Amplitude> matrix, std::size_t dim);

// The test of is_unitary as the constructors run it: the same answer
// ("matrix must be unitary within tolerance 1e-3" for false). From
// kBlockedUnitaryDim up it runs blocked (sim/unitarity/unitarity.hpp): about
// dim³ / 2 products, tiles spread over the pool, with a stop poll every few
// milliseconds of work (stopped_error). The binding releases the lock for
// matrices from kParallelUnitaryDim up.
inline constexpr std::size_t kParallelUnitaryDim = 64;
Status check_unitary(std::span<const Amplitude> matrix, std::size_t dim);

// The first duplicated qubit of a list (by the first position that has a later
// equal entry), or nothing.
const Qubit* find_duplicate(std::span<const Qubit> qubits);

// U (2^t × 2^t) controlled by `controls`. Operations on at most
// kMaxExpandedQubits qubits in all are expanded to one dense operation on
// controls ++ targets (the small gates the dense kernels handle best); wider
// ones keep their controls and U. The checks, in order: controls present,
// targets present, fewer than 32 targets, 4^t entries, U unitary, fewer than
// 32 qubits in all, no duplicates in controls ++ targets.
inline constexpr std::size_t kMaxExpandedQubits = 3;
Result<Gate> make_controlled_unitary_gate(std::vector<Qubit> controls, std::vector<Qubit> targets,
                                          std::vector<Amplitude> matrix);

// The checks of Operation::create for an operation read back from storage.
// When the matrix is the identity outside a trailing 2^t × 2^t block (the form
// controlled gates expand to), the unitarity test runs on that block only:
// the verdict is the same, in O(8^t) instead of O(8^k).
Result<Operation> restore_operation(std::vector<Qubit> targets, std::vector<Amplitude> matrix);

// Wraps a built operation as a Unitary gate, or passes its error on.
Result<Gate> unitary_gate(Result<Operation> op);

// True for an uncontrolled Unitary with one target and a 2 × 2 matrix (the
// fusable kind).
bool is_single_qubit_unitary(const Gate& gate);

}  // namespace vantelo::sim
