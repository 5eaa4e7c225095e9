// Per-node growable lists (neighbour lists of one level, level-0 score
// lists), each behind its own reader-writer lock.
//
// Storage: a slot is one pointer to a heap block {size, capacity, items};
// an empty list is a null pointer. Slot chunks are allocated on the first
// non-empty write into their range, so a sparse upper level costs nothing
// for the nodes that never reach it. Locks are striped: a fixed table of
// small reader-writer spin locks indexed by node. A list lock is only ever
// taken alone, so sharing a stripe cannot deadlock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <span>
#include <thread>
#include <vector>

#include "vector/hnsw/arena.h"

namespace ulmora::hnsw {

// Reader-writer spin lock in one word: bit 31 = writer, low bits = readers.
class SpinRwLock {
 public:
  void lock_shared() {
    for (unsigned spins = 0;; ++spins) {
      uint32_t v = word_.load(std::memory_order_relaxed);
      if (!(v & kWriter) && word_.compare_exchange_weak(v, v + 1, std::memory_order_acquire)) return;
      backoff(spins);
    }
  }
  void unlock_shared() { word_.fetch_sub(1, std::memory_order_release); }
  void lock() {
    // Claim the writer bit first so new readers hold off, then drain readers.
    for (unsigned spins = 0;; ++spins) {
      uint32_t v = word_.load(std::memory_order_relaxed);
      if (!(v & kWriter) && word_.compare_exchange_weak(v, v | kWriter, std::memory_order_acquire)) break;
      backoff(spins);
    }
    for (unsigned spins = 0; word_.load(std::memory_order_acquire) != kWriter; ++spins) backoff(spins);
  }
  void unlock() { word_.store(0, std::memory_order_release); }

 private:
  static constexpr uint32_t kWriter = 0x80000000u;
  static void backoff(unsigned spins) {
    if (spins > 64) std::this_thread::yield();
  }
  std::atomic<uint32_t> word_{0};
};

template <class E>
class ListColumn {
  static_assert(std::is_trivially_copyable_v<E>);

 public:
  ListColumn() = default;
  ListColumn(const ListColumn&) = delete;
  ListColumn& operator=(const ListColumn&) = delete;
  ~ListColumn() {
    uint64_t n = count_.load(std::memory_order_relaxed);
    for (uint64_t c = 0; c * kChunkCapacity < n; ++c) {
      auto* chunk = static_cast<std::atomic<Block*>*>(dir_.chunk(c));
      if (!chunk) continue;
      for (uint64_t s = 0; s < kChunkCapacity; ++s) std::free(chunk[s].load(std::memory_order_relaxed));
    }
  }

  // One more slot, holding an empty list.
  uint64_t push_empty() {
    std::lock_guard<std::mutex> lock(writer_);
    uint64_t i = count_.load(std::memory_order_relaxed);
    count_.store(i + 1, std::memory_order_release);
    return i;
  }
  // Empty slots until len() >= n.
  void grow_to(uint64_t n) {
    std::lock_guard<std::mutex> lock(writer_);
    if (count_.load(std::memory_order_relaxed) < n) count_.store(n, std::memory_order_release);
  }
  uint64_t len() const { return count_.load(std::memory_order_acquire); }
  bool has_slot(uint64_t node) const { return node < len(); }

  // Calls f(const E* items, size_t n) with the list read-locked.
  template <class F>
  decltype(auto) read(uint64_t node, F&& f) const {
    SpinRwLock& l = lock_for(node);
    l.lock_shared();
    struct Unlock {
      SpinRwLock& l;
      ~Unlock() { l.unlock_shared(); }
    } unlock{l};
    const Block* b = block(node);
    return f(b ? b->items : static_cast<const E*>(nullptr), b ? static_cast<size_t>(b->size) : size_t{0});
  }

  size_t size(uint64_t node) const {
    return read(node, [](const E*, size_t n) { return n; });
  }

  // Copy of the list into `out` (cleared first).
  void copy(uint64_t node, std::vector<E>& out) const {
    read(node, [&](const E* items, size_t n) { out.assign(items, items + n); });
  }
  std::vector<E> copy(uint64_t node) const {
    std::vector<E> out;
    copy(node, out);
    return out;
  }

  // Replaces the list (write lock held for the copy only).
  void assign(uint64_t node, std::span<const E> items) {
    SpinRwLock& l = lock_for(node);
    l.lock();
    store_locked(node, items);
    l.unlock();
  }

  // Calls f(std::vector<E>& list) with the write lock held, then stores the
  // edited list. `scratch` is reused to avoid an allocation per edit.
  template <class F>
  void modify(uint64_t node, F&& f) {
    thread_local std::vector<E> scratch;
    SpinRwLock& l = lock_for(node);
    l.lock();
    const Block* b = block(node);
    scratch.assign(b ? b->items : static_cast<const E*>(nullptr), b ? b->items + b->size : static_cast<const E*>(nullptr));
    f(scratch);
    store_locked(node, scratch);
    l.unlock();
  }

 private:
  struct Block {
    uint32_t size;
    uint32_t capacity;
    E items[1];
  };
  static constexpr size_t kStripes = 4096;

  SpinRwLock& lock_for(uint64_t node) const { return locks_[node & (kStripes - 1)]; }

  const Block* block(uint64_t node) const {
    auto* chunk = static_cast<std::atomic<Block*>*>(dir_.chunk(node >> kChunkShift));
    return chunk ? chunk[node & (kChunkCapacity - 1)].load(std::memory_order_acquire) : nullptr;
  }

  // Caller holds the list's write lock.
  void store_locked(uint64_t node, std::span<const E> items) {
    auto* chunk = static_cast<std::atomic<Block*>*>(dir_.chunk(node >> kChunkShift));
    if (!chunk) {
      if (items.empty()) return;
      std::lock_guard<std::mutex> lock(writer_);
      chunk = static_cast<std::atomic<Block*>*>(
          dir_.ensure_chunk(node >> kChunkShift, sizeof(std::atomic<Block*>) * kChunkCapacity));
    }
    std::atomic<Block*>& slot = chunk[node & (kChunkCapacity - 1)];
    Block* b = slot.load(std::memory_order_relaxed);
    if (items.empty()) {
      if (b) b->size = 0;
      return;
    }
    if (!b || b->capacity < items.size()) {
      size_t cap = items.size() < 4 ? 4 : items.size();
      auto* fresh = static_cast<Block*>(std::malloc(offsetof(Block, items) + sizeof(E) * cap));
      if (!fresh) throw std::bad_alloc();
      fresh->capacity = static_cast<uint32_t>(cap);
      fresh->size = 0;
      std::free(b);  // no reader holds it: we hold the write lock
      b = fresh;
      slot.store(b, std::memory_order_release);
    }
    std::memcpy(b->items, items.data(), sizeof(E) * items.size());
    b->size = static_cast<uint32_t>(items.size());
  }

  std::mutex writer_;
  std::atomic<uint64_t> count_{0};
  detail::ChunkDirectory dir_;
  mutable SpinRwLock locks_[kStripes];
};

using NeighborLayer = ListColumn<uint32_t>;
using ScoreColumn = ListColumn<float>;

}  // namespace ulmora::hnsw
