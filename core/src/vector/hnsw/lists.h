// Per-node growable lists (neighbour lists of one level, level-0 score
// lists), each behind its own reader-writer lock.
//
// Storage: a slot is one pointer to a block {size, capacity, items} (its own
// heap block, or a slice of a column-owned slab for bulk fills); an empty
// list is a null pointer. Slot chunks are allocated on the first non-empty
// write into their range, so a sparse upper level costs nothing for the
// nodes that never reach it. A frozen column holds rows instead (pack_fixed).
// Locks are striped: a fixed table of small reader-writer spin locks indexed
// by node. A list lock is only ever taken alone, so sharing a stripe cannot
// deadlock.
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <span>
#include <thread>
#include <utility>
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
    if (spins > 64) {
      std::this_thread::yield();
    } else {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }
  std::atomic<uint32_t> word_{0};
};

template <class E>
class ListColumn {
  static_assert(std::is_trivially_copyable_v<E>);
  static_assert(alignof(E) <= 8);

 public:
  ListColumn() = default;
  ListColumn(const ListColumn&) = delete;
  ListColumn& operator=(const ListColumn&) = delete;
  ~ListColumn() {
    // Every allocated slot chunk, including chunks past len() a caller may
    // have written into.
    for (uint64_t c = 0, n = dir_.capacity(); c < n; ++c) {
      auto* chunk = static_cast<std::atomic<Block*>*>(dir_.chunk(c));
      if (!chunk) continue;
      for (uint64_t s = 0; s < kChunkCapacity; ++s) {
        Block* b = chunk[s].load(std::memory_order_relaxed);
        if (b && !b->packed()) std::free(b);
      }
    }
    for (void* slab : slabs_) free_slab(slab);
    if (fixed_) detail::free_zeroed(fixed_, fixed_bytes_);
    if (rank_) detail::free_zeroed(rank_, rank_words_ * sizeof(RankWord));
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
    const std::span<const E> list = list_of(node);
    return f(list.data(), list.size());
  }

  // The list in place, without taking its lock: only for lists no writer
  // can touch any more (a frozen graph).
  std::span<const E> view_unlocked(uint64_t node) const { return list_of(node); }

  // Lays every list out in one block of rows, each `stride` bytes: a 32-bit
  // length, then the items. Level 0 (most nodes hold a list) gets one row
  // per node, so a reader of a frozen column finds a list at base + node *
  // stride without a slot to load first, and neighbouring nodes' lists sit
  // side by side. A sparse column (upper levels) gets rows only for the
  // nodes that hold a list, found by a rank over a bit per node: a quarter
  // byte per node instead of an 8-byte slot. The slots, slabs and blocks are
  // freed. Afterwards the column is read-only: no writer may touch it again.
  // Skipped (false) when the longest list would make the rows waste more
  // than they replace, or when no list is stored (nothing to lay out).
  bool pack_fixed() {
    static_assert(alignof(E) <= alignof(uint32_t));
    std::lock_guard<std::mutex> lock(writer_);
    if (fixed_) return true;
    const uint64_t n = count_.load(std::memory_order_relaxed);
    size_t longest = 0, used = 0;
    uint64_t members = 0;
    for (uint64_t i = 0; i < n; ++i) {
      if (const Block* b = block(i)) {
        longest = std::max<size_t>(longest, b->size);
        used += sizeof(Block) + sizeof(E) * b->size;
        members += b->size != 0;
      }
    }
    if (n == 0 || longest == 0) return false;
    const size_t stride = sizeof(uint32_t) + sizeof(E) * longest;
    const bool sparse = members * 2 < n;
    const uint64_t rows_n = sparse ? members : n;
    if (rows_n > (size_t{1} << 40) / stride || rows_n * stride > 2 * used + (size_t{64} << 10)) return false;
    const size_t bytes = rows_n * stride;
    char* rows = static_cast<char*>(detail::alloc_zeroed(bytes));
    RankWord* rank = nullptr;
    const uint64_t words = (n + 63) / 64;
    if (sparse) rank = static_cast<RankWord*>(detail::alloc_zeroed(words * sizeof(RankWord)));
    // Each slab goes back as soon as the last list it holds has moved, so
    // the old lists and the rows are never all resident at once.
    std::vector<std::pair<uint64_t, size_t>> slab_done = slab_last_nodes(n);
    size_t next_free = 0;
    uint64_t r = 0;
    for (uint64_t i = 0; i < n; ++i) {
      if (sparse && (i & 63) == 0) rank[i >> 6].before = r;
      if (Block* b = const_cast<Block*>(block(i))) {
        if (b->size != 0 || !sparse) {
          char* row = rows + r * stride;
          const uint32_t size = b->size;
          std::memcpy(row, &size, sizeof size);
          std::memcpy(row + sizeof(uint32_t), b->items(), sizeof(E) * b->size);
          if (sparse) rank[i >> 6].bits |= uint64_t{1} << (i & 63);
          ++r;
        }
        if (!b->packed()) std::free(b);
      } else if (!sparse) {
        ++r;  // an empty row (zeroed)
      }
      for (; next_free < slab_done.size() && slab_done[next_free].first <= i; ++next_free) {
        free_slab(slabs_[slab_done[next_free].second]);
        slabs_[slab_done[next_free].second] = nullptr;
      }
    }
    for (void* slab : slabs_) free_slab(slab);
    slabs_.clear();
    slab_left_ = 0;
    dir_.release_chunks();
    fixed_ = rows;
    fixed_bytes_ = bytes;
    fixed_rows_ = n;
    fixed_stride_ = stride;
    rank_ = rank;
    rank_words_ = sparse ? words : 0;
    return true;
  }
  bool packed_fixed() const { return fixed_ != nullptr; }

