#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <type_traits>

// A bounded single-producer/single-consumer FIFO of trivially copyable items. Neither side
// ever blocks or allocates, so the audio callback can sit on either end.
template <typename T>
class SpscQueue {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    explicit SpscQueue(size_t capacity)
        : capacity_(capacity + 1), items_(std::make_unique<T[]>(capacity + 1)) {}

    bool push(const T& item) {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t next = (tail + 1) % capacity_;
        if (next == head_.load(std::memory_order_acquire)) return false;
        items_[tail] = item;
        tail_.store(next, std::memory_order_release);
        return true;
    }

    bool pop(T& item) {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        item = items_[head];
        head_.store((head + 1) % capacity_, std::memory_order_release);
        return true;
    }

    // The consumer's look at the next item without taking it; null when there is none.
    const T* front() const {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return nullptr;
        return &items_[head];
    }

    // The consumer's look at the item `i` places behind the front; null past the last.
    const T* peek(size_t i) const {
        const size_t head = head_.load(std::memory_order_relaxed);
        const size_t size = (tail_.load(std::memory_order_acquire) + capacity_ - head) % capacity_;
        return i < size ? &items_[(head + i) % capacity_] : nullptr;
    }

    bool empty() const {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
    }

private:
    const size_t capacity_;
    std::unique_ptr<T[]> items_;
    alignas(64) std::atomic<size_t> head_{0};
    alignas(64) std::atomic<size_t> tail_{0};
};
