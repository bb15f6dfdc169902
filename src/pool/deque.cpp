#include "pool/deque.hpp"

#include <new>

namespace vantelo::pool::detail {

bool JobDeque::push_back(Job* job) noexcept {
    std::lock_guard lock(mutex_);
    if (size_ == ring_.size()) {
        try {
            std::vector<Job*> grown(ring_.empty() ? 16 : 2 * ring_.size());
            for (std::size_t i = 0; i < size_; ++i) grown[i] = ring_[(head_ + i) & (ring_.size() - 1)];
            ring_.swap(grown);
            head_ = 0;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    ring_[(head_ + size_) & (ring_.size() - 1)] = job;
    set_size(size_ + 1);
    return true;
}

Job* JobDeque::pop_back() noexcept {
    std::lock_guard lock(mutex_);
    if (size_ == 0) return nullptr;
    Job* job = ring_[(head_ + size_ - 1) & (ring_.size() - 1)];
    set_size(size_ - 1);
    return job;
}

bool JobDeque::pop_back_if(Job* job) noexcept {
    std::lock_guard lock(mutex_);
    if (size_ == 0 || ring_[(head_ + size_ - 1) & (ring_.size() - 1)] != job) return false;
    set_size(size_ - 1);
    return true;
}

Job* JobDeque::try_pop_front(bool& busy) noexcept {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        busy = true;
        return nullptr;
    }
    return take_front();
}

Job* JobDeque::take_front() noexcept {
    if (size_ == 0) return nullptr;
    Job* job = ring_[head_];
    head_ = (head_ + 1) & (ring_.size() - 1);
    set_size(size_ - 1);
    return job;
}

}  // namespace vantelo::pool::detail
