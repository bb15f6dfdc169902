// A fixed sequence of stages of two independent tasks each, run by one
// thread or by two side by side: the shape of the adjoint sweep, whose
// stages are either the same step on ψ and on φ, or the two halves of both.
#pragma once

#include <atomic>
#include <cstddef>

#include "pool/function_ref.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

// Runs task(stage, 0) and task(stage, 1) for every stage in order; a task
// starts once every task of the earlier stages has finished. With
// two_threads, two workers of the pool claim tasks in order from one
// counter, so each runs one task of a stage while the other runs the other,
// and a thread that waits holds no task: if one is descheduled, the other
// runs the following tasks alone. No task waits for a particular thread,
// so a pool of one runs them all in sequence. The first failed task's error
// (or exception) is returned once every thread has left; later tasks are
// skipped. A stop the caller sees also ends the tasks, between them.
Status run_paired_stages(std::size_t stages, bool two_threads,
                         pool::FunctionRef<Status(std::size_t, unsigned)> task);

// The same with a count a task may raise (a release store before it
// returns) for stages that follow its own, such as a plan it builds while
// the other thread works.
Status run_paired_stages(const std::atomic<std::size_t>& stages, bool two_threads,
                         pool::FunctionRef<Status(std::size_t, unsigned)> task);

}  // namespace vantelo::sim
