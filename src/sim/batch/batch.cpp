#include "sim/batch/batch.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

#include "pool/pool.hpp"
#include "sim/grad/adjoint.hpp"
#include "sim/grad/gradient.hpp"
#include "sim/fault.hpp"
#include "sim/messages.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

namespace {

// The first error of a batch loop and the flag that stops further rows. A
// failing row never waits for the lock: when another failing row holds it,
// or an error is already stored, its own error is dropped.
class ErrorSlot {
public:
    void record(Error error) {
        if (mutex_.try_lock()) {
            if (!error_) error_ = std::move(error);
            mutex_.unlock();
        }
        stop_.store(true, std::memory_order_relaxed);
    }
    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    // Only after the loop has finished.
    std::optional<Error> take() { return std::move(error_); }

private:
    std::mutex mutex_;
    std::optional<Error> error_;
    std::atomic<bool> stop_{false};
};

// Runs row_fn(context, row) for every row on the pool. Each piece creates its
// context (and whatever else make_piece returns) when it starts; it stops at
// its first failing row or once any piece has failed. The pieces share the
// caller's stop token, so a stop the caller sees ends the rows on the workers.
template <class PieceState, class MakePiece, class RowFn>
Status for_each_row(std::size_t rows, MakePiece make_piece, RowFn row_fn) {
    ErrorSlot slot;
    StopToken token;
    StopTokenScope caller(token);
    pool::for_each_piece(rows, [&](std::size_t begin, std::size_t end) {
        StopTokenScope on_worker(token);
        if (slot.stopped()) return;
        if (stop_requested()) return slot.record(stopped_error());
        PieceState piece = make_piece();
        for (std::size_t r = begin; r < end; ++r) {
            if (Status status = row_fn(piece, r); !status) {
                slot.record(std::move(status).error());
                return;
            }
            if (slot.stopped()) return;
        }
    });
    if (std::optional<Error> error = slot.take()) return std::move(*error);
    if (stop_requested()) return stopped_error();
    return {};
}

// The tests shared by both operations after the observable's range, for
// rows > 0 and parameter_count > 0.
Status check_batch_shape(std::span<const float> batch, std::size_t rows, std::uint32_t cols) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (rows > kMax / cols) return fail(msg::batch_too_large());
    const std::uint64_t expected = static_cast<std::uint64_t>(rows) * cols;
    if (batch.size() != expected) return fail(msg::batch_length(batch.size(), expected, rows, cols));
    return {};
}

// Row r of the batch; the empty vector when the plan has no parameters (the
// batch's length is not examined then).
std::span<const float> row_of(std::span<const float> batch, std::size_t r, std::uint32_t cols) {
    return cols == 0 ? std::span<const float>{} : batch.subspan(r * cols, cols);
}

struct ExpectationPiece {
    ExecutionContext context;
};

struct GradientPiece {
    ExecutionContext context;
    GradientScratch scratch;
};

struct AdjointPiece {
    ExecutionContext context;
    AdjointScratch scratch;
};

// Rows of value and gradient by row_fn(piece, row, value, gradient), after
// the checks every gradient batch shares.
template <class Piece, class RowFn>
Result<BatchValuesAndGradients> values_and_gradients(const CompiledCircuit& circuit,
                                                     std::span<const float> batch,
                                                     std::size_t rows, const Observable& observable,
                                                     RowFn row_fn) {
    BatchValuesAndGradients out;
    if (rows == 0) return out;
    const std::uint32_t cols = circuit.parameter_count;
    if (cols == 0) {
        VANTELO_ASSIGN_OR_RETURN(out.values, batch_expectation(circuit, batch, rows, observable));
        return out;
    }
    VANTELO_TRY(check_batch_shape(batch, rows, cols));
    allocate_or_explain(
        [&] {
            out.values = AlignedArray<float>::zeroed(rows);
            out.gradients = AlignedArray<float>::zeroed(rows * cols);
        },
        [&] { return msg::cannot_allocate_batch(rows, rows * (cols + 1) * sizeof(float)); });
    VANTELO_TRY(for_each_row<Piece>(
        rows, [&] { return Piece{ExecutionContext::create(circuit.num_qubits), {}}; },
        [&](Piece& piece, std::size_t r) {
            return row_fn(piece, batch.subspan(r * cols, cols), out.values[r],
                          out.gradients.span().subspan(r * cols, cols));
        }));
    return out;
}

}  // namespace

Result<AlignedArray<float>> batch_expectation(const CompiledCircuit& circuit,
                                              std::span<const float> batch, std::size_t rows,
                                              const Observable& observable) {
    VANTELO_TRY(check_observable_qubits(observable, circuit.num_qubits));
    if (rows == 0) return AlignedArray<float>{};
    const std::uint32_t cols = circuit.parameter_count;
    const auto allocate_values = [&] {
        return allocate_or_explain(
            [&] { return AlignedArray<float>::zeroed(rows); },
            [&] { return msg::cannot_allocate_batch(rows, rows * sizeof(float)); });
    };
    if (cols == 0 && !has_random_steps(circuit)) {
        // Every row is the same empty vector and the plan draws nothing: one
        // run serves them all.
        VANTELO_ASSIGN_OR_RETURN(const float value, compiled_expectation(circuit, {}, observable));
        AlignedArray<float> values = allocate_values();
        for (float& v : values) v = value;
        return values;
    }
    // A plan that measures or resets draws its outcomes anew for every row,
    // even when the rows are all the same empty vector.
    if (cols != 0) VANTELO_TRY(check_batch_shape(batch, rows, cols));
    AlignedArray<float> values = allocate_values();
    VANTELO_TRY(for_each_row<ExpectationPiece>(
        rows, [&] { return ExpectationPiece{ExecutionContext::create(circuit.num_qubits)}; },
        [&](ExpectationPiece& piece, std::size_t r) -> Status {
            VANTELO_ASSIGN_OR_RETURN(values[r],
                                     expectation_with_context(circuit, row_of(batch, r, cols),
                                                              observable, piece.context));
            return {};
        }));
    return values;
}

Result<BatchValuesAndGradients> batch_value_and_gradient(const CompiledCircuit& circuit,
                                                         std::span<const float> batch,
                                                         std::size_t rows,
                                                         const Observable& observable) {
    VANTELO_TRY(check_observable_qubits(observable, circuit.num_qubits));
    return values_and_gradients<GradientPiece>(
        circuit, batch, rows, observable,
        [&](GradientPiece& piece, std::span<const float> row, float& value, std::span<float> g) {
            return value_and_gradient_into(circuit, row, observable, piece.context, piece.scratch,
                                           value, g);
        });
}

Result<BatchValuesAndGradients> batch_adjoint_value_and_gradient(const CompiledCircuit& circuit,
                                                                 std::span<const float> batch,
                                                                 std::size_t rows,
                                                                 const Observable& observable) {
    VANTELO_TRY(check_observable_qubits(observable, circuit.num_qubits));
    if (has_channel_steps(circuit)) return fail(msg::adjoint_refuses_channels());
    if (has_random_steps(circuit)) return fail(msg::adjoint_needs_unitary_plan());
    return values_and_gradients<AdjointPiece>(
        circuit, batch, rows, observable,
        [&](AdjointPiece& piece, std::span<const float> row, float& value, std::span<float> g) {
            return adjoint_value_and_gradient_into(circuit, row, observable, piece.context,
                                                   piece.scratch, value, g);
        });
}

}  // namespace vantelo::sim
