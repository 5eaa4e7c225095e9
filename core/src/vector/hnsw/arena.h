// Append-only chunked columns. Slot i lives in chunk i / 4096, slot i % 4096;
// chunks never move, so readers keep plain pointers while appends go on.
//
// The chunk table is a directory of chunk pointers that grows by doubling.
// A replaced directory is retired, not freed, until the column is dropped:
// a reader that loaded the old directory still sees valid chunk pointers.
// Retired directories add up to less than the live one.
//
// Locking: `writer_` serialises appends. Readers take no lock: the directory
// pointer is published with release order after the chunk is in place, and
// callers only pass indices of allocated slots (or indices inside an
// allocated chunk, which read as zero).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

namespace ulmora::hnsw {

inline constexpr uint64_t kChunkCapacity = 4096;
inline constexpr unsigned kChunkShift = 12;

namespace detail {

// Zeroed, 64-byte aligned block.
inline void* alloc_zeroed(size_t bytes) {
  size_t rounded = (bytes + 63) & ~size_t{63};
  void* p = std::aligned_alloc(64, rounded ? rounded : 64);
  if (!p) throw std::bad_alloc();
  std::memset(p, 0, rounded ? rounded : 64);
  return p;
}

// Growable table of chunk pointers with retired copies kept alive. A table
// carries its own capacity, so a reader always indexes the table it loaded.
class ChunkDirectory {
 public:
  ChunkDirectory() = default;
  ChunkDirectory(const ChunkDirectory&) = delete;
  ChunkDirectory& operator=(const ChunkDirectory&) = delete;
  ~ChunkDirectory() {
    if (Table* t = table_.load(std::memory_order_relaxed)) {
      for (size_t i = 0; i < t->capacity; ++i) std::free(t->slots[i].load(std::memory_order_relaxed));
      free_table(t);
    }
    for (Table* old : retired_) free_table(old);
  }

  // Chunk c, or nullptr when it was never allocated.
  void* chunk(uint64_t c) const {
    Table* t = table_.load(std::memory_order_acquire);
    if (!t || c >= t->capacity) return nullptr;
    return t->slots[c].load(std::memory_order_acquire);
  }

  // Caller holds the column's writer lock.
  void* ensure_chunk(uint64_t c, size_t chunk_bytes) {
    Table* t = table_.load(std::memory_order_relaxed);
    if (!t || c >= t->capacity) {
      size_t old_cap = t ? t->capacity : 0;
      size_t cap = std::max<size_t>(old_cap ? old_cap * 2 : 4, c + 1);
      Table* grown = new_table(cap);
      for (size_t i = 0; i < old_cap; ++i) grown->slots[i].store(t->slots[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
      if (t) retired_.push_back(t);
      table_.store(grown, std::memory_order_release);
      t = grown;
    }
    void* existing = t->slots[c].load(std::memory_order_relaxed);
    if (existing) return existing;
    void* fresh = alloc_zeroed(chunk_bytes);
    t->slots[c].store(fresh, std::memory_order_release);
    return fresh;
  }

 private:
  struct Table {
    size_t capacity;
    std::atomic<void*>* slots;
  };
  static Table* new_table(size_t cap) {
    auto* t = new Table{cap, new std::atomic<void*>[cap]};
    for (size_t i = 0; i < cap; ++i) t->slots[i].store(nullptr, std::memory_order_relaxed);
    return t;
  }
  static void free_table(Table* t) {
    delete[] t->slots;
    delete t;
  }
  std::atomic<Table*> table_{nullptr};
  std::vector<Table*> retired_;
};

}  // namespace detail

// Column of trivially copyable elements (bytes, u64). Element loads and
// stores are relaxed atomics, so concurrent readers never see torn values.
template <class T>
class HnswArena {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  HnswArena() = default;
  HnswArena(const HnswArena&) = delete;
  HnswArena& operator=(const HnswArena&) = delete;

  uint64_t push(T value) {
    std::lock_guard<std::mutex> lock(writer_);
    uint64_t i = count_.load(std::memory_order_relaxed);
    T* chunk = static_cast<T*>(dir_.ensure_chunk(i >> kChunkShift, sizeof(T) * kChunkCapacity));
    std::atomic_ref<T>(chunk[i & (kChunkCapacity - 1)]).store(value, std::memory_order_relaxed);
    count_.store(i + 1, std::memory_order_release);
    return i;
  }
  uint64_t push_default() { return push(T{}); }

  // Slot i; callers pass allocated slots. A slot past len() inside an
  // allocated chunk reads as zero.
  T get(uint64_t i) const {
    T* chunk = static_cast<T*>(dir_.chunk(i >> kChunkShift));
    return std::atomic_ref<T>(chunk[i & (kChunkCapacity - 1)]).load(std::memory_order_relaxed);
  }
  void set(uint64_t i, T value) {
    T* chunk = static_cast<T*>(dir_.chunk(i >> kChunkShift));
    std::atomic_ref<T>(chunk[i & (kChunkCapacity - 1)]).store(value, std::memory_order_relaxed);
  }
  // True when slot i lies in an allocated chunk.
  bool has_chunk(uint64_t i) const { return dir_.chunk(i >> kChunkShift) != nullptr; }

  uint64_t len() const { return count_.load(std::memory_order_acquire); }

 private:
  std::mutex writer_;
  std::atomic<uint64_t> count_{0};
  detail::ChunkDirectory dir_;
};

// Vector column: a chunk holds 4096 * dim floats, zeroed on allocation.
class VectorArena {
 public:
  explicit VectorArena(uint64_t dim) : dim_(dim) {}
  VectorArena(const VectorArena&) = delete;
  VectorArena& operator=(const VectorArena&) = delete;

  // Copies exactly dim() floats from `v`.
  uint64_t push(const float* v) {
    std::lock_guard<std::mutex> lock(writer_);
    uint64_t i = count_.load(std::memory_order_relaxed);
    float* chunk = static_cast<float*>(dir_.ensure_chunk(i >> kChunkShift, sizeof(float) * kChunkCapacity * dim_));
    std::memcpy(chunk + (i & (kChunkCapacity - 1)) * dim_, v, sizeof(float) * dim_);
    count_.store(i + 1, std::memory_order_release);
    return i;
  }

  // The dim() floats of slot i (an allocated slot).
  const float* get(uint64_t i) const {
    const float* chunk = static_cast<const float*>(dir_.chunk(i >> kChunkShift));
    return chunk + (i & (kChunkCapacity - 1)) * dim_;
  }
  float* mutable_get(uint64_t i) {
    float* chunk = static_cast<float*>(dir_.chunk(i >> kChunkShift));
    return chunk + (i & (kChunkCapacity - 1)) * dim_;
  }

  uint64_t len() const { return count_.load(std::memory_order_acquire); }
  uint64_t dim() const { return dim_; }

 private:
  uint64_t dim_;
  std::mutex writer_;
  std::atomic<uint64_t> count_{0};
  detail::ChunkDirectory dir_;
};

}  // namespace ulmora::hnsw