  // Frees every list, leaving len() slots that read as empty. Only while no
  // reader can hold a list (a graph being frozen).
  void release_lists() {
    std::lock_guard<std::mutex> lock(writer_);
    for (uint64_t c = 0, n = dir_.capacity(); c < n; ++c) {
      auto* chunk = static_cast<std::atomic<Block*>*>(dir_.chunk(c));
      if (!chunk) continue;
      for (uint64_t s = 0; s < kChunkCapacity; ++s) {
        Block* b = chunk[s].load(std::memory_order_relaxed);
        if (b && !b->packed()) std::free(b);
      }
    }
    dir_.release_chunks();
    for (void* slab : slabs_) free_slab(slab);
    slabs_.clear();
    slab_left_ = 0;
  }

  // False when the list is certainly empty (no block was ever stored); read
  // without the list lock, so a true answer must still be confirmed by read().
  bool maybe_nonempty(uint64_t node) const { return fixed_ ? fixed_row(node) != nullptr : block(node) != nullptr; }

  // Cache hints for an upcoming read(node), in two stages: the slot, then
  // (once the slot is likely cached) the list block it points to. No lock;
  // prefetching a block that a writer just replaced is harmless.
  void prefetch_slot(uint64_t node) const {
    if (fixed_) {
      // The row itself: its first lines hold the size and the first items.
      if (const char* row = fixed_row(node)) {
        __builtin_prefetch(row);
        __builtin_prefetch(row + 64);
        if (fixed_stride_ > 128) __builtin_prefetch(row + 128);
      }
      return;
    }
    auto* chunk = static_cast<std::atomic<Block*>*>(dir_.chunk(node >> kChunkShift));
    if (chunk) __builtin_prefetch(chunk + (node & (kChunkCapacity - 1)));
  }
  void prefetch(uint64_t node) const {
    if (fixed_) return;  // prefetch_slot already asked for the row
    auto* chunk = static_cast<std::atomic<Block*>*>(dir_.chunk(node >> kChunkShift));
    if (!chunk) return;
    if (const Block* b = chunk[node & (kChunkCapacity - 1)].load(std::memory_order_relaxed)) {
      __builtin_prefetch(b);
      __builtin_prefetch(reinterpret_cast<const char*>(b) + 64);
    }
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
    store_locked(node, items, /*packed=*/false);
    l.unlock();
  }

  // As assign, but a block that must be allocated is carved from a shared
  // slab owned by the column instead of its own heap block: one allocation
  // per many lists and neighbouring lists side by side in memory. Meant for
  // bulk fills (restore). A later edit that outgrows the block moves the
  // list to its own heap block; the slab space stays until the column goes.
  void assign_packed(uint64_t node, std::span<const E> items) {
    SpinRwLock& l = lock_for(node);
    l.lock();
    store_locked(node, items, /*packed=*/true);
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
    if (b) {
      scratch.assign(b->items(), b->items() + b->size);
    } else {
      scratch.clear();
    }
    f(scratch);
    store_locked(node, scratch, /*packed=*/false);
    l.unlock();
  }

 private:
  // Header of a list block; the items follow it directly.
  struct Block {
    uint32_t size;
    uint32_t bits;  // capacity in the low 31 bits; top bit = carved from a slab
    static constexpr uint32_t kPacked = 0x80000000u;
    uint32_t capacity() const { return bits & ~kPacked; }
    bool packed() const { return (bits & kPacked) != 0; }
    E* items() { return reinterpret_cast<E*>(this + 1); }
    const E* items() const { return reinterpret_cast<const E*>(this + 1); }
  };
  static_assert(sizeof(Block) == 8);
  static constexpr size_t kStripes = 4096;
  static constexpr size_t kMaxItems = 0x7FFFFFFFu;
  static constexpr size_t kSlabBytes = size_t{256} << 10;

  SpinRwLock& lock_for(uint64_t node) const { return locks_[node & (kStripes - 1)]; }

