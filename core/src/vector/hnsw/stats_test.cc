#include "vector/hnsw/stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/test_graphs.h"

namespace ulmora::hnsw {
namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// ---- A flat JSON object reader (members in order, values as raw text) ----

using Members = std::vector<std::pair<std::string, std::string>>;

// Parses {"k":v,...}\n with scalar values; fails the test on anything else.
Members parse_line(const std::string& line) {
  Members out;
  EXPECT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  size_t i = 0;
  EXPECT_EQ(line[i++], '{');
  while (i < line.size() && line[i] != '}') {
    EXPECT_EQ(line[i++], '"');
    size_t end = line.find('"', i);
    std::string key = line.substr(i, end - i);
    i = end + 1;
    EXPECT_EQ(line[i++], ':');
    size_t start = i;
    if (line[i] == '"') {
      for (++i; line[i] != '"'; ++i)
        if (line[i] == '\\') ++i;
      ++i;
    } else {
      while (line[i] != ',' && line[i] != '}') ++i;
    }
    out.emplace_back(key, line.substr(start, i - start));
    if (line[i] == ',') ++i;
  }
  EXPECT_EQ(line.substr(i), "}\n");
  return out;
}

std::vector<std::string> keys_of(const Members& m) {
  std::vector<std::string> keys;
  for (auto& [k, v] : m) keys.push_back(k);
  return keys;
}

std::string value(const Members& m, const std::string& key) {
  for (auto& [k, v] : m)
    if (k == key) return v;
  ADD_FAILURE() << "no member " << key;
  return {};
}

const std::vector<std::string> kSearchKeys = {
    "search_id",     "metric",        "ef_search",        "exact_fallback_enabled",
    "exact_fallback_threshold",       "collection_size",  "exact_scan",
    "top_id",        "top_raw",       "top_sort_key",     "step",
    "level",         "current_idx",   "current_point",    "current_sort_key",
    "visited",       "expanded",      "candidate_len",    "results_len",
    "worst_score",   "stop_reason",   "elapsed_ms"};

const std::vector<std::string> kInsertKeys = {"insert_id", "point_id",  "level",     "current_max_level",
                                              "layer",     "entry_point", "current_entry", "candidates",
                                              "neighbors", "best_neighbor", "elapsed_ms"};

// ---- Trace lines ----------------------------------------------------------

TEST(TraceJsonTest, SearchEventHasItsMembersInOrder) {
  SearchTraceEvent e;
  e.search_id = 7;
  e.metric = "Cosine+SQ8";
  e.ef_search = 10;
  e.current_sort_key = kNaN;
  e.worst_score = std::numeric_limits<float>::infinity();
  e.top_raw = 0.5f;
  e.stop_reason = "queue_empty";
  e.elapsed_ms = 1.0;
  const std::string line = search_trace_json(e);
  Members m = parse_line(line);
  EXPECT_EQ(keys_of(m), kSearchKeys);
  EXPECT_EQ(value(m, "metric"), "\"Cosine+SQ8\"");
  EXPECT_EQ(value(m, "top_id"), "null");
  EXPECT_EQ(value(m, "top_raw"), "0.5");
  EXPECT_EQ(value(m, "current_sort_key"), "null");  // non-finite floats are null
  EXPECT_EQ(value(m, "worst_score"), "null");
  EXPECT_EQ(value(m, "exact_scan"), "false");
  EXPECT_EQ(value(m, "stop_reason"), "\"queue_empty\"");
  EXPECT_EQ(value(m, "elapsed_ms"), "1.0");
  e.stop_reason.reset();
  EXPECT_EQ(value(parse_line(search_trace_json(e)), "stop_reason"), "null");
}

TEST(TraceJsonTest, InsertEventHasItsMembersInOrder) {
  InsertTraceEvent e;
  e.insert_id = 100;
  e.point_id = 42;
  e.best_neighbor = 3;
  Members m = parse_line(insert_trace_json(e));
  EXPECT_EQ(keys_of(m), kInsertKeys);
  EXPECT_EQ(value(m, "entry_point"), "null");
  EXPECT_EQ(value(m, "best_neighbor"), "3");
  EXPECT_EQ(value(m, "elapsed_ms"), "0.0");
}

std::vector<Members> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<Members> out;
  std::string line;
  while (std::getline(in, line)) out.push_back(parse_line(line + "\n"));
  return out;
}

