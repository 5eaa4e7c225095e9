// Point id -> node index map: open addressing with a per-process random
// seed, 16 bytes a slot. Not synchronised: Graph guards it with `alloc`.
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ulmora::hnsw {

class IdMap {
 public:
  IdMap();
  std::optional<uint64_t> find(uint64_t id) const;
  // find() for hot loops: the index, or kAbsent; the contiguous form
  // inline.
  static constexpr uint64_t kAbsent = UINT64_MAX;
  uint64_t index_or_absent(uint64_t id) const {
    if (contiguous_) return id - first_ < size_ ? id - first_ : kAbsent;
    return probe(id);
  }
  // Inserts id -> index; returns false (and changes nothing) if present.
  bool insert(uint64_t id, uint64_t index);
  uint64_t size() const { return size_; }
  // Room for n entries without growing.
  void reserve(uint64_t n);
  // When every entry maps first + i -> i (a restored graph's usual ids),
  // frees the slots and answers find() by subtraction from then on; an
  // insert afterwards brings the slots back first.
  void compact_if_contiguous();
  // An empty map set straight to that form: id first + i -> i for i < n.
  void assign_contiguous(uint64_t first, uint64_t n);

 private:
  struct Slot {
    uint64_t id;
    uint64_t index_plus_one;  // 0 = empty
  };
  size_t slot_of(uint64_t id) const;
  uint64_t probe(uint64_t id) const;
  void grow();
  void rehash(size_t slot_count);
  void expand();
  std::vector<Slot> slots_;
  uint64_t size_ = 0;
  uint64_t seed_;
  bool contiguous_ = false;  // slots freed: id first_ + i -> i for i < size_
  uint64_t first_ = 0;
};

}  // namespace ulmora::hnsw
