// Process-wide tuning values. Each accessor owns a function-local static:
// the first caller reads and parses the variable, concurrent first callers
// wait for it, and later calls only load the stored value.
#include "vector/hnsw/config.h"

#include <limits>

#include "base/env.h"
#include "base/env_registry.h"
#include "base/log.h"

namespace ulmora::hnsw::tuning {

namespace rules {

std::optional<uint64_t> at_least_one(std::optional<uint64_t> v) {
  if (v && *v == 0) return std::nullopt;
  return v;
}

std::optional<uint64_t> scan_cap(std::optional<uint64_t> v) {
  if (v && *v == 0) return std::numeric_limits<uint64_t>::max();
  return v;
}

std::optional<uint64_t> rss_bytes(std::optional<uint64_t> mebibytes) {
  auto v = at_least_one(mebibytes);
  if (!v) return std::nullopt;
  constexpr uint64_t kMaxMib = (uint64_t{1} << 44) - 1;
  if (*v > kMaxMib) return std::numeric_limits<uint64_t>::max();
  return *v << 20;
}

std::string stats_switch_record(uint64_t every) {
  return "[unfiltered_search_stats] enabled (chunk=" + std::to_string(every) +
         ", set VECTORDB_LOG_UNFILTERED_EVERY to change)";
}

std::string scan_config_record(std::optional<uint64_t> cap_given, bool rotate, bool stride, uint64_t expansion_mult,
                               uint64_t expansion_cap) {
  return "Neighbor scan cap L0=" + (cap_given ? std::to_string(*cap_given) : std::string("none")) +
         " rotation=" + (rotate ? "on" : "off") + " rotation_stride=" + (stride ? "enabled" : "off") +
         " expansion_mult=" + std::to_string(expansion_mult) + " expansion_cap=" + std::to_string(expansion_cap);
}

}  // namespace rules

namespace {

constexpr const char* kTarget = "vector::hnsw";

bool flag_or(const char* name, bool fallback) { return env::flag(name).value_or(fallback); }

}  // namespace

// ---- Flags ----

bool enforce_neighbor_caps() {
  static const bool v = flag_or(env::kEnforceNeighborCaps.name, true);
  return v;
}
bool neighbor_scan_rotate() {
  static const bool v = flag_or(env::kNeighborScanRotate.name, false);
  return v;
}
bool neighbor_scan_stride() {
  static const bool v = flag_or(env::kNeighborScanStride.name, false);
  return v;
}
bool exact_fallback_enabled() {
  static const bool v = flag_or(env::kExactFallbackEnabled.name, false);
  return v;
}
bool triangle_skip() {
  static const bool v = flag_or(env::kTiSkip.name, false);
  return v;
}
bool disable_early_exit() {
  static const bool v = flag_or(env::kDisableEarlyExit.name, false);
  return v;
}
bool sq8_screen() {
  static const bool v = flag_or(env::kSq8Screen.name, false);
  return v;
}
bool sq8_score_only() {
  static const bool v = flag_or(env::kSq8ScoreOnly.name, false);
  return v;
}

// ---- Counts ----

std::optional<uint64_t> exact_fallback_threshold() {
  static const std::optional<uint64_t> v = env::count(env::kExactFallbackThreshold.name);
  return v;
}
std::optional<uint64_t> diversity_prune_floor() {
  static const std::optional<uint64_t> v = env::count(env::kDiversityPruneFloor.name);
  return v;
}

namespace {
// The scan cap as given; the accessors below derive from one read.
const std::optional<uint64_t>& scan_cap_given() {
  static const std::optional<uint64_t> v = env::count(env::kNeighborScanCapLevel0.name);
  return v;
}
}  // namespace

std::optional<uint64_t> neighbor_scan_cap_level0() { return rules::scan_cap(scan_cap_given()); }
bool neighbor_scan_cap_level0_given_as_number() { return rules::at_least_one(scan_cap_given()).has_value(); }

std::optional<uint64_t> neighbor_scan_patience() {
  static const std::optional<uint64_t> v = rules::at_least_one(env::count(env::kNeighborScanPatience.name));
  return v;
}
uint64_t early_exit_patience() {
  static const uint64_t v = env::count(env::kEarlyExitPatience.name).value_or(3);
  return v;
}
uint64_t search_expansion_mult() {
  static const uint64_t v = rules::at_least_one(env::count(env::kSearchExpansionMult.name)).value_or(2);
  return v;
}
std::optional<uint64_t> search_expansion_cap() {
  static const std::optional<uint64_t> v = rules::at_least_one(env::count(env::kSearchExpansionCap.name));
  return v;
}
std::optional<uint64_t> num_entry_seeds() {
  static const std::optional<uint64_t> v = rules::at_least_one(env::count(env::kNumEntrySeeds.name));
  return v;
}
std::optional<uint64_t> adaptive_ef_high() {
  static const std::optional<uint64_t> v = rules::at_least_one(env::count(env::kAdaptiveEfHigh.name));
  return v;
}
std::optional<uint64_t> sq8_rerank_factor() {
  static const std::optional<uint64_t> v = rules::at_least_one(env::count(env::kSq8RerankFactor.name));
  return v;
}
std::optional<uint64_t> max_rss_bytes() {
  static const std::optional<uint64_t> v = rules::rss_bytes(env::count(env::kMaxRssMb.name));
  return v;
}

// ---- Floats ----

std::optional<float> diversity_alpha() {
  static const std::optional<float> v = env::positive_f32(env::kDiversityAlpha.name);
  return v;
}
float diversity_alpha_high() {
  static const float v = env::positive_f32(env::kDiversityAlphaHigh.name).value_or(1.0f);
  return v;
}
float diversity_alpha_low() {
  static const float v = env::positive_f32(env::kDiversityAlphaLow.name).value_or(1.0f);
  return v;
}
std::optional<float> adaptive_ef_score_threshold() {
  static const std::optional<float> v = env::positive_f32(env::kAdaptiveEfScoreThreshold.name);
  return v;
}

// ---- Groups ----

const Diagnostics& diagnostics() {
  static const Diagnostics d = [] {
    Diagnostics r;
    r.log_unfiltered_search = flag_or(env::kLogUnfilteredSearch.name, false);
    r.log_unfiltered_every = rules::at_least_one(env::count(env::kLogUnfilteredEvery.name)).value_or(1000);
    r.search_trace_log = env::lookup(env::kSearchTraceLog.name);
    r.insert_trace_log = env::lookup(env::kInsertTraceLog.name);
    r.trace_every = rules::at_least_one(env::count(env::kTraceEvery.name)).value_or(100);
    return r;
  }();
  return d;
}

const FilterKeyConfig& filter_key_config() {
  static const FilterKeyConfig c = [] {
    FilterKeyConfig r;
    if (auto text = env::lookup(env::kFilterKeys.name)) r.keys = env::parse_list(*text);
    r.max_keys = rules::at_least_one(env::count(env::kFilterMaxKeys.name));
    return r;
  }();
  return c;
}

// ---- One-time records ----

void note_unfiltered_stats_switch() {
  static const bool done = [] {
    const Diagnostics& d = diagnostics();
    if (d.log_unfiltered_search) {
      ULMORA_LOG(log::Level::kInfo, kTarget, rules::stats_switch_record(d.log_unfiltered_every));
    }
    return true;
  }();
  (void)done;
}

void note_scan_config(uint64_t expansion_mult, uint64_t expansion_cap) {
  static const bool done = [&] {
    std::optional<uint64_t> given = rules::at_least_one(scan_cap_given());
    ULMORA_LOG(log::Level::kInfo, kTarget,
               rules::scan_config_record(given, neighbor_scan_rotate(), neighbor_scan_stride(), expansion_mult,
                                         expansion_cap));
    return true;
  }();
  (void)done;
}

}  // namespace ulmora::hnsw::tuning
