#include "sim/batch/batch_states.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

#include "pool/pool.hpp"
#include "sim/fault.hpp"
#include "sim/messages.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

Result<AlignedArray<Amplitude>> batch_statevectors(const CompiledCircuit& circuit,
                                                   std::span<const float> batch, std::size_t rows) {
    if (circuit.num_qubits >= 32) return fail(msg::batch_too_large());
    const std::uint64_t dim = std::uint64_t{1} << circuit.num_qubits;
    const std::uint32_t cols = circuit.parameter_count;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (cols != 0 && rows > kMax / cols) return fail(msg::batch_too_large());
    if (rows != 0 && dim > std::numeric_limits<std::size_t>::max() / sizeof(Amplitude) / rows)
        return fail(msg::batch_too_large());
    const std::uint64_t expected = static_cast<std::uint64_t>(rows) * cols;
    if (cols != 0 && batch.size() != expected)
        return fail(msg::batch_length(batch.size(), expected, rows, cols));
    AlignedArray<Amplitude> out = allocate_or_explain(
        [&] { return AlignedArray<Amplitude>::uninitialized(rows * dim); },
        [&] { return msg::cannot_allocate_batch(rows, rows * dim * sizeof(Amplitude)); });
    if (rows == 0) return out;

    // The first failing row's error; other rows stop at their next check.
    std::mutex mutex;
    std::optional<Error> error;
    std::atomic<bool> stop{false};
    // The workers cannot run the stop check; they see the caller's stop
    // through the shared token, before each row and between its gates.
    StopToken token;
    StopTokenScope caller(token);
    pool::for_each_piece(rows, [&](std::size_t begin, std::size_t end) {
        StopTokenScope on_worker(token);
        if (stop.load(std::memory_order_relaxed) || stop_requested()) return;
        ExecutionContext context = ExecutionContext::create(circuit.num_qubits);
        for (std::size_t r = begin; r < end && !stop.load(std::memory_order_relaxed); ++r) {
            if (stop_requested()) return;
            auto state = run_statevector_with_context(
                circuit, cols == 0 ? std::span<const float>{} : batch.subspan(r * cols, cols),
                context);
            if (!state) {
                std::lock_guard lock(mutex);
                if (!error) error = std::move(state).error();
                stop.store(true, std::memory_order_relaxed);
                return;
            }
            const std::span<const Amplitude> amps = (*state)->amplitudes.span();
            std::copy(amps.begin(), amps.end(), out.span().begin() + static_cast<std::ptrdiff_t>(r * dim));
        }
    });
    if (error) return std::move(*error);
    if (stop_requested()) return stopped_error();
    return out;
}

}  // namespace vantelo::sim
