#include "sim/gates/fusion.hpp"

#include "sim/amplitude.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {

namespace {

// b · a for row-major 2 × 2 matrices; every entry reads the old a.
Matrix2 multiply(const Matrix2& b, const Matrix2& a) {
    return {cadd(cmul(b[0], a[0]), cmul(b[1], a[2])), cadd(cmul(b[0], a[1]), cmul(b[1], a[3])),
            cadd(cmul(b[2], a[0]), cmul(b[3], a[2])), cadd(cmul(b[2], a[1]), cmul(b[3], a[3]))};
}

const Operation& op_of(const Gate& g) {
    return std::get<Unitary>(g).op;
}

Matrix2 matrix_of(const Gate& g) {
    const auto& m = op_of(g).matrix;
    return {m[0], m[1], m[2], m[3]};
}

}  // namespace

std::vector<Gate> fuse_gates(std::span<const Gate> gates) {
    std::vector<Gate> out;
    out.reserve(gates.size());
    std::size_t i = 0;
    while (i < gates.size()) {
        if (!is_single_qubit_unitary(gates[i])) {
            // Measure, Reset, Barrier and wider operations end a run and keep
            // their place.
            out.push_back(gates[i]);
            ++i;
            continue;
        }
        const Qubit q = op_of(gates[i]).targets[0];
        Matrix2 acc = matrix_of(gates[i]);
        std::size_t j = i + 1;
        while (j < gates.size() && is_single_qubit_unitary(gates[j]) &&
               op_of(gates[j]).targets[0] == q) {
            acc = multiply(matrix_of(gates[j]), acc);
            ++j;
        }
        // Rounding over a long run of barely unitary matrices can drift past
        // the tolerance; the run then stays as it was rather than fail.
        Result<Operation> fused = Operation::create({q}, to_vector(acc));
        if (fused) {
            out.push_back(Unitary{std::move(fused).value()});
        } else {
            for (std::size_t k = i; k < j; ++k) out.push_back(gates[k]);
        }
        i = j;
    }
    return out;
}

}  // namespace vantelo::sim
