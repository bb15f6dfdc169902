#include "sim/gates/block_fusion.hpp"

#include <algorithm>
#include <complex>
#include <cstdint>

namespace vantelo::sim {

namespace {

using Complex = std::complex<double>;

// A block: its qubits in increasing order (bit j of a block index is qubit
// qubits[j]), the product of its gates over them, its gates, and the cost of
// running those gates one by one.
struct Block {
    std::vector<Qubit> qubits;
    std::vector<Complex> matrix;  // 2^m × 2^m, row-major
    std::vector<const Gate*> members;
    double separate_cost = 0.0;
};

std::vector<Qubit> qubits_of(const Operation& op) {
    std::vector<Qubit> q(op.targets.begin(), op.targets.end());
    q.insert(q.end(), op.controls.begin(), op.controls.end());
    std::sort(q.begin(), q.end());
    return q;
}

std::size_t position(const std::vector<Qubit>& qubits, Qubit q) {
    return static_cast<std::size_t>(std::lower_bound(qubits.begin(), qubits.end(), q) - qubits.begin());
}

// The operation (matrix over `targets`, first target the most significant
// bit, applied where every control is 1) on the block's qubits.
std::vector<Complex> embed(const std::vector<Qubit>& qubits, std::span<const Qubit> targets,
                           std::span<const Qubit> controls, auto entry) {
    const std::size_t dim = std::size_t{1} << qubits.size();
    const std::size_t t = targets.size();
    std::vector<std::size_t> target_bit(t);
    for (std::size_t j = 0; j < t; ++j) target_bit[j] = std::size_t{1} << position(qubits, targets[j]);
    std::size_t control_mask = 0;
    for (Qubit c : controls) control_mask |= std::size_t{1} << position(qubits, c);
    std::size_t target_mask = 0;
    for (std::size_t b : target_bit) target_mask |= b;
    std::vector<Complex> out(dim * dim, Complex{0.0, 0.0});
    for (std::size_t col = 0; col < dim; ++col) {
        if ((col & control_mask) != control_mask) {
            out[col * dim + col] = 1.0;
            continue;
        }
        std::size_t in = 0;
        for (std::size_t j = 0; j < t; ++j)
            if (col & target_bit[j]) in |= std::size_t{1} << (t - 1 - j);
        for (std::size_t o = 0; o < (std::size_t{1} << t); ++o) {
            std::size_t row = col & ~target_mask;
            for (std::size_t j = 0; j < t; ++j)
                if (o & (std::size_t{1} << (t - 1 - j))) row |= target_bit[j];
            out[row * dim + col] = entry(o, in);
        }
    }
    return out;
}

std::vector<Complex> embed_op(const std::vector<Qubit>& qubits, const Operation& op) {
    const std::size_t T = std::size_t{1} << op.targets.size();
    return embed(qubits, op.targets, op.controls, [&](std::size_t r, std::size_t c) {
        const Amplitude a = op.matrix[r * T + c];
        return Complex{a.re, a.im};
    });
}

// The block's product re-expressed over a wider set of qubits.
std::vector<Complex> widen(const Block& b, const std::vector<Qubit>& qubits) {
    std::vector<Qubit> targets(b.qubits.rbegin(), b.qubits.rend());  // highest qubit = top bit
    const std::size_t D = std::size_t{1} << b.qubits.size();
    return embed(qubits, targets, {}, [&](std::size_t r, std::size_t c) { return b.matrix[r * D + c]; });
}

std::vector<Complex> multiply(const std::vector<Complex>& a, const std::vector<Complex>& b, std::size_t dim) {
    std::vector<Complex> out(dim * dim, Complex{0.0, 0.0});
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t k = 0; k < dim; ++k) {
            const Complex x = a[r * dim + k];
            if (x == Complex{0.0, 0.0}) continue;
            for (std::size_t c = 0; c < dim; ++c) out[r * dim + c] += x * b[k * dim + c];
        }
    return out;
}

bool monomial(const std::vector<Complex>& m, std::size_t dim) {
    for (std::size_t c = 0; c < dim; ++c) {
        int nonzero = 0;
        for (std::size_t r = 0; r < dim; ++r) nonzero += m[r * dim + c] != Complex{0.0, 0.0};
        if (nonzero > 1) return false;
    }
    return true;
}

double dense_cost(const std::vector<Complex>& m, std::size_t num_qubits) {
    const std::size_t dim = std::size_t{1} << num_qubits;
    return 2.0 + (monomial(m, dim) ? 1.0 : double(dim));
}

double gate_cost(const Operation& op) {
    const std::size_t T = std::size_t{1} << op.targets.size();
    bool mono = op.controls.empty();
    for (std::size_t c = 0; mono && c < T; ++c) {
        int nonzero = 0;
        for (std::size_t r = 0; r < T; ++r) {
            const Amplitude a = op.matrix[r * T + c];
            nonzero += !(a.re == 0.0f && a.im == 0.0f);
        }
        mono = nonzero <= 1;
    }
    return 2.0 + (mono ? 1.0 : double(T));
}

void emit(Block& b, std::vector<Gate>& out) {
    if (b.members.empty()) return;
    const std::size_t m = b.qubits.size();
    const std::size_t dim = std::size_t{1} << m;
    if (b.members.size() > 1 && dense_cost(b.matrix, m) < b.separate_cost) {
        std::vector<Amplitude> matrix(dim * dim);
        for (std::size_t i = 0; i < matrix.size(); ++i)
            matrix[i] = Amplitude{static_cast<float>(b.matrix[i].real()), static_cast<float>(b.matrix[i].imag())};
        Result<Operation> fused = Operation::create(std::vector<Qubit>(b.qubits.rbegin(), b.qubits.rend()),
                                                    std::move(matrix));
        if (fused) {
            out.push_back(Unitary{std::move(fused).value()});
            b = Block{};
            return;
        }
        // A product of matrices that were only barely unitary can fail the
        // check; the gates then stay as they were.
    }
    for (const Gate* g : b.members) out.push_back(*g);
    b = Block{};
}

}  // namespace

