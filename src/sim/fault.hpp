// Internal faults: limits enforced inside the core that callers have no error
// path for (a register of 32 or more qubits, a failed seed source). They
// unwind to the module's entry point, which raises them as the dedicated
// internal-fault exception; they never end the process.
#pragma once

#include <exception>
#include <string>

namespace vantelo::sim {

class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] inline void raise_fault(std::string message) {
    throw InternalFault(std::move(message));
}

}  // namespace vantelo::sim