// Runs in a fresh process with the search trace on and every step traced.
TEST(TraceFileTest, DISABLED_ChildSearchTrace) {
  const char* path = std::getenv("VECTORDB_SEARCH_TRACE_LOG");
  ASSERT_NE(path, nullptr);
  ASSERT_TRUE(search_trace_enabled());
  std::vector<ScoredNode> out;

  testing::TestGraph empty;
  auto none = testing::build(empty);
  ASSERT_TRUE(none->search(std::vector<float>{1.0f}, 3, {}, out).ok());
  auto chain_ix = testing::build(testing::knn_graph(Metric::kEuclidean, testing::random_vectors(30, 2, 1), 4));
  EXPECT_FALSE(chain_ix->search(std::vector<float>{1.0f}, 3, {}, out).ok());
  EXPECT_TRUE(read_lines(path).empty()) << "empty index and wrong length write nothing";

  // 1: graph search.
  ASSERT_TRUE(chain_ix->search(std::vector<float>{0.5f, 0.5f}, 3, {}, out).ok());
  std::vector<Members> lines = read_lines(path);
  ASSERT_GE(lines.size(), 3u);
  for (const Members& m : lines) {
    EXPECT_EQ(keys_of(m), kSearchKeys);
    EXPECT_EQ(value(m, "search_id"), "1");
    EXPECT_EQ(value(m, "metric"), "\"Euclidean\"");
  }
  EXPECT_EQ(value(lines.front(), "stop_reason"), "\"start\"");
  EXPECT_EQ(value(lines.front(), "ef_search"), "3");
  EXPECT_EQ(value(lines.front(), "collection_size"), "30");
  EXPECT_EQ(value(lines.front(), "exact_scan"), "false");
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(value(lines[i], "stop_reason"), "null");
    EXPECT_EQ(value(lines[i], "step"), std::to_string(i));
    EXPECT_EQ(value(lines[i], "ef_search"), "16");
  }
  const Members& end = lines.back();
  std::string stop = value(end, "stop_reason");
  EXPECT_TRUE(stop == "\"queue_empty\"" || stop == "\"early_exit_patience\"" || stop == "\"expansion_cap\"") << stop;
  EXPECT_EQ(value(end, "step"), std::to_string(lines.size() - 2));
  EXPECT_EQ(value(end, "current_idx"), "0");  // the entry node
  size_t before = lines.size();

  // 2: exact scan: exactly a start line and an exact-scan line.
  chain_ix->exact_fallback_enabled = true;
  ASSERT_TRUE(chain_ix->search(std::vector<float>{0.5f, 0.5f}, 3, {}, out).ok());
  chain_ix->exact_fallback_enabled = false;
  lines = read_lines(path);
  ASSERT_EQ(lines.size(), before + 2);
  const Members& start = lines[before];
  const Members& exact = lines[before + 1];
  EXPECT_EQ(value(start, "search_id"), "2");
  EXPECT_EQ(value(start, "exact_scan"), "true");
  EXPECT_EQ(value(exact, "stop_reason"), "\"exact_scan\"");
  EXPECT_EQ(value(exact, "top_id"), std::to_string(out[0].node));
  EXPECT_EQ(value(exact, "results_len"), "3");
  EXPECT_EQ(value(exact, "visited"), "30");
  before = lines.size();

  // 3: SQ8 route: a start line and one end line, no step lines.
  auto cos_ix = testing::build(testing::knn_graph(Metric::kCosine, testing::random_vectors(50, 4, 2), 6));
  cos_ix->quantize_sq8();
  SearchOptions o;
  o.rerank_factor = 2;
  ASSERT_TRUE(cos_ix->search(std::vector<float>{1, 0, 0, 0}, 5, o, out).ok());
  lines = read_lines(path);
  ASSERT_EQ(lines.size(), before + 2);
  EXPECT_EQ(value(lines[before + 1], "metric"), "\"Cosine+SQ8\"");
  EXPECT_EQ(value(lines[before + 1], "stop_reason"), "\"sq8_search_done\"");
  EXPECT_EQ(value(lines[before + 1], "ef_search"), "32");  // 16 * 2 candidates
  EXPECT_EQ(value(lines[before + 1], "search_id"), "3");
}

TEST(TraceFileTest, SearchTraceLinesInAFreshProcess) {
  std::string path = ::testing::TempDir() + "search_trace_" + std::to_string(getpid()) + ".jsonl";
  std::remove(path.c_str());
  EXPECT_EQ(testing::run_child("TraceFileTest.DISABLED_ChildSearchTrace",
                               {"VECTORDB_SEARCH_TRACE_LOG=" + path, "VECTORDB_TRACE_EVERY=1"}),
            0);
  std::remove(path.c_str());
}

TEST(TraceFileTest, DISABLED_ChildUnwritableTracePath) {
  EXPECT_FALSE(search_trace_enabled());
  auto g = testing::build(testing::knn_graph(Metric::kEuclidean, testing::random_vectors(20, 2, 1), 4));
  std::vector<ScoredNode> out;
  EXPECT_TRUE(g->search(std::vector<float>{0, 0}, 3, {}, out).ok());
  EXPECT_EQ(out.size(), 3u);
}

