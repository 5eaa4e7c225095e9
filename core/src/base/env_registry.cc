#include "base/env_registry.h"

namespace ulmora::env {

namespace {

constexpr const Setting* kAll[] = {
    // Search.
    &kNeighborScanCapLevel0, &kNeighborScanPatience, &kNeighborScanRotate, &kNeighborScanStride, &kEarlyExitPatience,
    &kDisableEarlyExit, &kSearchExpansionMult, &kSearchExpansionCap, &kNumEntrySeeds, &kAdaptiveEfHigh,
    &kAdaptiveEfScoreThreshold, &kTiSkip, &kSq8Screen, &kSq8ScoreOnly, &kSq8RerankFactor, &kExactFallbackEnabled,
    &kExactFallbackThreshold,
    // Insertion and graph shape.
    &kEnforceNeighborCaps, &kDiversityAlpha, &kDiversityAlphaHigh, &kDiversityAlphaLow, &kDiversityPruneFloor,
    &kLevelScale, &kLevelScaleMult, &kMaxLevelCap, &kMaxLevel,
    // Payloads and filter edges.
    &kFilterKeys, &kFilterMaxKeys, &kFilterEdges,
    // Segment, log and memory.
    &kWalFsync, &kWalFsyncEvery, &kWalFsyncMs, &kWalAutoReplay, &kPurgeDeletions, &kMaxRssMb,
    // Diagnostics.
    &kLogUnfilteredSearch, &kLogUnfilteredEvery, &kSearchTraceLog, &kInsertTraceLog, &kTraceEvery, &kLogInsertTiming,
    &kLogFilterEdgesAgg, &kLogSnapshotLoadTiming,
    // Kernels and test seams.
    &kKernels, &kFault, &kFaultTrace,
};

// A table cell: a '|' would end the cell, so it is escaped.
std::string cell(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '|') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::span<const Setting* const> registry() { return kAll; }

const Setting* find(std::string_view name) {
  for (const Setting* s : kAll)
    if (name == s->name) return s;
  return nullptr;
}

std::string render_table() {
  std::string out = "| Variable | Rule | Default | Read | Meaning |\n|---|---|---|---|---|\n";
  for (const Setting* s : kAll) {
    out += "| `" + std::string(s->name) + "` | " + cell(s->rule) + " | " + cell(s->fallback) + " | " + cell(s->read) +
           " | " + cell(s->meaning) + " |\n";
  }
  return out;
}

std::optional<std::string> replace_table(std::string_view doc, std::string_view table) {
  const size_t begin = doc.find(kTableBegin);
  if (begin == std::string_view::npos) return std::nullopt;
  const size_t body = begin + kTableBegin.size();
  const size_t end = doc.find(kTableEnd, body);
  if (end == std::string_view::npos) return std::nullopt;
  std::string out(doc.substr(0, body));
  out += "\n";
  out += table;
  out += doc.substr(end);
  return out;
}

}  // namespace ulmora::env
