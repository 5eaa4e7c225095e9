// Every environment variable the core reads, in one place. Readers name a
// variable through its entry (env::flag(env::kWalFsync.name)), so a name is
// written once here; the settings table of docs/architecture.md is rendered
// from registry(), and env_registry_test checks both that table and that no
// VECTORDB_ name appears anywhere in the tree without an entry.
//
// The parse rules (flag, count, float, list) are those of base/env.h. The
// texts below are documentation: each reader still applies its own default
// and per-variable rule, next to the code that uses the value.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ulmora::env {

// "once" in `read` means once per process, under a one-time guard: later
// changes to the environment have no effect.
struct Setting {
  const char* name;
  const char* rule;      // how the text is parsed
  const char* fallback;  // what applies when unset or malformed
  const char* read;      // when the variable is consulted
  const char* meaning;   // one line
};

// When-read texts shared by several entries.
inline constexpr const char* kAtFirstSearch = "once, at the first beam search (a query's or an insert's)";
inline constexpr const char* kAtFirstSelect = "once, at the first neighbour selection of an insert";
inline constexpr const char* kAtFirstGraph = "once, when the first graph is created or loaded";
inline constexpr const char* kWithDiagnostics = "once, with the other trace variables, at the first use of any";
inline constexpr const char* kWithFilterKeys = "once, with the other filter-key variable, at the first payload insert";
inline constexpr const char* kAtGraphCreation = "at every new graph (build, compaction, purge), not at a load";
inline constexpr const char* kAtWriterOpen = "at every log writer open (a load that finds a log, compaction)";

// ---- Search (vector/hnsw, the beam and its options) ----

inline constexpr Setting kNeighborScanCapLevel0{
    "VECTORDB_NEIGHBOR_SCAN_CAP_LEVEL0", "count; 0 = uncapped", "uncapped", kAtFirstSearch,
    "cap on neighbours scanned per expanded level-0 node (the per-call scan_cap overrides)"};
inline constexpr Setting kNeighborScanPatience{
    "VECTORDB_NEIGHBOR_SCAN_PATIENCE", "count >= 1", "off", kAtFirstSearch,
    "stop scanning a node's list after this many rejected neighbours in a row (not for Dot)"};
inline constexpr Setting kNeighborScanRotate{"VECTORDB_NEIGHBOR_SCAN_ROTATE", "flag", "off", kAtFirstSearch,
                                             "capped scans start at a query-dependent offset in the list"};
inline constexpr Setting kNeighborScanStride{"VECTORDB_NEIGHBOR_SCAN_STRIDE", "flag", "off", kAtFirstSearch,
                                             "capped scans step through the list with a query-dependent stride"};
inline constexpr Setting kEarlyExitPatience{
    "VECTORDB_EARLY_EXIT_PATIENCE", "count", "3", kAtFirstSearch,
    "beam stops after more than this many expansions in a row improve nothing (Python passes `patience`)"};
inline constexpr Setting kDisableEarlyExit{"VECTORDB_DISABLE_EARLY_EXIT", "flag", "off", kAtFirstSearch,
                                           "turns the early-exit rule off, whatever the patience"};
inline constexpr Setting kSearchExpansionMult{"VECTORDB_SEARCH_EXPANSION_MULT", "count >= 1", "2", kAtFirstSearch,
                                              "expansion cap = ef x this multiple (not for Dot)"};
inline constexpr Setting kSearchExpansionCap{"VECTORDB_SEARCH_EXPANSION_CAP", "count >= 1", "ef x multiple",
                                             kAtFirstSearch, "fixed cap on node expansions per beam (not for Dot)"};
inline constexpr Setting kNumEntrySeeds{"VECTORDB_NUM_ENTRY_SEEDS", "count >= 1", "1", kAtFirstSearch,
                                        "level-0 search starts from this many seeds, found by a level-1 search"};
inline constexpr Setting kAdaptiveEfHigh{"VECTORDB_ADAPTIVE_EF_HIGH", "count >= 1", "off", kAtFirstSearch,
                                         "ef of a rerun when the best key is above the threshold below"};
inline constexpr Setting kAdaptiveEfScoreThreshold{"VECTORDB_ADAPTIVE_EF_SCORE_THRESHOLD", "float > 0", "off",
                                                   kAtFirstSearch,
                                                   "best key above which a search reruns with the high ef"};
inline constexpr Setting kTiSkip{"VECTORDB_TI_SKIP", "flag", "off", kAtFirstSearch,
                                 "skip neighbours the triangle inequality proves too far (Euclidean)"};