TEST(TraceFileTest, UncreatableTraceFileTurnsTracingOff) {
  EXPECT_EQ(testing::run_child("TraceFileTest.DISABLED_ChildUnwritableTracePath",
                               {"VECTORDB_SEARCH_TRACE_LOG=/nonexistent-dir/trace.jsonl"}),
            0);
}

// ---- Statistics -----------------------------------------------------------

TEST(StatsTest, PercentilesRoundHalfAwayFromZero) {
  std::vector<double> four{1, 2, 3, 4};
  EXPECT_EQ(percentile(four, 0.5), 3);  // index round(1.5) = 2
  EXPECT_EQ(percentile(four, 0.9), 4);
  EXPECT_EQ(percentile(four, 0.99), 4);
  std::vector<double> one{7};
  for (double q : {0.0, 0.5, 0.9, 0.99, 1.0}) EXPECT_EQ(percentile(one, q), 7);
  std::vector<double> three{1, 2, 3};
  EXPECT_EQ(percentile(three, 0.5), 2);
}

TEST(StatsTest, SummaryLineFormat) {
  std::vector<StatsSample> samples = {
      {10, 1, 1, 0.5f, 0.75f}, {20, 2, 2, 0.25f, 1.0f}, {40, 3, 3, 0.125f, 1.5f}, {0, 4, 4, 0.0f, 2.0f}};
  EXPECT_EQ(summarize_stats(samples),
            "[unfiltered_search_stats] n=4 ef_search=0..40 visited(min/p50/p90/p99/max)=1/3/4/4/4 "
            "expanded=1/3/4/4/4 util%=7.5/10.0/400.0/400.0/400.0 best_score=0.0000/0.2500/0.5000/0.5000/0.5000 "
            "worst_score=0.7500/1.5000/2.0000/2.0000/2.0000");
}

TEST(StatsTest, NanScoresSortLast) {
  std::vector<StatsSample> samples = {{10, 1, 1, kNaN, 1.0f}, {10, 1, 1, 2.0f, 1.0f}, {10, 1, 1, 1.0f, 1.0f}};
  std::string line = summarize_stats(samples);
  EXPECT_NE(line.find("best_score=1.0000/2.0000/NaN/NaN/NaN"), std::string::npos) << line;
}

struct CapturedLog {
  std::mutex mu;
  std::vector<std::pair<std::string, std::string>> records;  // target, message
  void install() {
    log::set_sink([this](const log::Record& r) {
      std::lock_guard<std::mutex> lock(mu);
      records.emplace_back(std::string(r.target), std::string(r.message));
    });
    log::set_max_level(log::Level::kInfo);
  }
  static void remove() {
    log::set_max_level(log::Level::kOff);
    log::set_sink(nullptr);
  }
};

TEST(StatsTest, ThreadExitSummarisesWhatIsLeft) {
  CapturedLog captured;
  captured.install();
  std::thread([] {
    record_unfiltered_stats(16, 30, 12, 0.1f, 0.9f);
    record_unfiltered_stats(16, 50, 20, 0.2f, 0.8f);
  }).join();
  std::thread([] {}).join();  // an empty buffer writes nothing
  CapturedLog::remove();
  ASSERT_EQ(captured.records.size(), 1u);
  EXPECT_EQ(captured.records[0].first, "ulmora::vector::hnsw::stats");
  EXPECT_EQ(captured.records[0].second.rfind("[unfiltered_search_stats] n=2 ef_search=16..16 ", 0), 0u);
}

TEST(StatsTest, DISABLED_ChildStatsEveryTwoSearches) {
  CapturedLog captured;
  captured.install();
  auto data = testing::random_vectors(40, 3, 4);
  auto g = testing::build(testing::knn_graph(Metric::kEuclidean, data, 5));
  std::vector<ScoredNode> out;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(g->search(data[i], 3, {}, out).ok());
  g->exact_fallback_enabled = true;  // exact scans record nothing
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(g->search(data[i], 3, {}, out).ok());
  CapturedLog::remove();
  size_t summaries = 0;
  for (auto& [target, message] : captured.records) {
    if (target != "ulmora::vector::hnsw::stats") continue;
    ++summaries;
    EXPECT_EQ(message.rfind("[unfiltered_search_stats] n=2 ef_search=16..16 visited(min/p50/p90/p99/max)=", 0), 0u)
        << message;
  }
  EXPECT_EQ(summaries, 2u);
}

TEST(StatsTest, SearchesRecordSamplesWhenSwitchedOn) {
  EXPECT_EQ(testing::run_child("StatsTest.DISABLED_ChildStatsEveryTwoSearches",
                               {"VECTORDB_LOG_UNFILTERED_SEARCH=1", "VECTORDB_LOG_UNFILTERED_EVERY=2"}),
            0);
}

}  // namespace
}  // namespace ulmora::hnsw
