// The few operating-system services the core needs, behind one interface.
// Linux gets the precise answers (affinity mask, sysfs, getrandom, huge-page
// advice); other POSIX systems and Windows get the closest equivalent or a
// neutral fallback. Nothing above this room includes a system header for
// these.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vantelo::platform {

// CPUs in this process's affinity mask; 0 where there is no such mask or the
// query fails.
std::size_t affinity_cpu_count() noexcept;

// Processors online; 0 when unknown.
std::size_t online_cpu_count() noexcept;

// The whole text of a small file such as /proc/self/cgroup, opened so that
// no child process inherits it; empty when it cannot be read.
std::optional<std::string> read_small_file(const std::string& path);

// Bytes of the level-2 cache of the first CPU; 0 when unknown.
long l2_cache_bytes() noexcept;

// Up to `length` bytes from the operating system's seed source, with the
// contract of getrandom(2) without flags: the number written (blocking
// until the source is ready), or -1 with errno set.
long os_random_bytes(void* buffer, std::size_t length) noexcept;

// `bytes` bytes (a multiple of `alignment`, a power of two) aligned to
// `alignment`, or nullptr; release with free_aligned_block.
void* aligned_block(std::size_t alignment, std::size_t bytes) noexcept;
void free_aligned_block(void* block) noexcept;

// Anonymous zero-filled pages of at least `bytes` bytes, page-aligned, or
// nullptr; only where supports_page_mapping().
bool supports_page_mapping() noexcept;
void* map_pages(std::size_t bytes) noexcept;
void unmap_pages(void* base, std::size_t bytes) noexcept;
// Advice that [data, data + bytes) would do well on huge pages; nothing
// where the system has no such advice.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// Registers `handler` to run in the child after fork(); nothing where the
// system has no fork. Call once per handler.
void on_fork_child(void (*handler)()) noexcept;

using ThreadEntry = void (*)(void* arg);
// Starts a detached thread running entry(arg) on a stack of `stack_bytes`.
// 0, or an errno value when the thread could not be started.
int start_detached_thread(ThreadEntry entry, void* arg, std::size_t stack_bytes) noexcept;

// The system's text for an errno value.
std::string error_text(int code);

}  // namespace vantelo::platform