inline constexpr Setting kSq8Screen{"VECTORDB_SQ8_SCREEN", "flag", "off", kAtFirstSearch,
                                    "screen neighbours by SQ8 code score in the beam (Python calls pass `sq8_screen`)"};
inline constexpr Setting kSq8ScoreOnly{"VECTORDB_SQ8_SCORE_ONLY", "flag", "off", kAtFirstSearch,
                                       "SQ8 route returns code scores without the exact rerank"};
inline constexpr Setting kSq8RerankFactor{"VECTORDB_SQ8_RERANK_FACTOR", "count >= 1", "0 (plain beam)",
                                          kAtFirstSearch,
                                          "SQ8 route: rank by code score, rerank k x factor exactly (a per-call value overrides)"};
inline constexpr Setting kExactFallbackEnabled{
    "VECTORDB_EXACT_FALLBACK_ENABLED", "flag", "off", kAtFirstGraph,
    "small graphs are searched by an exact scan (a loaded graph takes this, not its stored flag)"};
inline constexpr Setting kExactFallbackThreshold{
    "VECTORDB_EXACT_FALLBACK_THRESHOLD", "count", "256 new; stored value on load", kAtFirstGraph,
    "live-node count at or below which the exact scan applies"};

// ---- Insertion and graph shape (vector/hnsw) ----

inline constexpr Setting kEnforceNeighborCaps{"VECTORDB_ENFORCE_NEIGHBOR_CAPS", "flag", "on",
                                              "once, at the first insert",
                                              "prune a neighbour's list back to its cap when a link overfills it"};
inline constexpr Setting kDiversityAlpha{"VECTORDB_DIVERSITY_ALPHA", "float > 0", "the high/low pair",
                                         kAtFirstSelect, "diversity factor of neighbour selection on every level"};
inline constexpr Setting kDiversityAlphaHigh{"VECTORDB_DIVERSITY_ALPHA_HIGH", "float > 0", "1.0", kAtFirstSelect,
                                             "diversity factor above level 0"};
inline constexpr Setting kDiversityAlphaLow{"VECTORDB_DIVERSITY_ALPHA_LOW", "float > 0", "1.0", kAtFirstSelect,
                                            "diversity factor on level 0"};
inline constexpr Setting kDiversityPruneFloor{"VECTORDB_DIVERSITY_PRUNE_FLOOR", "count", "off", kAtFirstSelect,
                                              "accept the best min(floor, M) candidates before the diversity test"};
inline constexpr Setting kLevelScale{"VECTORDB_LEVEL_SCALE", "float > 0 (double)", "1 / ln(M)", kAtGraphCreation,
                                     "scale of the random level draw; overrides the multiplier below"};
inline constexpr Setting kLevelScaleMult{"VECTORDB_LEVEL_SCALE_MULT", "float > 0 (double)", "1", kAtGraphCreation,
                                         "multiplies the default level scale 1 / ln(M)"};
inline constexpr Setting kMaxLevelCap{"VECTORDB_MAX_LEVEL_CAP", "count >= 1", "the requested cap", kAtGraphCreation,
                                      "highest level a node may draw (at most 255); wins over VECTORDB_MAX_LEVEL"};
inline constexpr Setting kMaxLevel{"VECTORDB_MAX_LEVEL", "count >= 1", "the requested cap", kAtGraphCreation,
                                   "older name of VECTORDB_MAX_LEVEL_CAP, read when that one is unset"};

// ---- Payloads and filter edges (segment, vector/hnsw) ----

inline constexpr Setting kFilterKeys{
    "VECTORDB_FILTER_KEYS", "comma list, trimmed", "every key", kWithFilterKeys,
    "payload keys that get filter edges; an empty list allows none; a segment's filter_keys win"};
inline constexpr Setting kFilterMaxKeys{"VECTORDB_FILTER_MAX_KEYS", "count >= 1", "no limit", kWithFilterKeys,
                                        "at most this many filter keys per point (not for a segment with filter_keys)"};
inline constexpr Setting kFilterEdges{"VECTORDB_FILTER_EDGES", "flag", "off",
                                      "at every insert whose payload has a filter key",
                                      "link each new point to its best peers sharing a payload value on level 0 "
                                      "(always on for a segment with filter_keys)"};

// ---- Segment, log and memory ----

inline constexpr Setting kWalFsync{"VECTORDB_WAL_FSYNC", "flag", "on", kAtWriterOpen,
                                   "flush the log once per mutation call before it returns"};
