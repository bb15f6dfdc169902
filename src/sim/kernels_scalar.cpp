#include <vector>

#include "pool/pool.hpp"
#include "sim/kernels.hpp"

namespace vantelo::sim {

void apply_single_qubit_chunks_scalar(Amplitude* a, Qubit q, const Matrix2& m,
                                      std::size_t chunk_begin, std::size_t chunk_end) {
    const std::size_t half = std::size_t{1} << q;
    for (std::size_t c = chunk_begin; c < chunk_end; ++c) {
        Amplitude* lo = a + (c << (q + 1));
        Amplitude* hi = lo + half;
        for (std::size_t j = 0; j < half; ++j) {
            const Amplitude x0 = lo[j];
            const Amplitude x1 = hi[j];
            lo[j] = cadd(cmul(x0, m[0]), cmul(x1, m[1]));
            hi[j] = cadd(cmul(x0, m[2]), cmul(x1, m[3]));
        }
    }
}

void apply_single_qubit_kernel(Amplitude* a, std::uint32_t num_qubits, Qubit q, const Matrix2& m) {
    const std::size_t len = std::size_t{1} << num_qubits;
    pool::for_each_chunk_range(len, std::size_t{2} << q, [&](std::size_t b, std::size_t e) {
        apply_single_qubit_chunks_scalar(a, q, m, b, e);
    });
}

void apply_general(Amplitude* a, std::uint32_t num_qubits, const Operation& op) {
    const std::size_t len = std::size_t{1} << num_qubits;
    const std::size_t k = op.targets.size();
    const std::size_t dim = std::size_t{1} << k;
    std::vector<Amplitude> input(a, a + len);
    std::size_t target_mask = 0;
    for (Qubit t : op.targets) target_mask |= std::size_t{1} << t;
    pool::for_each_piece(len, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            std::size_t row = 0;
            for (std::size_t j = 0; j < k; ++j)
                row |= ((i >> op.targets[j]) & 1u) << (k - 1 - j);
            const std::size_t base = i & ~target_mask;
            Amplitude acc{0.0f, 0.0f};
            for (std::size_t col = 0; col < dim; ++col) {
                std::size_t idx = base;
                for (std::size_t j = 0; j < k; ++j)
                    if ((col >> (k - 1 - j)) & 1u) idx |= std::size_t{1} << op.targets[j];
                acc = cadd(acc, cmul(op.matrix[row * dim + col], input[idx]));
            }
            a[i] = acc;
        }
    });
}

}  // namespace vantelo::sim
