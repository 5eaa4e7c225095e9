// Graph insertion: allocation, level draw, greedy descent, per-level beam
// search with a one-hop widening of the pool, diversity selection, the new
// node's lists, sorted back-links and neighbour caps. Also the per-thread
// ChaCha8 generator shared with the filter-edge sampler.
//
// Level-0 score lists are kept parallel to the level-0 neighbour lists: every
// edit of a level-0 list here also rewrites the node's score list while the
// neighbour list's write lock is held (lock order: neighbour list, then score
// list). A score list whose length differs from its neighbour list (restored
// nodes, a fresh self entry) is treated as absent and rebuilt on next edit.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <thread>

#include "base/clock.h"
#include "vector/hnsw/config.h"
#include "vector/hnsw/core.h"
#include "vector/hnsw/filter_edges.h"
#include "vector/hnsw/kernels.h"
#include "vector/hnsw/search.h"
#include "vector/hnsw/stats.h"

namespace ulmora::hnsw {

// ---------------------------------------------------------------------------
// Per-thread generator: ChaCha8 block function, 256-bit key from the OS.

namespace {

class ChaCha8 {
 public:
  ChaCha8() {
    std::array<uint32_t, 10> seed{};
    try {
      std::random_device rd;
      for (auto& w : seed) w = rd();
    } catch (...) {
      // No entropy device: mix the clock and an address so threads differ.
      uint64_t t = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
      uint64_t a = reinterpret_cast<uintptr_t>(this);
      for (size_t i = 0; i < seed.size(); ++i) {
        t = (t ^ a) * 0x9E3779B97F4A7C15ull + i;
        seed[i] = static_cast<uint32_t>(t >> 32);
      }
    }
    state_[0] = 0x61707865u;
    state_[1] = 0x3320646eu;
    state_[2] = 0x79622d32u;
    state_[3] = 0x6b206574u;
    for (int i = 0; i < 8; ++i) state_[4 + i] = seed[i];
    state_[12] = 0;
    state_[13] = 0;
    state_[14] = seed[8];
    state_[15] = seed[9];
  }

  uint64_t next_u64() {
    if (pos_ + 2 > 16) refill();
    uint64_t lo = out_[pos_], hi = out_[pos_ + 1];
    pos_ += 2;
    return (hi << 32) | lo;
  }

