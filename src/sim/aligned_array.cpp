// Where the memory of aligned arrays comes from: the C heap for small
// arrays, anonymous mappings with transparent huge pages for large ones. The
// kArrayAlignment bytes before every array record which, so one free function
// (the one NumPy is given) handles both.
#include "sim/aligned_array.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/platform.hpp"

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

// A 2 MiB-aligned array inside a fresh anonymous mapping: the header sits in
// the small page before it, and only the array is marked for huge pages (so
// touching the header never fills a huge page). Returns nullptr if the
// mapping fails.
void* map_from_os(std::size_t bytes) {
    // The array starts at most kHugePage past the (page-aligned) base.
    const std::size_t map_bytes = bytes + kHugePage;
    void* base = platform::map_pages(map_bytes);
    if (base == nullptr) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    void* data = reinterpret_cast<void*>(round_up(start + kArrayAlignment, kHugePage));
    platform::advise_huge_pages(data, round_up(bytes, 4096));
    *header_of(data) = Header{base, map_bytes};
    return data;
}

}  // namespace

void* allocate_aligned(std::size_t bytes, bool* zero) {
    *zero = false;
    if (platform::supports_page_mapping() && bytes >= kOsPagesMinBytes) {
        if (void* data = map_from_os(bytes)) {
            *zero = true;
            return data;
        }
        throw std::bad_alloc();
    }
    const std::size_t total = kArrayAlignment + round_up(bytes, kArrayAlignment);
    void* base = platform::aligned_block(kArrayAlignment, total);
    if (base == nullptr) throw std::bad_alloc();
    void* data = static_cast<char*>(base) + kArrayAlignment;
    *header_of(data) = Header{base, 0};
    return data;
}

void free_aligned(void* p) noexcept {
    if (p == nullptr) return;
    const Header h = *header_of(p);
    if (h.map_bytes != 0) {
        platform::unmap_pages(h.base, h.map_bytes);
        return;
    }
    platform::free_aligned_block(h.base);
}

}  // namespace vantelo::sim::detail
