// The process-wide pool and its once-only creation.
#pragma once

#include "pool/workers.hpp"

namespace vantelo::pool::detail {

// The pool, created with the default size if creation was never attempted;
// null where no pool exists (creation failed, or a child after fork).
Pool* acquire_pool() noexcept;

}  // namespace vantelo::pool::detail