 private:
  static uint32_t rotl(uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }
  static void quarter(uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
  }
  void refill() {
    uint32_t x[16];
    std::memcpy(x, state_, sizeof(x));
    for (int round = 0; round < 4; ++round) {  // 4 double rounds = 8 rounds
      quarter(x, 0, 4, 8, 12);
      quarter(x, 1, 5, 9, 13);
      quarter(x, 2, 6, 10, 14);
      quarter(x, 3, 7, 11, 15);
      quarter(x, 0, 5, 10, 15);
      quarter(x, 1, 6, 11, 12);
      quarter(x, 2, 7, 8, 13);
      quarter(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) out_[i] = x[i] + state_[i];
    if (++state_[12] == 0) ++state_[13];  // 64-bit block counter
    pos_ = 0;
  }

  uint32_t state_[16];
  uint32_t out_[16] = {};
  unsigned pos_ = 16;
};

ChaCha8& thread_generator() {
  thread_local ChaCha8 gen;
  return gen;
}

}  // namespace

uint64_t thread_random_u64() { return thread_generator().next_u64(); }

double thread_random_unit() { return static_cast<double>(thread_random_u64() >> 11) * 0x1.0p-53; }

uint64_t thread_random_below(uint64_t bound) {
  // Lemire's multiply-shift with rejection of the biased low range.
  uint64_t x = thread_random_u64();
  __uint128_t m = static_cast<__uint128_t>(x) * bound;
  uint64_t low = static_cast<uint64_t>(m);
  if (low < bound) {
    uint64_t threshold = (0 - bound) % bound;
    while (low < threshold) {
      x = thread_random_u64();
      m = static_cast<__uint128_t>(x) * bound;
      low = static_cast<uint64_t>(m);
    }
  }
  return static_cast<uint64_t>(m >> 64);
}

// ---------------------------------------------------------------------------
// Candidate ordering: ascending key, NaN keys last, stable.

namespace detail {
namespace {

inline bool before(const ScoredNode& a, const ScoredNode& b) {
  return a.key < b.key || (!std::isnan(a.key) && std::isnan(b.key));
}

// Below this size insertion sort beats the radix passes' fixed costs.
constexpr size_t kRadixMin = 64;

void insertion_sort(ScoredNode* v, size_t n) {
  for (size_t i = 1; i < n; ++i) {
    ScoredNode x = v[i];
    size_t j = i;
    while (j > 0 && before(x, v[j - 1])) {
      v[j] = v[j - 1];
      --j;
    }
    v[j] = x;
  }
}

// Unsigned image of a key that orders like before(): -0 and +0 are one
// value, every NaN is one value after +inf.
inline uint32_t radix_image(float key) {
  if (std::isnan(key)) return 0xFFFFFFFFu;
  if (key == 0.0f) key = 0.0f;
  const uint32_t b = std::bit_cast<uint32_t>(key);
  return (b & 0x80000000u) ? ~b : (b | 0x80000000u);
}

// Stable LSD radix sort, one byte of the key image per pass: (image << 32
// | position) words are scattered, then the records are gathered once.
// Passes whose byte is the same for every item are skipped.
void radix_sort(ScoredNode* v, size_t n) {
  thread_local std::vector<uint64_t> a, b;
  thread_local std::vector<ScoredNode> records;
  a.resize(n);
  b.resize(n);
  uint32_t counts[4][256] = {};
  for (size_t i = 0; i < n; ++i) {
    const uint32_t img = radix_image(v[i].key);
    a[i] = (uint64_t{img} << 32) | i;
    for (int d = 0; d < 4; ++d) ++counts[d][(img >> (8 * d)) & 0xFF];
  }
  for (int d = 0; d < 4; ++d) {
    const uint32_t* c = counts[d];
    if (c[(a[0] >> (32 + 8 * d)) & 0xFF] == n) continue;
    uint32_t start[256];
    for (uint32_t k = 0, sum = 0; k < 256; ++k) {
      start[k] = sum;
      sum += c[k];
    }
    for (size_t i = 0; i < n; ++i) b[start[(a[i] >> (32 + 8 * d)) & 0xFF]++] = a[i];
    a.swap(b);
  }
  records.assign(v, v + n);
  for (size_t i = 0; i < n; ++i) v[i] = records[static_cast<uint32_t>(a[i])];
}

}  // namespace

void sort_by_key(std::span<ScoredNode> items) {
  // Beam results arrive sorted; a stable sort leaves sorted input as it is.
  if (std::is_sorted(items.begin(), items.end(), before)) return;
  if (items.size() < kRadixMin) insertion_sort(items.data(), items.size());
  else radix_sort(items.data(), items.size());
}

// A stable sort of the whole list orders it exactly as a stable merge of
// the sorted prefix with the sorted tail would (earlier entries win ties).
void sort_tail_and_merge(std::vector<ScoredNode>& items, size_t sorted_prefix) {
  if (sorted_prefix >= items.size()) return;
  sort_by_key(items);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Diversity selection.

namespace {

struct SelectScratch {
  std::vector<const float*> vectors;  // live vectors of the pass-1 picks (the reference node excluded)
  std::vector<uint32_t> marks;        // node -> epoch of the selection that took it
  uint32_t epoch = 0;
  float out[4];
};

SelectScratch& select_scratch() {
  thread_local SelectScratch s;
  return s;
}

// True when some vector of `picked` lies closer to `cv` than `bound`
// (scores negated for Dot). Which picked node rejects does not change the
// answer, so the order is free: the front vector is tried alone first (it
// rejects most candidates), then the rest four at a time through the
// batched kernel, and a vector that rejects there moves to the front, as
// neighbouring candidates tend to be rejected by the same pick.
bool any_closer(const HnswIndex& ix, const float* cv, std::vector<const float*>& picked, bool negate, float bound,
                float* out) {
  const size_t n = picked.size();
  if (n == 0) return false;
  const size_t dim = static_cast<size_t>(ix.dim);
  auto closer = [&](float raw_kernel) {
    float d = ix.metric == Metric::kCosine ? 1.0f - std::clamp(raw_kernel, -1.0f, 1.0f) : raw_kernel;
    return (negate ? -d : d) < bound;
  };
  const kernels::KernelTable& k = kernels::active();
  const bool l2 = ix.metric == Metric::kEuclidean;
  if (closer((l2 ? k.l2sq : k.dot)(cv, picked[0], dim))) return true;
  const kernels::Batch4Fn batch = l2 ? k.l2sq_x4 : k.dot_x4;
  for (size_t j = 1; j < n; j += 4) {
    // A short tail repeats its last vector to fill the batch.
    const float* group[4];
    const size_t take = std::min<size_t>(4, n - j);
    for (size_t t = 0; t < 4; ++t) group[t] = picked[j + std::min(t, take - 1)];
    batch(cv, group, dim, out);
    for (size_t t = 0; t < take; ++t) {
      if (!closer(out[t])) continue;
      std::rotate(picked.begin(), picked.begin() + static_cast<ptrdiff_t>(j + t),
                  picked.begin() + static_cast<ptrdiff_t>(j + t + 1));
      return true;
    }
  }
  return false;
}

// Selection state of one diversity pass: the picks so far, their vectors,
// and node marks (32-bit epoch) that answer "already selected" in O(1).
class Selector {
 public:
  Selector(const HnswIndex& ix, std::span<const ScoredNode> cands, size_t m, uint64_t level, bool cosine_or_dot,
           uint64_t reference, std::vector<uint32_t>& out)
      : ix_(ix), cands_(cands), m_(m), reference_(reference), out_(out), s_(select_scratch()) {
    std::optional<float> alpha_set = tuning::diversity_alpha();
    alpha_ = alpha_set ? *alpha_set : (level == 0 ? tuning::diversity_alpha_low() : tuning::diversity_alpha_high());
    std::optional<uint64_t> floor_set = tuning::diversity_prune_floor();
    floor_set_ = floor_set.has_value();
    floor_ = floor_set ? static_cast<size_t>(std::min<uint64_t>(*floor_set, m)) : 0;
    negate_ = cosine_or_dot && ix.metric == Metric::kDot;
    reset();
  }

  // Forgets every pick (a fresh selection over the same candidates).
  void reset() {
    out_.clear();
    s_.vectors.clear();
    reference_picked_ = false;
    const uint64_t n = ix_.levels.len();
    if (s_.marks.size() < n) s_.marks.resize(n, 0);
    if (s_.epoch == 0xFFFFFFFFu) {
      std::fill(s_.marks.begin(), s_.marks.end(), 0);
      s_.epoch = 0;
    }
    epoch_ = ++s_.epoch;
  }

  bool full() const { return out_.size() >= m_; }
  bool floor_set() const { return floor_set_; }
  float alpha() const { return alpha_; }
  bool negate() const { return negate_; }
  size_t size() const { return out_.size(); }

  bool taken(uint64_t node) const {
    if (node < s_.marks.size()) return s_.marks[node] == epoch_;
    for (uint32_t p : out_)
      if (cands_[p].node == node) return true;
    return false;
  }

  // Pass-1 test of c (live vector cv) against the picks so far.
  bool diverse(const ScoredNode& c, const float* cv) {
    if (floor_set_ && out_.size() < floor_) return true;
    const float bound = alpha_ * c.key;
    // The reference node's score to c is c's own raw score.
    if (reference_picked_ && (negate_ ? -c.raw : c.raw) < bound) return false;
    return !any_closer(ix_, cv, s_.vectors, negate_, bound, s_.out);
  }

  void pick(size_t i, const float* cv) {
    out_.push_back(static_cast<uint32_t>(i));
    mark(cands_[i].node);
    if (cands_[i].node == reference_) reference_picked_ = true;
    else if (cv) s_.vectors.push_back(cv);
  }

  // Pass 2: fill up in order, without liveness or diversity checks.
  void fill() {
    for (size_t i = 0; i < cands_.size() && !full(); ++i)
      if (!taken(cands_[i].node)) pick(i, nullptr);
  }

 private:
  void mark(uint64_t node) {
    if (node < s_.marks.size()) s_.marks[node] = epoch_;
  }
  const HnswIndex& ix_;
  std::span<const ScoredNode> cands_;
  size_t m_;
  uint64_t reference_;
  std::vector<uint32_t>& out_;
  SelectScratch& s_;
  float alpha_ = 1.0f;
  bool floor_set_ = false;
  size_t floor_ = 0;
  bool negate_ = false;
  bool reference_picked_ = false;
  uint32_t epoch_ = 0;
};

}  // namespace

namespace detail {

void select_positions(const HnswIndex& ix, std::span<const ScoredNode> cands, size_t m, uint64_t level,
                      bool cosine_or_dot, std::vector<uint32_t>& out, uint64_t reference) {
  Selector sel(ix, cands, m, level, cosine_or_dot, reference, out);
  // Pass 1: live candidates that no kept node is closer to than alpha * key.
  for (size_t i = 0; i < cands.size() && !sel.full(); ++i) {
    if (sel.taken(cands[i].node)) continue;
    const float* cv = ix.live_vector(cands[i].node);
    if (cv && sel.diverse(cands[i], cv)) sel.pick(i, cv);
  }
  sel.fill();
}

}  // namespace detail

std::vector<uint64_t> HnswIndex::select_neighbors(std::span<const ScoredNode> candidates, size_t m_target,
                                                  uint64_t level, bool cosine_or_dot) const {
  std::vector<uint32_t> pos;
  detail::select_positions(*this, candidates, m_target, level, cosine_or_dot, pos);
  std::vector<uint64_t> out;
  out.reserve(pos.size());
  for (uint32_t p : pos) out.push_back(candidates[p].node);
  return out;
}

// ---------------------------------------------------------------------------
// Cap enforcement.

namespace detail {

uint64_t cap_limit(const HnswIndex& ix, uint64_t level) { return (level == 0 ? ix.m0_cap : ix.m) + 1; }

namespace {

// Fingerprint of a list and its stored raw scores, skipping position `skip`
// (later entries count as one place earlier). Each entry is mixed with its
// position on its own and the mixes are summed, so the multiplies do not
// form one long dependency chain.
uint64_t list_fingerprint(const std::vector<uint32_t>& list, const std::vector<float>& raws, size_t skip) {
  uint64_t h = 0x9E3779B97F4A7C15ull;
  for (size_t k = 0, place = 1; k < list.size(); ++k) {
    if (k == skip) continue;
    const uint64_t x = (uint64_t{list[k]} << 32) | std::bit_cast<uint32_t>(raws[k]);
    uint64_t v = (x ^ (place++ * 0x9E3779B97F4A7C15ull)) * 0xFF51AFD7ED558CCDull;
    h += v ^ (v >> 29);
  }
  return h & ~uint64_t{0xFF};
}

// Sorted candidates are hint-safe when no two keys tie (and none is NaN):
// then the order of a list's entries does not depend on how it was stored.
bool strictly_ordered(std::span<const ScoredNode> cands) {
  for (size_t i = 0; i < cands.size(); ++i) {
    if (std::isnan(cands[i].key)) return false;
    if (i && !(cands[i - 1].key < cands[i].key)) return false;
  }
  return true;
}

// Pass 1 over `cands` when the list before the new entry (at original
// position `new_pos`) had the pass-1 picks P' = its first `k` entries:
// entries before the new one decide as before; after it, if the new entry
// was picked, P' members are checked against it alone until one of them
// falls out, and from then on in full. `origin` maps each sorted candidate
// to its original list position. False when the hint cannot be used.
bool hinted_pass1(const HnswIndex& ix, std::span<const ScoredNode> cands, const std::vector<uint32_t>& origin,
                  size_t new_pos, size_t k, Selector& sel) {
  bool seen_new = false, new_in = false, diverged = false;
  const float* new_vec = nullptr;
  const size_t dim = static_cast<size_t>(ix.dim);
  for (size_t i = 0; i < cands.size() && !sel.full(); ++i) {
    const ScoredNode& c = cands[i];
    const size_t o = origin[i];
    const bool is_new = o == new_pos;
    const bool in_prev = !is_new && (o < new_pos ? o : o - 1) < k;
    const float* cv = ix.live_vector(c.node);
    if (!cv) {
      if (in_prev) return false;  // deleted since: P' no longer holds
      continue;
    }
    bool accept;
    if (is_new) {
      accept = new_in = sel.diverse(c, cv);
      seen_new = true;
      new_vec = cv;
    } else if (!seen_new || !new_in) {
      accept = in_prev;
    } else if (!diverged) {
      accept = false;
      if (in_prev) {
        float d = score(ix.metric, cv, new_vec, dim);
        if (sel.negate()) d = -d;
        accept = !(d < sel.alpha() * c.key);
        diverged = !accept;
      }
    } else {
      accept = sel.diverse(c, cv);
    }
    if (accept) sel.pick(i, cv);
  }
  return true;
}

}  // namespace

bool cap_list_locked(const HnswIndex& ix, uint64_t level, uint64_t node, std::vector<uint32_t>& list,
                     const std::vector<float>* known_raws, std::vector<float>* raws_out, CapHint* hint) {
  const uint64_t limit = cap_limit(ix, level);
  if (list.size() <= limit) return false;
  thread_local std::vector<ScoredNode> cands;
  thread_local std::vector<uint32_t> origin;
  thread_local std::vector<uint32_t> kept;
  const float* nv = ix.vector(node);
  const size_t dim = static_cast<size_t>(ix.dim);
  const bool use_known = known_raws && known_raws->size() == list.size();
  if (!use_known) hint = nullptr;
  uint64_t stored = hint ? *hint->word : 0;
  if (hint) *hint->word = 0;
  cands.clear();
  for (size_t k = 0; k < list.size(); ++k) {
    // Stored lists hold 0 for the self entry; its real score is recomputed.
    float raw = use_known && list[k] != node ? (*known_raws)[k] : score(ix.metric, nv, ix.vector(list[k]), dim);
    // The original position rides in the high half while sorting.
    cands.push_back({(uint64_t{k} << 32) | list[k], raw, sort_key(ix.metric, raw)});
  }
  sort_by_key(cands);
  origin.resize(cands.size());
  for (size_t i = 0; i < cands.size(); ++i) {
    origin[i] = static_cast<uint32_t>(cands[i].node >> 32);
    cands[i].node &= 0xFFFFFFFFull;
  }

  Selector sel(ix, cands, static_cast<size_t>(limit), level, true, node, kept);
  const bool safe = hint && !sel.floor_set() && strictly_ordered(cands);
  bool done = false;
  if (safe && stored != 0 && hint->new_pos < list.size() &&
      (stored & ~uint64_t{0xFF}) == list_fingerprint(list, *known_raws, hint->new_pos)) {
    const size_t k = (stored & 0xFF) - 1;
    done = k < list.size() && hinted_pass1(ix, cands, origin, hint->new_pos, k, sel);
    if (!done) sel.reset();
  }
  if (!done) {
    for (size_t i = 0; i < cands.size() && !sel.full(); ++i) {
      if (sel.taken(cands[i].node)) continue;
      const float* cv = ix.live_vector(cands[i].node);
      if (cv && sel.diverse(cands[i], cv)) sel.pick(i, cv);
    }
  }
  const size_t picked = sel.size();
  sel.fill();

  list.clear();
  if (raws_out) raws_out->clear();
  for (uint32_t p : kept) {
    list.push_back(static_cast<uint32_t>(cands[p].node));
    if (raws_out) raws_out->push_back(cands[p].node == node ? 0.0f : cands[p].raw);
  }
  // The kept list starts with its pass-1 picks, in key order; removing the
  // dropped (never picked) entries does not change pass 1, so the picks of
  // the new list are its first `picked` entries.
  if (safe && raws_out && picked < 0xFF) *hint->word = list_fingerprint(list, *raws_out, SIZE_MAX) | (picked + 1);
  return true;
}

void rebuild_scores(const HnswIndex& ix, uint64_t node, std::span<const uint32_t> list, std::vector<float>& out) {
  const float* nv = ix.vector(node);
  const size_t dim = static_cast<size_t>(ix.dim);
  out.clear();
  for (uint32_t e : list) out.push_back(e == node ? 0.0f : score(ix.metric, nv, ix.vector(e), dim));
}

}  // namespace detail

void HnswIndex::enforce_cap(uint64_t level, uint64_t node) {
  if (level >= layers.size() || !layer(level).has_slot(node)) return;
  if (layer(level).size(node) <= detail::cap_limit(*this, level)) return;
  const bool scored = level == 0 && neighbor_scores.has_slot(node);
  layer(level).modify(node, [&](std::vector<uint32_t>& list) {
    if (!scored) {
      detail::cap_list_locked(*this, level, node, list, nullptr, nullptr);
      return;
    }
    neighbor_scores.modify(node, [&](std::vector<float>& sc) {
      thread_local std::vector<float> kept_raws;
      if (detail::cap_list_locked(*this, level, node, list, &sc, &kept_raws)) sc = kept_raws;
    });
  });
}

// ---------------------------------------------------------------------------
// Insertion.

namespace {

std::atomic<uint64_t> g_insert_counter{0};

constexpr uint64_t kMaxNodeIndex = 0xFFFFFFFEull;

// floor(-ln(U) * scale), saturated to u64, capped at the index's level cap.
uint64_t draw_level(double scale, uint64_t cap) {
  double v = std::floor(-std::log(thread_random_unit()) * scale);
  uint64_t level;
  if (!(v >= 0.0)) level = 0;
  else if (v >= 18446744073709551616.0) level = std::numeric_limits<uint64_t>::max();
  else level = static_cast<uint64_t>(v);
  return std::min(level, cap);
}

// Visit marks with a 32-bit epoch, plus buffers of the one-hop expansion.
struct ExpansionScratch {
  std::vector<uint32_t> marks;
  uint32_t epoch = 0;
  std::vector<uint32_t> neighbours;
  std::vector<ScoredNode> extra;
  bool in_use = false;
};

class ExpansionBorrow {
 public:
  ExpansionBorrow() : s_(scratch()) {
    if (s_.in_use) throw std::logic_error("expansion scratch borrowed re-entrantly");
    s_.in_use = true;
  }
  ~ExpansionBorrow() { s_.in_use = false; }
  ExpansionScratch* operator->() { return &s_; }

 private:
  static ExpansionScratch& scratch() {
    thread_local ExpansionScratch s;
    return s;
  }
  ExpansionScratch& s_;
};

// Buffers of one insertion, reused across inserts on a thread.
struct InsertScratch {
  std::vector<float> prepared;
  std::vector<ScoredNode> cands;
  std::vector<uint32_t> selected;  // positions in cands
  std::vector<uint32_t> new_list;
  std::vector<float> new_scores;
};

InsertScratch& insert_scratch() {
  thread_local InsertScratch s;
  return s;
}

bool is_linked(const HnswIndex& ix, uint64_t i) { return ix.state(i) == NodeState::kLinked; }

// Fills raw and key of every item from `query`, four at a time.
void score_all(const HnswIndex& ix, const float* query, std::vector<ScoredNode>& items) {
  const size_t dim = static_cast<size_t>(ix.dim);
  const kernels::KernelTable& k = kernels::active();
  const kernels::Batch4Fn batch = ix.metric == Metric::kEuclidean ? k.l2sq_x4 : k.dot_x4;
  const size_t n = items.size();
  size_t i = 0;
  float out[4];
  for (; i + 4 <= n; i += 4) {
    const float* group[4] = {ix.vector(items[i].node), ix.vector(items[i + 1].node), ix.vector(items[i + 2].node),
                             ix.vector(items[i + 3].node)};
    batch(query, group, dim, out);
    for (size_t t = 0; t < 4; ++t) {
      float raw = ix.metric == Metric::kCosine ? 1.0f - std::clamp(out[t], -1.0f, 1.0f) : out[t];
      items[i + t].raw = raw;
      items[i + t].key = sort_key(ix.metric, raw);
    }
  }
  for (; i < n; ++i) {
    float raw = score(ix.metric, query, ix.vector(items[i].node), dim);
    items[i].raw = raw;
    items[i].key = sort_key(ix.metric, raw);
  }
}

// Appends to `cands` every Linked, unvisited neighbour on `level` of the
// first `m` candidates (the pool of the diversity rule).
void expand_one_hop(const HnswIndex& ix, uint64_t idx, const float* query, uint64_t level, size_t m,
                    std::vector<ScoredNode>& cands) {
  ExpansionBorrow s;
  const uint64_t n = ix.levels.len();
  if (s->marks.size() < n) s->marks.resize(n, 0);
  if (s->epoch == 0xFFFFFFFFu) {
    std::fill(s->marks.begin(), s->marks.end(), 0);
    s->epoch = 1;
  } else {
    ++s->epoch;
  }
  const uint32_t epoch = s->epoch;
  uint32_t* marks = s->marks.data();
  const size_t marks_len = s->marks.size();
  for (const ScoredNode& c : cands)
    if (c.node < marks_len) marks[c.node] = epoch;
  if (idx < marks_len) marks[idx] = epoch;

  const NeighborLayer& layer = ix.layer(level);
  s->extra.clear();
  const size_t frontier = std::min(m, cands.size());
  for (size_t f = 0; f < frontier; ++f) {
    uint64_t fn = cands[f].node;
    if (!layer.has_slot(fn)) continue;
    layer.copy(fn, s->neighbours);
    for (uint32_t e : s->neighbours) {
      if (e >= marks_len || marks[e] == epoch || !is_linked(ix, e)) continue;
      marks[e] = epoch;
      s->extra.push_back({e, 0.0f, 0.0f});
    }
  }
  score_all(ix, query, s->extra);
  cands.insert(cands.end(), s->extra.begin(), s->extra.end());
}

// First position whose entry e has key < key(n, e); entries without a live
// vector count as not greater. `raws` (when parallel to `list`) holds the
// stored raw scores from n.
size_t backlink_position(const HnswIndex& ix, uint64_t n, const std::vector<uint32_t>& list,
                         const std::vector<float>* raws, float key) {
  const float* nv = ix.vector(n);
  const size_t dim = static_cast<size_t>(ix.dim);
  size_t lo = 0, hi = list.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    uint32_t e = list[mid];
    bool greater = false;
    if (ix.live_vector(e)) {
      float raw = raws && e != n ? (*raws)[mid] : score(ix.metric, nv, ix.vector(e), dim);
      greater = key < sort_key(ix.metric, raw);
    }
    if (greater) hi = mid;
    else lo = mid + 1;
  }
  return lo;
}

// Inserts idx into n's list on `level` at its key position and, with caps
// on, trims the list, all under n's write lock. `raw_ni` is the raw score
// between n and idx (the candidate's score: the metrics are symmetric).
void add_backlink(HnswIndex& ix, uint64_t level, uint64_t n, uint64_t idx, float raw_ni, bool caps) {
  const float key = sort_key(ix.metric, raw_ni);
  const uint32_t entry = static_cast<uint32_t>(idx);
  if (level != 0 || !ix.neighbor_scores.has_slot(n)) {
    ix.layer(level).modify(n, [&](std::vector<uint32_t>& list) {
      list.insert(list.begin() + static_cast<ptrdiff_t>(backlink_position(ix, n, list, nullptr, key)), entry);
      if (caps) detail::cap_list_locked(ix, level, n, list, nullptr, nullptr);
    });
    return;
  }
  ix.layer(0).modify(n, [&](std::vector<uint32_t>& list) {
    ix.neighbor_scores.modify(n, [&](std::vector<float>& sc) {
      const bool parallel = sc.size() == list.size();
      size_t pos = backlink_position(ix, n, list, parallel ? &sc : nullptr, key);
      list.insert(list.begin() + static_cast<ptrdiff_t>(pos), entry);
      if (parallel) sc.insert(sc.begin() + static_cast<ptrdiff_t>(pos), raw_ni);
      else detail::rebuild_scores(ix, n, list, sc);
      if (caps) {
        thread_local std::vector<float> kept_raws;
        detail::CapHint hint{&ix.cap_hints.word(n), parallel ? pos : SIZE_MAX};
        if (detail::cap_list_locked(ix, 0, n, list, &sc, &kept_raws, &hint)) sc = kept_raws;
      }
    });
  });
}

// Back-links touch one list (level 0: also a score list and a cap hint) of
// each selected node, scattered in memory: their slots are requested for
// all of them first, then each node's blocks one back-link ahead.
void prefetch_backlink_slots(const HnswIndex& ix, uint64_t level, std::span<const ScoredNode> cands,
                             std::span<const uint32_t> selected) {
  for (uint32_t p : selected) {
    const uint64_t n = cands[p].node;
    ix.layer(level).prefetch_slot(n);
    if (level != 0) continue;
    ix.neighbor_scores.prefetch_slot(n);
    ix.cap_hints.prefetch(n);
  }
}

void prefetch_backlink_lists(const HnswIndex& ix, uint64_t level, uint64_t n) {
  ix.layer(level).prefetch(n);
  if (level == 0) ix.neighbor_scores.prefetch(n);
}

// Replaces idx's list on `level` with idx + the selected nodes (level 0:
// and its score list), trimming it when caps are on.
void write_own_list(HnswIndex& ix, uint64_t level, uint64_t idx, std::span<const ScoredNode> cands,
                    std::span<const uint32_t> selected, bool caps, InsertScratch& s) {
  s.new_list.clear();
  s.new_list.push_back(static_cast<uint32_t>(idx));
  for (uint32_t p : selected)
    if (cands[p].node != idx) s.new_list.push_back(static_cast<uint32_t>(cands[p].node));
  const bool scored = level == 0 && ix.neighbor_scores.has_slot(idx);
  ix.layer(level).modify(idx, [&](std::vector<uint32_t>& list) {
    list = s.new_list;
    if (!scored) {
      if (caps) detail::cap_list_locked(ix, level, idx, list, nullptr, nullptr);
      return;
    }
    // Raw scores from idx are the candidates' own (the query is idx's vector).
    s.new_scores.clear();
    s.new_scores.push_back(0.0f);
    for (uint32_t p : selected)
      if (cands[p].node != idx) s.new_scores.push_back(cands[p].raw);
    if (caps) {
      thread_local std::vector<float> kept_raws;
      if (detail::cap_list_locked(ix, 0, idx, list, &s.new_scores, &kept_raws)) s.new_scores = kept_raws;
    }
    ix.neighbor_scores.assign(idx, s.new_scores);
  });
}

struct InsertTrace {
  bool on = false;
  uint64_t insert_id = 0;
  Instant start;
};

void emit_layer_event(const HnswIndex& ix, const InsertTrace& t, uint64_t point_id, uint64_t level, uint64_t lc,
                      uint64_t current, size_t candidates, std::span<const ScoredNode> cands,
                      std::span<const uint32_t> selected) {
  const uint64_t word = ix.entry.load(std::memory_order_acquire);
  InsertTraceEvent e;
  e.insert_id = t.insert_id;
  e.point_id = point_id;
  e.level = level;
  e.current_max_level = entry_level(word);
  e.layer = lc;
  if (entry_index(word) != kNoEntry) e.entry_point = ix.point_id(entry_index(word));
  e.current_entry = ix.point_id(current);
  e.candidates = candidates;
  e.neighbors = selected.size();
  if (!selected.empty()) e.best_neighbor = ix.point_id(cands[selected[0]].node);
  e.elapsed_ms = fractional_ms(t.start, now());
  emit_insert_trace(e);
}

// Steps 8-11 of an insertion: descend, then link idx on each of its levels.
Status link_levels(HnswIndex& ix, uint64_t idx, uint64_t point_id, uint64_t level, uint64_t word,
                   const InsertTrace& trace, InsertScratch& s) {
  const uint64_t top = entry_level(word);
  uint64_t cur = entry_index(word);
  // An entry node is Pending only for the moment between its insert raising
  // the entry word and marking itself Linked; a beam cannot start from a
  // Pending node, so wait for it (bounded, in case that insert failed).
  if (ix.state(cur) == NodeState::kPending) {
    const Instant give_up = now() + std::chrono::seconds(1);
    while (ix.state(cur) == NodeState::kPending && now() < give_up) std::this_thread::yield();
  }
  if (ix.deleted.get(cur) != 0) cur = ix.best_entry_candidate().value_or(idx);
  const std::span<const float> query(s.prepared);
  for (uint64_t lc = top; lc > level; --lc) cur = ix.greedy_step_down(query, cur, lc);

  const bool cosine_or_dot = ix.metric != Metric::kEuclidean;
  const bool caps = tuning::enforce_neighbor_caps();
  SearchOptions options;
  options.expansion_mult = 1;
  for (uint64_t lc = level + 1; lc-- > 0;) {
    const uint64_t seed = cur;
    s.cands.clear();
    ULMORA_TRY(ix.search_layer(query, std::span<const uint64_t>(&seed, 1), lc, static_cast<size_t>(ix.ef_construction),
                               options, cosine_or_dot, nullptr, nullptr, s.cands));
    detail::sort_by_key(s.cands);
    const size_t m_level = static_cast<size_t>(lc == 0 ? ix.m0 : ix.m);
    const size_t sorted = s.cands.size();
    expand_one_hop(ix, idx, query.data(), lc, m_level, s.cands);
    detail::sort_tail_and_merge(s.cands, sorted);
    detail::select_positions(ix, s.cands, m_level, lc, cosine_or_dot, s.selected);
    write_own_list(ix, lc, idx, s.cands, s.selected, caps, s);
    prefetch_backlink_slots(ix, lc, s.cands, s.selected);
    for (size_t j = 0; j < s.selected.size(); ++j) {
      if (j + 1 < s.selected.size()) prefetch_backlink_lists(ix, lc, s.cands[s.selected[j + 1]].node);
      const uint64_t n = s.cands[s.selected[j]].node;
      if (n == idx || !ix.live_vector(n)) continue;
      add_backlink(ix, lc, n, idx, s.cands[s.selected[j]].raw, caps);
    }
    if (!s.selected.empty()) cur = s.cands[s.selected[0]].node;
    if (trace.on) emit_layer_event(ix, trace, point_id, level, lc, cur, s.cands.size(), s.cands, s.selected);
  }

  // Raise the entry point; a concurrent insert may already have gone higher.
  if (level > top) {
    uint64_t w = ix.entry.load(std::memory_order_acquire);
    while (level > entry_level(w) &&
           !ix.entry.compare_exchange_weak(w, pack_entry(level, idx), std::memory_order_acq_rel)) {
    }
  }
  return Status::Ok();
}

}  // namespace

Status HnswIndex::insert(uint64_t point_id, std::span<const float> vec) {
  if (vec.size() != dim) return StoreError::VectorLengthMismatch(dim, vec.size());
  InsertTrace trace;
  trace.insert_id = g_insert_counter.fetch_add(1, std::memory_order_relaxed) + 1;
  if (insert_trace_enabled() && trace.insert_id % tuning::diagnostics().trace_every == 0) {
    trace.on = true;
    trace.start = now();
  }
  const uint64_t level = std::min<uint64_t>(draw_level(level_scale, level_cap), layers.size() - 1);
  InsertScratch& s = insert_scratch();
  prepare(metric, vec, s.prepared);

  // Allocation: one slot in every column, in a fixed order, under alloc.
  uint64_t idx;
  {
    std::lock_guard<std::mutex> lock(alloc);
    if (id_to_index.find(point_id)) return Status::Ok();
    idx = count;
    if (idx > kMaxNodeIndex) return StoreError::MemoryCapExceeded("node index space exhausted");
    vectors.push(s.prepared.data());
    levels.push(static_cast<uint8_t>(level));
    deleted.push(0);
    neighbor_scores.push_empty();
    node_states.push(static_cast<uint8_t>(NodeState::kPending));
    point_ids.push(point_id);
    for (auto& l : layers) l->push_empty();
    id_to_index.insert(point_id, idx);
    count = idx + 1;
    published_count_.store(idx + 1, std::memory_order_release);
  }
  for (uint64_t l = 0; l <= level; ++l)
    layer(l).modify(idx, [&](std::vector<uint32_t>& list) { list.push_back(static_cast<uint32_t>(idx)); });

  // The first node of an empty graph becomes the entry point (once, by CAS).
  uint64_t word = entry.load(std::memory_order_acquire);
  while (entry_index(word) == kNoEntry) {
    if (entry.compare_exchange_weak(word, pack_entry(level, idx), std::memory_order_acq_rel)) {
      node_states.set(idx, static_cast<uint8_t>(NodeState::kLinked));
      return Status::Ok();
    }
  }
  ULMORA_TRY(link_levels(*this, idx, point_id, level, word, trace, s));
  node_states.set(idx, static_cast<uint8_t>(NodeState::kLinked));
  return Status::Ok();
}

}  // namespace ulmora::hnsw
