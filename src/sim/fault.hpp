// Internal faults: limits enforced inside the core that callers have no error
// path for (a register of 32 or more qubits, a failed seed source). They
// unwind to the module's entry point, which raises them as the dedicated
// internal-fault exception; they never end the process.
#pragma once

#include <exception>
#include <new>
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

// An allocation that failed, with what it was for and its size: still a
// std::bad_alloc to every handler of running out of memory; the module
// reports its message as the MemoryError's.
class AllocationFailure : public std::bad_alloc {
public:
    explicit AllocationFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Runs allocate(); a std::bad_alloc from it becomes an AllocationFailure
// with message().
template <class Allocate, class Message>
auto allocate_or_explain(Allocate allocate, Message message) {
    try {
        return allocate();
    } catch (const AllocationFailure&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(message());
    }
}

}  // namespace vantelo::sim
