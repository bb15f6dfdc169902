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

// Cost per amplitude of one operation inside a cache block, about in
// cycles, as measured on the executor (one thread, n = 16 and 20): the
// fused dense kernels by width (index m), and the exact kernels of what
// stays unfused (one-qubit gates mostly take the light kernels). The dense
// costs carry a margin over the measured 1.0, 2.3, 4.2 and 8.0
// (bench/blocks_bench.cpp --kernels 1), so a block replaces its gates only
// when it clearly beats them. Three targets cost more than twice two, so two
// 2-qubit blocks on overlapping pairs stay apart (2.0 against 2.3); their
// charges keep that order (3.0 against 3.4). A monomial
// matrix (one entry per column: diagonal gates, permutations with phases)
// takes the exact monomial kernels at any width up to 3; wider ones run
// dense.
constexpr double kDenseCost[kMaxFusionQubits + 1] = {0.0, 0.25, 1.5, 3.4, 5.5, 10.5};
constexpr double kMonomialCost = 0.2;

double matrix_cost(const std::vector<Complex>& m, std::size_t num_qubits) {
    const std::size_t dim = std::size_t{1} << num_qubits;
    return num_qubits <= 3 && monomial(m, dim) ? kMonomialCost : kDenseCost[num_qubits];
}

double gate_cost(const Operation& op) {
    const std::vector<Qubit> qubits = qubits_of(op);
    return matrix_cost(embed_op(qubits, op), qubits.size());
}

// The block's cost as emit runs it: one dense operation or its gates.
double block_cost(const Block& b) {
    return b.members.size() > 1 ? std::min(matrix_cost(b.matrix, b.qubits.size()), b.separate_cost)
                                : b.separate_cost;
}

void emit(Block& b, std::vector<Gate>& out, bool kraus) {
    if (b.members.empty()) return;
    const std::size_t m = b.qubits.size();
    const std::size_t dim = std::size_t{1} << m;
    if (b.members.size() > 1 && matrix_cost(b.matrix, m) < b.separate_cost) {
        std::vector<Amplitude> matrix(dim * dim);
        for (std::size_t i = 0; i < matrix.size(); ++i)
            matrix[i] = Amplitude{static_cast<float>(b.matrix[i].real()), static_cast<float>(b.matrix[i].imag())};
        std::vector<Qubit> targets(b.qubits.rbegin(), b.qubits.rend());
        if (kraus) {
            // The qubits are distinct and the matrix has 4^m entries by
            // construction; unitarity is not asked of a Kraus product.
            out.push_back(Unitary{Operation{std::move(targets), std::move(matrix)}});
            b = Block{};
            return;
        }
        Result<Operation> fused = Operation::create(std::move(targets), std::move(matrix));
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

bool overlaps(const std::vector<Qubit>& a, const std::vector<Qubit>& b) {
    for (Qubit q : a)
        if (std::binary_search(b.begin(), b.end(), q)) return true;
    return false;
}

// Blocks on disjoint qubits as one block over their union (their product
// commutes, so the order of the factors does not matter).
Block combine(std::vector<Block*> parts) {
    Block out = std::move(*parts[0]);
    for (std::size_t i = 1; i < parts.size(); ++i) {
        Block& b = *parts[i];
        std::vector<Qubit> joint;
        std::set_union(out.qubits.begin(), out.qubits.end(), b.qubits.begin(), b.qubits.end(),
                       std::back_inserter(joint));
        const std::size_t dim = std::size_t{1} << joint.size();
        out.matrix = multiply(widen(b, joint), widen(out, joint), dim);
        out.qubits = std::move(joint);
        out.members.insert(out.members.end(), b.members.begin(), b.members.end());
        out.separate_cost += b.separate_cost;
    }
    return out;
}

}  // namespace

std::vector<Gate> fuse_blocks(std::span<const Gate> gates, unsigned max_qubits, bool kraus) {
    std::vector<Gate> out;
    out.reserve(gates.size());
    // Open blocks act on disjoint qubits, so their gates commute with one
    // another. A gate touching some of them either joins all of those (when
    // the union fits and the product costs no more than they and it apart)
    // or closes them and opens a block of its own. A closed block goes out
    // before any later gate on its qubits, so every qubit sees its gates in
    // their order.
    std::vector<Block> open;
    auto close_all = [&] {
        for (Block& b : open) emit(b, out, kraus);
        open.clear();
    };
    for (const Gate& gate : gates) {
        const auto* u = std::get_if<Unitary>(&gate);
        const std::vector<Qubit> own = u != nullptr ? qubits_of(u->op) : std::vector<Qubit>{};
        if (u == nullptr || own.size() > max_qubits) {
            close_all();
            out.push_back(gate);
            continue;
        }
        std::vector<std::size_t> touched;
        std::vector<Qubit> joint = own;
        double apart = gate_cost(u->op);
        for (std::size_t i = 0; i < open.size(); ++i) {
            if (!overlaps(open[i].qubits, own)) continue;
            touched.push_back(i);
            std::vector<Qubit> wider;
            std::set_union(joint.begin(), joint.end(), open[i].qubits.begin(), open[i].qubits.end(),
                           std::back_inserter(wider));
            joint = std::move(wider);
            apart += block_cost(open[i]);
        }
        Block next;
        next.qubits = own;
        next.matrix = embed_op(own, u->op);
        next.members = {&gate};
        next.separate_cost = gate_cost(u->op);
        if (!touched.empty() && joint.size() <= max_qubits) {
            std::vector<Block*> parts;
            for (std::size_t i : touched) parts.push_back(&open[i]);
            std::vector<Block> saved;
            for (Block* p : parts) saved.push_back(*p);
            Block merged = combine(parts);
            const std::size_t dim = std::size_t{1} << joint.size();
            std::vector<Complex> product = multiply(embed_op(joint, u->op), widen(merged, joint), dim);
            // Blocks of up to two qubits keep gathering gates even before
            // their product pays: a pair's dense cost stays the same however
            // many gates it absorbs, and emit keeps the gates apart unless
            // the product is cheaper.
            if (joint.size() <= 2 || matrix_cost(product, joint.size()) <= apart) {
                merged.qubits = joint;
                merged.matrix = std::move(product);
                merged.members.push_back(&gate);
                merged.separate_cost += next.separate_cost;
                next = std::move(merged);
                // Their gates now belong to next.
                for (std::size_t i : touched) open[i] = Block{};
            } else {
                for (std::size_t j = 0; j < touched.size(); ++j) open[touched[j]] = std::move(saved[j]);
            }
        }
        // Whatever the gate did not join is closed; the rest stays open.
        std::vector<Block> kept;
        for (std::size_t i = 0; i < open.size(); ++i) {
            if (std::find(touched.begin(), touched.end(), i) == touched.end()) kept.push_back(std::move(open[i]));
            else emit(open[i], out, kraus);
        }
        open = std::move(kept);
        open.push_back(std::move(next));
    }
    close_all();
    return out;
}

}  // namespace vantelo::sim
