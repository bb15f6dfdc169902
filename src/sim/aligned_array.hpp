// An owned, 64-byte aligned array of trivially copyable values. State vectors
// and result vectors live in these so their memory can be handed to NumPy
// without copying (release() gives up ownership; free it with
// AlignedArray<T>::free_raw).
//
// Large arrays (kOsPagesMinBytes and up) are mapped straight from the
// operating system at a 2 MiB boundary and marked for transparent huge pages:
// their pages arrive zeroed and are faulted in 2 MiB at a time by whoever
// first touches them, so a state that starts as zeros needs no fill pass, and
// the first pass over it pays a few hundred faults instead of a few hundred
// thousand. Smaller arrays come from the C heap, which reuses freed memory.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace vantelo::sim {

inline constexpr std::size_t kArrayAlignment = 64;

// From this size on, arrays are mapped from the operating system. It is the
// size above which the C heap maps blocks itself anyway.
inline constexpr std::size_t kOsPagesMinBytes = std::size_t{32} << 20;

namespace detail {
// bytes bytes at a kArrayAlignment boundary, preceded by kArrayAlignment bytes
// that record how to free them; *zero is set when every byte is known to be
// zero. Throws std::bad_alloc.
void* allocate_aligned(std::size_t bytes, bool* zero);
// Frees what allocate_aligned returned (nullptr is ignored).
void free_aligned(void* p) noexcept;
}  // namespace detail

template <class T>
class AlignedArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    AlignedArray() = default;

    // Uninitialised storage for n values; throws std::bad_alloc on failure.
    // *zero (if given) says whether every byte is known to be zero already.
    static AlignedArray uninitialized(std::size_t n, bool* zero = nullptr) {
        AlignedArray a;
        bool fresh = false;
        a.allocate(n, &fresh);
        if (zero != nullptr) *zero = fresh;
        return a;
    }
    // n values, every byte zero.
    static AlignedArray zeroed(std::size_t n) {
        bool fresh = false;
        AlignedArray a = uninitialized(n, &fresh);
        if (n != 0 && !fresh) std::memset(a.data_, 0, n * sizeof(T));
        return a;
    }
    static AlignedArray copy_of(std::span<const T> values) {
        AlignedArray a = uninitialized(values.size());
        if (!values.empty()) std::memcpy(a.data_, values.data(), values.size() * sizeof(T));
        return a;
    }

    AlignedArray(AlignedArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    AlignedArray& operator=(AlignedArray&& other) noexcept {
        if (this != &other) {
            free_raw(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    AlignedArray(const AlignedArray& other) : AlignedArray(copy_of(other.span())) {}
    AlignedArray& operator=(const AlignedArray& other) {
        if (this != &other) *this = copy_of(other.span());
        return *this;
    }
    ~AlignedArray() { free_raw(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

    // Gives up ownership; the caller frees the pointer with free_raw.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }
    static void free_raw(void* p) noexcept { detail::free_aligned(p); }

private:
    void allocate(std::size_t n, bool* zero) {
        if (n == 0) return;
        if (n > (static_cast<std::size_t>(-1) - 4 * kOsPagesMinBytes) / sizeof(T)) throw std::bad_alloc();
        data_ = static_cast<T*>(detail::allocate_aligned(n * sizeof(T), zero));
        size_ = n;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace vantelo::sim