std::vector<Gate> fuse_blocks(std::span<const Gate> gates, unsigned max_qubits) {
    std::vector<Gate> out;
    out.reserve(gates.size());
    Block block;
    for (const Gate& gate : gates) {
        const auto* u = std::get_if<Unitary>(&gate);
        if (u == nullptr) {
            emit(block, out);
            out.push_back(gate);
            continue;
        }
        const std::vector<Qubit> own = qubits_of(u->op);
        if (own.size() > max_qubits) {
            emit(block, out);
            out.push_back(gate);
            continue;
        }
        const double cost = gate_cost(u->op);
        if (!block.members.empty()) {
            std::vector<Qubit> joint;
            std::set_union(block.qubits.begin(), block.qubits.end(), own.begin(), own.end(),
                           std::back_inserter(joint));
            if (joint.size() <= max_qubits) {
                const std::size_t dim = std::size_t{1} << joint.size();
                std::vector<Complex> product = multiply(embed_op(joint, u->op), widen(block, joint), dim);
                const double current = std::min(block.members.size() > 1
                                                    ? dense_cost(block.matrix, block.qubits.size())
                                                    : block.separate_cost,
                                                block.separate_cost);
                if (dense_cost(product, joint.size()) <= current + cost) {
                    block.qubits = std::move(joint);
                    block.matrix = std::move(product);
                    block.members.push_back(&gate);
                    block.separate_cost += cost;
                    continue;
                }
            }
            emit(block, out);
        }
        block.qubits = own;
        block.matrix = embed_op(own, u->op);
        block.members = {&gate};
        block.separate_cost = cost;
    }
    emit(block, out);
    return out;
}

}  // namespace vantelo::sim
