// Neighbour lists: the stable candidate order, the diversity rule that picks
// a node's neighbours, and cap enforcement that trims an overfull list with
// the same rule.
#include "vector/hnsw/neighbor_select.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "vector/hnsw/config.h"
#include "vector/kernels/kernels.h"

namespace ulmora::hnsw {

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
// the sorted prefix with the sorted tail would (earlier entries win ties),
// so only the tail is sorted and the two runs merged.
void sort_tail_and_merge(std::vector<ScoredNode>& items, size_t sorted_prefix) {
  if (sorted_prefix >= items.size()) return;
  if (sorted_prefix == 0) return sort_by_key(items);
  sort_by_key(std::span<ScoredNode>(items).subspan(sorted_prefix));
  const auto mid = items.begin() + static_cast<ptrdiff_t>(sorted_prefix);
  if (!before(*mid, *(mid - 1))) return;  // already in order
  thread_local std::vector<ScoredNode> merged;
  merged.resize(items.size());
  std::merge(items.begin(), mid, mid, items.end(), merged.begin(), before);
  std::copy(merged.begin(), merged.end(), items.begin());
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
bool any_closer(const Graph& g, const float* cv, std::vector<const float*>& picked, bool negate, float bound,
                float* out) {
  const size_t n = picked.size();
  if (n == 0) return false;
  const size_t dim = static_cast<size_t>(g.dim);
  auto closer = [&](float raw_kernel) {
    float d = g.metric == Metric::kCosine ? 1.0f - std::clamp(raw_kernel, -1.0f, 1.0f) : raw_kernel;
    return (negate ? -d : d) < bound;
  };
  const kernels::KernelTable& k = kernels::active();
  const bool l2 = g.metric == Metric::kEuclidean;
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
  Selector(const Graph& g, std::span<const ScoredNode> cands, size_t m, uint64_t level, uint64_t reference,
           std::vector<uint32_t>& out)
      : g_(g), cands_(cands), m_(m), reference_(reference), out_(out), s_(select_scratch()) {
    std::optional<float> alpha_set = tuning::diversity_alpha();
    alpha_ = alpha_set ? *alpha_set : (level == 0 ? tuning::diversity_alpha_low() : tuning::diversity_alpha_high());
    std::optional<uint64_t> floor_set = tuning::diversity_prune_floor();
    floor_set_ = floor_set.has_value();
    floor_ = floor_set ? static_cast<size_t>(std::min<uint64_t>(*floor_set, m)) : 0;
    negate_ = g.metric == Metric::kDot;
    reset();
  }

  // Forgets every pick (a fresh selection over the same candidates).
  void reset() {
    out_.clear();
    s_.vectors.clear();
    reference_picked_ = false;
    const uint64_t n = g_.levels.len();
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
    return !any_closer(g_, cv, s_.vectors, negate_, bound, s_.out);
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
  const Graph& g_;
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

void select_positions(const Graph& g, std::span<const ScoredNode> cands, size_t m, uint64_t level,
                      std::vector<uint32_t>& out, uint64_t reference) {
  Selector sel(g, cands, m, level, reference, out);
  // Pass 1: live candidates that no kept node is closer to than alpha * key.
  for (size_t i = 0; i < cands.size() && !sel.full(); ++i) {
    if (sel.taken(cands[i].node)) continue;
    const float* cv = g.live_vector(cands[i].node);
    if (cv && sel.diverse(cands[i], cv)) sel.pick(i, cv);
  }
  sel.fill();
}

}  // namespace detail

std::vector<uint64_t> select_neighbors(const Graph& g, std::span<const ScoredNode> candidates, size_t m_target,
                                       uint64_t level) {
  std::vector<uint32_t> pos;
  detail::select_positions(g, candidates, m_target, level, pos);
  std::vector<uint64_t> out;
  out.reserve(pos.size());
  for (uint32_t p : pos) out.push_back(candidates[p].node);
  return out;
}

// ---------------------------------------------------------------------------
// Cap enforcement.

namespace detail {

uint64_t cap_limit(const Graph& g, uint64_t level) { return (level == 0 ? g.m0_cap : g.m) + 1; }

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
bool hinted_pass1(const Graph& g, std::span<const ScoredNode> cands, const std::vector<uint32_t>& origin,
                  size_t new_pos, size_t k, Selector& sel) {
  bool seen_new = false, new_in = false, diverged = false;
  const float* new_vec = nullptr;
  const size_t dim = static_cast<size_t>(g.dim);
  for (size_t i = 0; i < cands.size() && !sel.full(); ++i) {
    const ScoredNode& c = cands[i];
    const size_t o = origin[i];
    const bool is_new = o == new_pos;
    const bool in_prev = !is_new && (o < new_pos ? o : o - 1) < k;
    const float* cv = g.live_vector(c.node);
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
        float d = score(g.metric, cv, new_vec, dim);
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

bool cap_list_locked(const Graph& g, uint64_t level, uint64_t node, std::vector<uint32_t>& list,
                     const std::vector<float>* known_raws, std::vector<float>* raws_out, CapHint* hint) {
  const uint64_t limit = cap_limit(g, level);
  if (list.size() <= limit) return false;
  thread_local std::vector<ScoredNode> cands;
  thread_local std::vector<uint32_t> origin;
  thread_local std::vector<uint32_t> kept;
  const float* nv = g.vector(node);
  const size_t dim = static_cast<size_t>(g.dim);
  const bool use_known = known_raws && known_raws->size() == list.size();
  if (!use_known) hint = nullptr;
  uint64_t stored = hint ? *hint->word : 0;
  if (hint) *hint->word = 0;
  cands.clear();
  for (size_t k = 0; k < list.size(); ++k) {
    // Stored lists hold 0 for the self entry; its real score is recomputed.
    float raw = use_known && list[k] != node ? (*known_raws)[k] : score(g.metric, nv, g.vector(list[k]), dim);
    // The original position rides in the high half while sorting.
    cands.push_back({(uint64_t{k} << 32) | list[k], raw, sort_key(g.metric, raw)});
  }
  sort_by_key(cands);
  origin.resize(cands.size());
  for (size_t i = 0; i < cands.size(); ++i) {
    origin[i] = static_cast<uint32_t>(cands[i].node >> 32);
    cands[i].node &= 0xFFFFFFFFull;
  }

  Selector sel(g, cands, static_cast<size_t>(limit), level, node, kept);
  const bool safe = hint && !sel.floor_set() && strictly_ordered(cands);
  bool done = false;
  if (safe && stored != 0 && hint->new_pos < list.size() &&
      (stored & ~uint64_t{0xFF}) == list_fingerprint(list, *known_raws, hint->new_pos)) {
    const size_t k = (stored & 0xFF) - 1;
    done = k < list.size() && hinted_pass1(g, cands, origin, hint->new_pos, k, sel);
    if (!done) sel.reset();
  }
  if (!done) {
    for (size_t i = 0; i < cands.size() && !sel.full(); ++i) {
      if (sel.taken(cands[i].node)) continue;
      const float* cv = g.live_vector(cands[i].node);
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

void rebuild_scores(const Graph& g, uint64_t node, std::span<const uint32_t> list, std::vector<float>& out) {
  const float* nv = g.vector(node);
  const size_t dim = static_cast<size_t>(g.dim);
  out.clear();
  for (uint32_t e : list) out.push_back(e == node ? 0.0f : score(g.metric, nv, g.vector(e), dim));
}

}  // namespace detail

void enforce_cap(Graph& g, uint64_t level, uint64_t node) {
  if (level >= g.layers.size() || !g.layer(level).has_slot(node)) return;
  if (g.layer(level).size(node) <= detail::cap_limit(g, level)) return;
  const bool scored = level == 0 && g.neighbor_scores.has_slot(node);
  g.layer(level).modify(node, [&](std::vector<uint32_t>& list) {
    if (!scored) {
      detail::cap_list_locked(g, level, node, list, nullptr, nullptr);
      return;
    }
    g.neighbor_scores.modify(node, [&](std::vector<float>& sc) {
      thread_local std::vector<float> kept_raws;
      if (detail::cap_list_locked(g, level, node, list, &sc, &kept_raws)) sc = kept_raws;
    });
  });
}

}  // namespace ulmora::hnsw