inline constexpr Setting kWalFsyncEvery{"VECTORDB_WAL_FSYNC_EVERY", "count; 0 = 1", "100", kAtWriterOpen,
                                        "with fsync off: flush after this many records"};
inline constexpr Setting kWalFsyncMs{"VECTORDB_WAL_FSYNC_MS", "count (ms)", "100", kAtWriterOpen,
                                     "with fsync off: flush when this long has passed since the last flush"};
inline constexpr Setting kWalAutoReplay{"VECTORDB_WAL_AUTO_REPLAY", "flag", "on",
                                        "at every ulmoradb.Index load (writers and read-only opens always replay)",
                                        "replay the log beside a snapshot when loading it"};
inline constexpr Setting kPurgeDeletions{
    "VECTORDB_PURGE_DELETIONS", "flag", "off", "at every delete that may purge (never a live segment's)",
    "rebuild the graph without deleted points once they are >= 100 and >= 25% of the nodes"};
inline constexpr Setting kMaxRssMb{"VECTORDB_MAX_RSS_MB", "count >= 1 (MiB)", "no cap",
                                   "once, at the first live insert",
                                   "above this resident size a live segment unloads and refuses mutations"};

// ---- Diagnostics ----

inline constexpr Setting kLogUnfilteredSearch{"VECTORDB_LOG_UNFILTERED_SEARCH", "flag", "off", kWithDiagnostics,
                                              "collect unfiltered-search statistics and log them in chunks"};
inline constexpr Setting kLogUnfilteredEvery{"VECTORDB_LOG_UNFILTERED_EVERY", "count >= 1", "1000",
                                             kWithDiagnostics, "searches per unfiltered-statistics record"};
inline constexpr Setting kSearchTraceLog{"VECTORDB_SEARCH_TRACE_LOG", "path", "no trace", kWithDiagnostics,
                                         "file that receives JSON trace events of every search (start, steps, end)"};
inline constexpr Setting kInsertTraceLog{"VECTORDB_INSERT_TRACE_LOG", "path", "no trace", kWithDiagnostics,
                                         "file that receives JSON trace events of every n-th insert"};
inline constexpr Setting kTraceEvery{"VECTORDB_TRACE_EVERY", "count >= 1", "100", kWithDiagnostics,
                                     "trace every n-th insert and every n-th step of a traced search"};
inline constexpr Setting kLogInsertTiming{"VECTORDB_LOG_INSERT_TIMING", "flag", "off", "at every one-point insert (log replay)",
                                          "log per-thread insert timings every 5,000 inserts"};
inline constexpr Setting kLogFilterEdgesAgg{
    "VECTORDB_LOG_FILTER_EDGES_AGG", "set and not \"0\"/\"false\"", "off", "at every filter-edge linking",
    "log filter-edge timing aggregates every 10,000 points"};
inline constexpr Setting kLogSnapshotLoadTiming{"VECTORDB_LOG_SNAPSHOT_LOAD_TIMING", "flag", "off",
                                                "at every load", "print a load timing line on standard error"};

// ---- Kernels and test seams ----

inline constexpr Setting kKernels{
    "ULMORA_KERNELS", "portable|avx|avx2_fma|avx512_vnni", "the widest the CPU runs",
    "once, at the first distance computation",
    "pick a narrower kernel table (benchmarks, tests); a table the CPU lacks is ignored"};
inline constexpr Setting kFault{"ULMORA_FAULT", "action@n[:op][:errno]", "no fault",
                                "once, at the first file operation",
                                "test seam: fail or kill the process at the n-th file operation (base/file.h)"};
inline constexpr Setting kFaultTrace{"ULMORA_FAULT_TRACE", "exactly \"1\"", "off",
                                     "once, at the first file operation",
                                     "test seam: print every file operation on standard error"};

// Every entry above, in table order.
std::span<const Setting* const> registry();

// The entry named `name`, or nullptr.
const Setting* find(std::string_view name);

// The settings table of docs/architecture.md (Markdown, one row per entry).
std::string render_table();

// Marker comments around the table in the document.
inline constexpr std::string_view kTableBegin = "<!-- settings table: generated, do not edit -->";
inline constexpr std::string_view kTableEnd = "<!-- end of settings table -->";

// `doc` with the text between the markers replaced by `table`; nothing when
// either marker is missing or out of order.
std::optional<std::string> replace_table(std::string_view doc, std::string_view table);

}  // namespace ulmora::env
