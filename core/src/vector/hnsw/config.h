// Process-wide tuning values (VECTORDB_* variables). Each accessor reads its
// variable once, at first use, under a thread-safe one-time guard; later
// changes to the environment have no effect.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace ulmora::hnsw::tuning {

// Flags.
bool enforce_neighbor_caps();     // default on
bool neighbor_scan_rotate();      // default off
bool neighbor_scan_stride();      // default off
bool exact_fallback_enabled();    // default off
bool triangle_skip();             // VECTORDB_TI_SKIP, default off
bool disable_early_exit();        // default off
bool sq8_screen();                // default off
bool sq8_score_only();            // default off

// Counts (nothing = unset after the per-variable rule).
std::optional<uint64_t> exact_fallback_threshold();  // 0 counts
std::optional<uint64_t> diversity_prune_floor();     // 0 counts
std::optional<uint64_t> neighbor_scan_cap_level0();  // 0 -> UINT64_MAX (uncapped)
bool neighbor_scan_cap_level0_given_as_number();     // set and not 0 (for the config record)
std::optional<uint64_t> neighbor_scan_patience();    // >= 1
uint64_t early_exit_patience();                      // 0 counts; default 3
uint64_t search_expansion_mult();                    // >= 1; default 2
std::optional<uint64_t> search_expansion_cap();      // >= 1
std::optional<uint64_t> num_entry_seeds();           // >= 1
std::optional<uint64_t> adaptive_ef_high();          // >= 1
std::optional<uint64_t> sq8_rerank_factor();         // >= 1
std::optional<uint64_t> max_rss_bytes();             // >= 1 MiB count, saturating

// Floats (finite and > 0).
std::optional<float> diversity_alpha();
float diversity_alpha_high();  // default 1.0
float diversity_alpha_low();   // default 1.0
std::optional<float> adaptive_ef_score_threshold();

// Diagnostics group, read together at the first use of any of them.
struct Diagnostics {
  bool log_unfiltered_search = false;
  uint64_t log_unfiltered_every = 1000;  // >= 1
  std::optional<std::string> search_trace_log;
  std::optional<std::string> insert_trace_log;
  uint64_t trace_every = 100;  // >= 1
};
const Diagnostics& diagnostics();

// Filter-key group.
struct FilterKeyConfig {
  std::optional<std::set<std::string>> keys;  // VECTORDB_FILTER_KEYS
  std::optional<uint64_t> max_keys;           // VECTORDB_FILTER_MAX_KEYS, >= 1
};
const FilterKeyConfig& filter_key_config();

// One-time records (info level, target "vector::hnsw").
// At the first search or first new-index creation: the statistics switch.
void note_unfiltered_stats_switch();
// At the first beam setup: the neighbour-scan configuration.
void note_scan_config(uint64_t expansion_mult, uint64_t expansion_cap);

// Pure per-variable rules applied on top of the shared parse rules, and the
// texts of the two records (exposed for tests).
namespace rules {
// A parsed 0 counts as unset.
std::optional<uint64_t> at_least_one(std::optional<uint64_t> v);
// 0 means uncapped (UINT64_MAX).
std::optional<uint64_t> scan_cap(std::optional<uint64_t> v);
// Mebibytes to bytes, >= 1 only, saturating at UINT64_MAX.
std::optional<uint64_t> rss_bytes(std::optional<uint64_t> mebibytes);
std::string stats_switch_record(uint64_t every);
// `cap_given` is the scan cap as given (nothing when unset or 0).
std::string scan_config_record(std::optional<uint64_t> cap_given, bool rotate, bool stride, uint64_t expansion_mult,
                               uint64_t expansion_cap);
}  // namespace rules

}  // namespace ulmora::hnsw::tuning
