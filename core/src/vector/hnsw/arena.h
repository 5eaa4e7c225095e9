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
//
// Large chunks (1 MiB and up) come straight from anonymous mappings: they are
// zero already and their pages are only committed when first written, so a
// small index with wide vectors does not pay for a whole chunk up front.
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <sys/mman.h>

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

inline constexpr size_t kMappedChunkBytes = size_t{1} << 20;

// Zeroed block, 64-byte aligned (page aligned when mapped).
inline constexpr size_t kHugePageBytes = size_t{2} << 20;

// A mapping of `bytes` starting on a 2 MiB boundary, with transparent huge
// pages requested: the graph's columns are read at random, and 4 KiB pages
// would make nearly every vector read a TLB miss once the data outgrows
// the TLB's reach. Only the aligned range stays mapped, so munmap(p, bytes)
// releases it.
inline void* map_aligned(size_t bytes) {
  const size_t span = bytes + kHugePageBytes;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePageBytes - 1) & ~uintptr_t{kHugePageBytes - 1};
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t end = aligned + bytes, span_end = start + span;
  if (span_end > end) ::munmap(reinterpret_cast<void*>(end), span_end - end);
  void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  if (bytes >= kHugePageBytes) ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure is harmless
#endif
  return p;
}

// `map` asks for a plain mapping whatever the size: for blocks that are
// freed while the heap around them lives on, where freed heap space would
// stay resident.
inline void* alloc_zeroed(size_t bytes, bool map = false) {
  if (bytes >= kMappedChunkBytes) return map_aligned(bytes);
  if (map && bytes > 0) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
  }
  size_t rounded = (bytes + 63) & ~size_t{63};
  if (rounded == 0) rounded = 64;
  void* p = std::aligned_alloc(64, rounded);
  if (!p) throw std::bad_alloc();
  std::memset(p, 0, rounded);
  return p;
}

inline void free_zeroed(void* p, size_t bytes, bool map = false) {
  if (!p) return;
  if (bytes >= kMappedChunkBytes || map) {
    ::munmap(p, bytes);
  } else {
    std::free(p);
  }
}

