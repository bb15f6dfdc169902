// A unit of work that sits in a queue of the pool.
#pragma once

namespace vantelo::pool::detail {

struct Worker;

// Jobs live on the stack of the frame that queued them; that frame does not
// return before the job has finished, so queues hold plain pointers and no
// job is ever allocated.
struct Job {
    // Runs the job on `worker`, the thread that took it from a queue.
    void (*execute)(Job* job, Worker& worker) noexcept;
};

}  // namespace vantelo::pool::detail
