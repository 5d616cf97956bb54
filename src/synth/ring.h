// A single-producer, single-consumer ring between two threads: one adds, the other takes,
// and neither waits for the other. A full ring refuses what is added.
#pragma once

#include <atomic>

template <typename T, unsigned N> struct Ring {
    T items[N];
    std::atomic<unsigned> head, tail; // taken at head, added at tail; they only grow

    bool push(const T &item) {
        unsigned at = tail.load(std::memory_order_relaxed);
        if (at - head.load(std::memory_order_acquire) == N) return false;
        items[at % N] = item;
        tail.store(at + 1, std::memory_order_release);
        return true;
    }

    bool pop(T &item) {
        unsigned at = head.load(std::memory_order_relaxed);
        if (at == tail.load(std::memory_order_acquire)) return false;
        item = items[at % N];
        head.store(at + 1, std::memory_order_release);
        return true;
    }
};
