#include "platform/platform.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <bcrypt.h>
#include <malloc.h>
#include <process.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(__linux__)
#include <sched.h>
#include <sys/random.h>
#elif defined(__APPLE__)
#include <sys/random.h>
#include <sys/sysctl.h>
#endif

namespace vantelo::platform {

std::size_t affinity_cpu_count() noexcept {
#if defined(__linux__)
    cpu_set_t set;  // 1024 CPUs
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<std::size_t>(CPU_COUNT(&set));
#elif defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0) {
        std::size_t count = 0;
        for (; process != 0; process &= process - 1) ++count;
        return count;
    }
#endif
    return 0;
}

std::size_t online_cpu_count() noexcept {
#if defined(_WIN32)
    const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return static_cast<std::size_t>(count);
#else
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 0;
#endif
}

std::optional<std::string> read_small_file(const std::string& path) {
    std::string text;
    char buffer[4096];
#if defined(_WIN32)
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return std::nullopt;
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return std::nullopt;
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
#endif
    return text;
}

long l2_cache_bytes() noexcept {
#if defined(__linux__)
#if defined(_SC_LEVEL2_CACHE_SIZE)
    // glibc reads CPUID on x86; elsewhere it may answer 0.
    const long from_libc = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
    if (from_libc > 0) return from_libc;
#endif
    std::FILE* f = std::fopen("/sys/devices/system/cpu/cpu0/cache/index2/size", "re");
    if (f == nullptr) return 0;
    long value = 0;
    char unit = 0;
    const int got = std::fscanf(f, "%ld%c", &value, &unit);
    std::fclose(f);
    if (got < 1 || value <= 0) return 0;
    if (got == 2 && (unit == 'K' || unit == 'k')) value *= 1024;
    if (got == 2 && (unit == 'M' || unit == 'm')) value *= 1024 * 1024;
    return value;
#elif defined(__APPLE__)
    long long bytes = 0;
    std::size_t size = sizeof bytes;
    if (sysctlbyname("hw.l2cachesize", &bytes, &size, nullptr, 0) == 0 && bytes > 0)
        return static_cast<long>(bytes);
    return 0;
#elif defined(_WIN32)
    DWORD length = 0;
    GetLogicalProcessorInformation(nullptr, &length);
    if (length == 0) return 0;
    const std::size_t count = length / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION);
    auto* info = new (std::nothrow) SYSTEM_LOGICAL_PROCESSOR_INFORMATION[count];
    if (info == nullptr) return 0;
    long bytes = 0;
    if (GetLogicalProcessorInformation(info, &length) != 0)
        for (std::size_t i = 0; i < count && bytes == 0; ++i)
            if (info[i].Relationship == RelationCache && info[i].Cache.Level == 2)
                bytes = static_cast<long>(info[i].Cache.Size);
    delete[] info;
    return bytes;
#else
    return 0;
#endif
}

long os_random_bytes(void* buffer, std::size_t length) noexcept {
#if defined(__linux__)
    return static_cast<long>(getrandom(buffer, length, 0));
#elif defined(__APPLE__)
    // getentropy gives at most 256 bytes a call.
    const std::size_t n = length < 256 ? length : 256;
    if (getentropy(buffer, n) != 0) return -1;
    return static_cast<long>(n);
#elif defined(_WIN32)
    const ULONG n = length < 0x10000000u ? static_cast<ULONG>(length) : 0x10000000u;
    if (BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), n, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
        errno = EIO;
        return -1;
    }
    return static_cast<long>(n);
#else
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t got = ::read(fd, buffer, length);
    const int err = errno;
    ::close(fd);
    errno = err;
    return static_cast<long>(got);
#endif
}

void* aligned_block(std::size_t alignment, std::size_t bytes) noexcept {
#if defined(_WIN32)
    return _aligned_malloc(bytes, alignment);
#else
    return std::aligned_alloc(alignment, bytes);
#endif
}

void free_aligned_block(void* block) noexcept {
#if defined(_WIN32)
    _aligned_free(block);
#else
    std::free(block);
#endif
}

bool supports_page_mapping() noexcept {
#if defined(_WIN32)
    return false;
#else
    return true;
#endif
}

void* map_pages(std::size_t bytes) noexcept {
#if defined(_WIN32)
    (void)bytes;
    return nullptr;
#else
    void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return base == MAP_FAILED ? nullptr : base;
#endif
}

void unmap_pages(void* base, std::size_t bytes) noexcept {
#if defined(_WIN32)
    (void)base, (void)bytes;
#else
    munmap(base, bytes);
#endif
}

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: where huge pages are unavailable the pages stay small.
    madvise(data, bytes, MADV_HUGEPAGE);
#else
    (void)data, (void)bytes;
#endif
}

void on_fork_child(void (*handler)()) noexcept {
#if defined(_WIN32)
    (void)handler;
#else
    pthread_atfork(nullptr, nullptr, handler);
#endif
}

namespace {

struct ThreadStart {
    ThreadEntry entry;
    void* arg;
};

#if defined(_WIN32)
unsigned __stdcall thread_trampoline(void* p) {
#else
extern "C" void* thread_trampoline(void* p) {
#endif
    const ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.entry(start.arg);
#if defined(_WIN32)
    return 0;
#else
    return nullptr;
#endif
}

}  // namespace

int start_detached_thread(ThreadEntry entry, void* arg, std::size_t stack_bytes) noexcept {
    auto* start = new (std::nothrow) ThreadStart{entry, arg};
    if (start == nullptr) return ENOMEM;
#if defined(_WIN32)
    const std::uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stack_bytes),
                                                 &thread_trampoline, start, 0, nullptr);
    if (handle == 0) {
        const int code = errno != 0 ? errno : EAGAIN;
        delete start;
        return code;
    }
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return 0;
#else
    pthread_attr_t attr;
    int code = pthread_attr_init(&attr);
    if (code == 0) {
        code = pthread_attr_setstacksize(&attr, stack_bytes);
        if (code == 0) code = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (code == 0) code = pthread_create(&thread, &attr, &thread_trampoline, start);
        pthread_attr_destroy(&attr);
    }
    if (code != 0) delete start;
    return code;
#endif
}

std::string error_text(int code) {
    char buffer[256] = {};
#if defined(_WIN32)
    strerror_s(buffer, sizeof buffer, code);
    return buffer;
#elif defined(__GLIBC__) && defined(_GNU_SOURCE)
    // GNU strerror_r returns the text, which may or may not live in buffer.
    return strerror_r(code, buffer, sizeof buffer);
#else
    if (strerror_r(code, buffer, sizeof buffer) != 0) std::snprintf(buffer, sizeof buffer, "error %d", code);
    return buffer;
#endif
}

}  // namespace vantelo::platform