  // Slabs are mapped, not taken from the heap: freezing frees them, and
  // heap space freed between other blocks would stay resident.
  static void* new_slab() {
    void* p = ::mmap(nullptr, kSlabBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
  }
  static void free_slab(void* slab) {
    if (slab) ::munmap(slab, kSlabBytes);
  }

  // (last node whose list lies in slab s, s) for every slab, ascending.
  std::vector<std::pair<uint64_t, size_t>> slab_last_nodes(uint64_t n) const {
    std::vector<std::pair<const char*, size_t>> starts;
    for (size_t s = 0; s < slabs_.size(); ++s) starts.emplace_back(static_cast<const char*>(slabs_[s]), s);
    std::sort(starts.begin(), starts.end());
    std::vector<std::pair<uint64_t, size_t>> last(slabs_.size());
    for (size_t s = 0; s < slabs_.size(); ++s) last[s] = {0, s};
    for (uint64_t i = 0; i < n; ++i) {
      const Block* b = block(i);
      if (!b || !b->packed()) continue;
      const char* p = reinterpret_cast<const char*>(b);
      auto it = std::upper_bound(starts.begin(), starts.end(), std::make_pair(p, ~size_t{0}));
      if (it == starts.begin()) continue;
      --it;
      if (p < it->first + kSlabBytes) last[it->second].first = i;
    }
    std::sort(last.begin(), last.end());
    return last;
  }

  // Rows of a sparse frozen column: per 64 nodes, which hold a list and
  // how many rows come before them.
  struct RankWord {
    uint64_t bits;
    uint64_t before;
  };

  // The row of `node` in a frozen column, or nullptr when it has none.
  const char* fixed_row(uint64_t node) const {
    if (node >= fixed_rows_) return nullptr;
    if (!rank_) return fixed_ + node * fixed_stride_;
    const RankWord& w = rank_[node >> 6];
    const uint64_t bit = uint64_t{1} << (node & 63);
    if (!(w.bits & bit)) return nullptr;
    return fixed_ + (w.before + static_cast<uint64_t>(std::popcount(w.bits & (bit - 1)))) * fixed_stride_;
  }

  std::span<const E> list_of(uint64_t node) const {
    if (fixed_) {
      const char* row = fixed_row(node);
      if (!row) return {};
      uint32_t size;
      std::memcpy(&size, row, sizeof size);
      return {reinterpret_cast<const E*>(row + sizeof(uint32_t)), size};
    }
    const Block* b = block(node);
    return b ? std::span<const E>(b->items(), b->size) : std::span<const E>();
  }

  // The slot form's block (nullptr once the column is frozen into rows).
  const Block* block(uint64_t node) const {
    if (fixed_) return nullptr;
    auto* chunk = static_cast<std::atomic<Block*>*>(dir_.chunk(node >> kChunkShift));
    return chunk ? chunk[node & (kChunkCapacity - 1)].load(std::memory_order_acquire) : nullptr;
  }

  // A block for `cap` items: its own heap block, or a slab slice when packed.
  Block* new_block(size_t cap, bool packed) {
    size_t bytes = sizeof(Block) + sizeof(E) * cap;
    bytes = (bytes + 7) & ~size_t{7};
    Block* b;
    if (packed && bytes <= kSlabBytes / 4) {
      std::lock_guard<std::mutex> lock(writer_);
      if (slab_left_ < bytes) {
        void* slab = new_slab();
        slabs_.push_back(slab);
        slab_next_ = static_cast<char*>(slab);
        slab_left_ = kSlabBytes;
      }
      b = reinterpret_cast<Block*>(slab_next_);
      slab_next_ += bytes;
      slab_left_ -= bytes;
      b->bits = static_cast<uint32_t>(cap) | Block::kPacked;
    } else {
      b = static_cast<Block*>(std::malloc(bytes));
      if (!b) throw std::bad_alloc();
      b->bits = static_cast<uint32_t>(cap);
    }
    b->size = 0;
    return b;
  }

  // Caller holds the list's write lock.
  void store_locked(uint64_t node, std::span<const E> items, bool packed) {
    if (items.size() > kMaxItems) items = items.first(kMaxItems);
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
    if (!b || b->capacity() < items.size()) {
      // Packed blocks are sized exactly; heap blocks keep a little room.
      size_t cap = packed ? items.size() : std::max<size_t>(items.size(), 4);
      Block* fresh = new_block(cap, packed);
      if (b && !b->packed()) std::free(b);  // no reader holds it: we hold the write lock
      b = fresh;
      slot.store(b, std::memory_order_release);
    }
    std::memcpy(b->items(), items.data(), sizeof(E) * items.size());
    b->size = static_cast<uint32_t>(items.size());
  }

  std::mutex writer_;
  std::atomic<uint64_t> count_{0};
  // Mapped: freezing frees the slot chunks (see new_slab).
  detail::ChunkDirectory dir_{true};
  mutable SpinRwLock locks_[kStripes];
  // Slab state, under writer_.
  std::vector<void*> slabs_;
  char* slab_next_ = nullptr;
  size_t slab_left_ = 0;
  // Rows of a frozen column (pack_fixed): fixed_rows_ is the node count
  // they cover; rank_ is set for a sparse column.
  char* fixed_ = nullptr;
  size_t fixed_bytes_ = 0;
  uint64_t fixed_rows_ = 0;
  size_t fixed_stride_ = 0;
  RankWord* rank_ = nullptr;
  uint64_t rank_words_ = 0;
};

using NeighborLayer = ListColumn<uint32_t>;
using ScoreColumn = ListColumn<float>;

}  // namespace ulmora::hnsw