// Growable table of chunk pointers with retired copies kept alive. A table
// carries its own capacity, so a reader always indexes the table it loaded.
// Every chunk of one directory has the same size.
class ChunkDirectory {
 public:
  ChunkDirectory() = default;
  // `mapped`: chunks come from their own mappings (see alloc_zeroed).
  explicit ChunkDirectory(bool mapped) : mapped_(mapped) {}
  ChunkDirectory(const ChunkDirectory&) = delete;
  ChunkDirectory& operator=(const ChunkDirectory&) = delete;
  ~ChunkDirectory() {
    if (Table* t = table_.load(std::memory_order_relaxed)) {
      for (size_t i = 0; i < t->capacity; ++i) free_zeroed(t->slots[i].load(std::memory_order_relaxed), chunk_bytes_, mapped_);
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

  // Number of chunk positions (allocated or not) in the current table.
  uint64_t capacity() const {
    Table* t = table_.load(std::memory_order_acquire);
    return t ? t->capacity : 0;
  }

  // Caller holds the column's writer lock. `chunk_bytes` is the same on
  // every call for one directory.
  void* ensure_chunk(uint64_t c, size_t chunk_bytes) {
    chunk_bytes_ = chunk_bytes;
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
    void* fresh = alloc_zeroed(chunk_bytes, mapped_);
    t->slots[c].store(fresh, std::memory_order_release);
    return fresh;
  }

  // Frees every chunk; they read as never allocated afterwards. Only while
  // no reader can hold a chunk pointer.
  void release_chunks() {
    Table* t = table_.load(std::memory_order_relaxed);
    if (!t) return;
    for (size_t i = 0; i < t->capacity; ++i) {
      free_zeroed(t->slots[i].load(std::memory_order_relaxed), chunk_bytes_, mapped_);
      t->slots[i].store(nullptr, std::memory_order_relaxed);
    }
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
  size_t chunk_bytes_ = 0;
  bool mapped_ = false;
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

  // Appends value_at(k) for k = 0..n-1 under one lock (bulk fills such as
  // restore); the new slots become visible together. Returns the first index.
  template <class F>
  uint64_t append_n(uint64_t n, F&& value_at) {
    std::lock_guard<std::mutex> lock(writer_);
    const uint64_t first = count_.load(std::memory_order_relaxed);
    T* chunk = nullptr;
    for (uint64_t k = 0; k < n; ++k) {
      uint64_t i = first + k;
      if (!chunk || (i & (kChunkCapacity - 1)) == 0)
        chunk = static_cast<T*>(dir_.ensure_chunk(i >> kChunkShift, sizeof(T) * kChunkCapacity));
      std::atomic_ref<T>(chunk[i & (kChunkCapacity - 1)]).store(value_at(k), std::memory_order_relaxed);
    }
    count_.store(first + n, std::memory_order_release);
    return first;
  }

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
  // Base of chunk c, or nullptr when it was never allocated. Chunks never
  // move, so a reader may keep it for a call; load elements through
  // std::atomic_ref like get() does.
  T* chunk_data(uint64_t c) const { return static_cast<T*>(dir_.chunk(c)); }

  uint64_t len() const { return count_.load(std::memory_order_acquire); }

 private:
  std::mutex writer_;
  std::atomic<uint64_t> count_{0};
  detail::ChunkDirectory dir_;
};

// Vector column: a chunk holds chunk_slots() * dim floats, zeroed on
// allocation. chunk_slots() is 4096 unless that would make one chunk larger
// than 64 MiB (dim above 4096); then it is the largest power of two that
// fits (at least 1), so a single very wide vector never reserves gigabytes.
class VectorArena {
 public:
  explicit VectorArena(uint64_t dim) : dim_(dim), shift_(shift_for(dim)) {}
  VectorArena(const VectorArena&) = delete;
  VectorArena& operator=(const VectorArena&) = delete;

  // Copies exactly dim() floats from `v`.
  uint64_t push(const float* v) {
    std::lock_guard<std::mutex> lock(writer_);
    uint64_t i = count_.load(std::memory_order_relaxed);
    float* chunk = static_cast<float*>(dir_.ensure_chunk(i >> shift_, chunk_bytes()));
    std::memcpy(chunk + (i & mask()) * dim_, v, sizeof(float) * dim_);
    count_.store(i + 1, std::memory_order_release);
    return i;
  }

  // Appends the dim() floats at ptr_at(k) for k = 0..n-1 under one lock;
  // the new slots become visible together. Returns the first index.
  template <class F>
  uint64_t append_n(uint64_t n, F&& ptr_at) {
    std::lock_guard<std::mutex> lock(writer_);
    const uint64_t first = count_.load(std::memory_order_relaxed);
    float* chunk = nullptr;
    for (uint64_t k = 0; k < n; ++k) {
      uint64_t i = first + k;
      if (!chunk || (i & mask()) == 0) chunk = static_cast<float*>(dir_.ensure_chunk(i >> shift_, chunk_bytes()));
      std::memcpy(chunk + (i & mask()) * dim_, ptr_at(k), sizeof(float) * dim_);
    }
    count_.store(first + n, std::memory_order_release);
    return first;
  }

  // The dim() floats of slot i (an allocated slot).
  const float* get(uint64_t i) const {
    const float* chunk = static_cast<const float*>(dir_.chunk(i >> shift_));
    return chunk + (i & mask()) * dim_;
  }
  float* mutable_get(uint64_t i) {
    float* chunk = static_cast<float*>(dir_.chunk(i >> shift_));
    return chunk + (i & mask()) * dim_;
  }
  bool has_chunk(uint64_t i) const { return dir_.chunk(i >> shift_) != nullptr; }

  uint64_t len() const { return count_.load(std::memory_order_acquire); }
  uint64_t dim() const { return dim_; }
  uint64_t chunk_slots() const { return uint64_t{1} << shift_; }

 private:
  static constexpr size_t kMaxChunkBytes = size_t{64} << 20;
  static unsigned shift_for(uint64_t dim) {
    unsigned shift = kChunkShift;
    while (shift > 0 && dim > (kMaxChunkBytes / sizeof(float)) >> shift) --shift;
    return shift;
  }
  uint64_t mask() const { return (uint64_t{1} << shift_) - 1; }
  size_t chunk_bytes() const { return sizeof(float) * (size_t{1} << shift_) * dim_; }

  uint64_t dim_;
  unsigned shift_;
  std::mutex writer_;
  std::atomic<uint64_t> count_{0};
  detail::ChunkDirectory dir_;
};

}  // namespace ulmora::hnsw
