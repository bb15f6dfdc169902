// Where the memory of aligned arrays comes from: the C heap for small
// arrays, anonymous mappings with transparent huge pages for large ones. The
// kArrayAlignment bytes before every array record which, so one free function
// (the one NumPy is given) handles both.
#include "sim/aligned_array.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vantelo::sim::detail {

namespace {

// Sits right before the array. map_bytes is 0 for heap blocks.
struct Header {
    void* base;
    std::size_t map_bytes;
};
static_assert(sizeof(Header) <= kArrayAlignment);

constexpr std::size_t kHugePage = std::size_t{2} << 20;

Header* header_of(void* p) {
    return reinterpret_cast<Header*>(static_cast<char*>(p) - kArrayAlignment);
}

std::size_t round_up(std::size_t bytes, std::size_t to) { return (bytes + to - 1) / to * to; }

#if defined(__linux__)
// A 2 MiB-aligned array inside a fresh anonymous mapping: the header sits in
// the small page before it, and only the array is marked for huge pages (so
// touching the header never fills a huge page). Returns nullptr if the
// mapping fails.
void* map_from_os(std::size_t bytes) {
    // The array starts at most kHugePage past the (page-aligned) base.
    const std::size_t map_bytes = bytes + kHugePage;
    void* base = mmap(nullptr, map_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    void* data = reinterpret_cast<void*>(round_up(start + kArrayAlignment, kHugePage));
#ifdef MADV_HUGEPAGE
    // Advice only: where huge pages are unavailable the array keeps small ones.
    madvise(data, round_up(bytes, 4096), MADV_HUGEPAGE);
#endif
    *header_of(data) = Header{base, map_bytes};
    return data;
}
#endif

}  // namespace

void* allocate_aligned(std::size_t bytes, bool* zero) {
    *zero = false;
#if defined(__linux__)
    if (bytes >= kOsPagesMinBytes) {
        if (void* data = map_from_os(bytes)) {
            *zero = true;
            return data;
        }
        throw std::bad_alloc();
    }
#endif
    const std::size_t total = kArrayAlignment + round_up(bytes, kArrayAlignment);
    void* base = std::aligned_alloc(kArrayAlignment, total);
    if (base == nullptr) throw std::bad_alloc();
    void* data = static_cast<char*>(base) + kArrayAlignment;
    *header_of(data) = Header{base, 0};
    return data;
}

void free_aligned(void* p) noexcept {
    if (p == nullptr) return;
    const Header h = *header_of(p);
#if defined(__linux__)
    if (h.map_bytes != 0) {
        munmap(h.base, h.map_bytes);
        return;
    }
#endif
    std::free(h.base);
}

}  // namespace vantelo::sim::detail
