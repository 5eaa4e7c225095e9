#include "vector/hnsw/id_map.h"

#include <algorithm>
#include <cstdint>
#include <random>

namespace ulmora::hnsw {

namespace {

// One seed per process, so slot placement is not predictable from ids.
uint64_t process_seed() {
  static const uint64_t seed = [] {
    std::random_device rd;
    return (uint64_t{rd()} << 32) ^ rd() ^ 0x9E3779B97F4A7C15ull;
  }();
  return seed;
}

// splitmix64 finaliser: every input bit reaches every output bit.
inline uint64_t mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

constexpr size_t kMinSlots = 16;

}  // namespace

IdMap::IdMap() : seed_(process_seed()) {}

size_t IdMap::slot_of(uint64_t id) const { return static_cast<size_t>(mix(id ^ seed_)) & (slots_.size() - 1); }

std::optional<uint64_t> IdMap::find(uint64_t id) const {
  const uint64_t i = index_or_absent(id);
  return i == kAbsent ? std::nullopt : std::optional<uint64_t>(i);
}

uint64_t IdMap::probe(uint64_t id) const {
  if (slots_.empty()) return kAbsent;
  size_t mask = slots_.size() - 1;
  for (size_t s = slot_of(id);; s = (s + 1) & mask) {
    const Slot& slot = slots_[s];
    if (slot.index_plus_one == 0) return kAbsent;
    if (slot.id == id) return slot.index_plus_one - 1;
  }
}

bool IdMap::insert(uint64_t id, uint64_t index) {
  if (contiguous_) expand();
  // Load factor stays at or below 1/2, so probes are short and a free slot
  // always exists.
  if ((size_ + 1) * 2 > slots_.size()) grow();
  size_t mask = slots_.size() - 1;
  for (size_t s = slot_of(id);; s = (s + 1) & mask) {
    Slot& slot = slots_[s];
    if (slot.index_plus_one == 0) {
      slot = Slot{id, index + 1};
      ++size_;
      return true;
    }
    if (slot.id == id) return false;
  }
}

void IdMap::reserve(uint64_t n) {
  if (contiguous_) expand();
  size_t want = kMinSlots;
  while (want / 2 < n && want <= (SIZE_MAX >> 1)) want *= 2;
  if (want <= slots_.size()) return;
  rehash(want);
}

void IdMap::compact_if_contiguous() {
  if (contiguous_ || size_ == 0) return;
  uint64_t first = UINT64_MAX;
  for (const Slot& s : slots_) {
    if (s.index_plus_one != 0) first = std::min(first, s.id);
  }
  // size_ distinct ids, each first + its index below size_: a bijection.
  for (const Slot& s : slots_) {
    if (s.index_plus_one != 0 && (s.id - first != s.index_plus_one - 1 || s.index_plus_one > size_)) return;
  }
  std::vector<Slot>().swap(slots_);
  first_ = first;
  contiguous_ = true;
}

void IdMap::assign_contiguous(uint64_t first, uint64_t n) {
  std::vector<Slot>().swap(slots_);
  size_ = n;
  first_ = first;
  contiguous_ = n > 0;
}

void IdMap::expand() {
  contiguous_ = false;
  const uint64_t n = size_;
  size_ = 0;
  size_t want = kMinSlots;
  while (want / 2 < n && want <= (SIZE_MAX >> 1)) want *= 2;
  slots_.assign(want, Slot{0, 0});
  for (uint64_t i = 0; i < n; ++i) insert(first_ + i, i);
}

void IdMap::grow() { rehash(slots_.empty() ? kMinSlots : slots_.size() * 2); }

void IdMap::rehash(size_t slot_count) {
  std::vector<Slot> old;
  old.swap(slots_);
  slots_.assign(slot_count, Slot{0, 0});
  size_t mask = slot_count - 1;
  for (const Slot& o : old) {
    if (o.index_plus_one == 0) continue;
    size_t s = slot_of(o.id);
    while (slots_[s].index_plus_one != 0) s = (s + 1) & mask;
    slots_[s] = o;
  }
}

}  // namespace ulmora::hnsw
