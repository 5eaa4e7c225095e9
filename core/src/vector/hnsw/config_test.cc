#include "vector/hnsw/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/log.h"

namespace ulmora::hnsw::tuning {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

TEST(TuningRules, PerVariableCountRules) {
  EXPECT_EQ(rules::at_least_one(std::nullopt), std::nullopt);
  EXPECT_EQ(rules::at_least_one(0), std::nullopt);
  EXPECT_EQ(rules::at_least_one(5), 5u);
  EXPECT_EQ(rules::scan_cap(0), kMax);
  EXPECT_EQ(rules::scan_cap(std::nullopt), std::nullopt);
  EXPECT_EQ(rules::scan_cap(12), 12u);
  EXPECT_EQ(rules::rss_bytes(1), 1048576u);
  EXPECT_EQ(rules::rss_bytes(0), std::nullopt);
  EXPECT_EQ(rules::rss_bytes((uint64_t{1} << 44) - 1), ((uint64_t{1} << 44) - 1) << 20);
  EXPECT_EQ(rules::rss_bytes(uint64_t{1} << 44), kMax);
}

TEST(TuningRules, RecordTexts) {
  EXPECT_EQ(rules::stats_switch_record(1000),
            "[unfiltered_search_stats] enabled (chunk=1000, set VECTORDB_LOG_UNFILTERED_EVERY to change)");
  EXPECT_EQ(rules::scan_config_record(std::nullopt, false, false, 2, 256),
            "Neighbor scan cap L0=none rotation=off rotation_stride=off expansion_mult=2 expansion_cap=256");
  EXPECT_EQ(rules::scan_config_record(40, true, true, 3, 7),
            "Neighbor scan cap L0=40 rotation=on rotation_stride=enabled expansion_mult=3 expansion_cap=7");
}

// Each scenario runs in a fresh process (the values are read once per
// process): it sets its variables, then checks the accessors, twice, with
// the environment changed in between to show the first read sticks.
struct Scenario {
  const char* name;
  std::vector<std::pair<const char*, const char*>> env;
  std::function<bool()> check;
};

class TuningScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(TuningScenario, ReadsOnceWithTheSharedRules) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Scenario& sc = GetParam();
  EXPECT_EXIT(
      {
        for (const auto& [k, v] : sc.env) setenv(k, v, 1);
        bool first = sc.check();
        for (const auto& [k, v] : sc.env) setenv(k, "0", 1);
        bool second = sc.check();
        if (!first) std::fprintf(stderr, "first read wrong\n");
        if (!second) std::fprintf(stderr, "value changed after first read\n");
        std::exit(first && second ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

std::vector<Scenario> scenarios() {
  return {
      {"Defaults",
       {},
       [] {
         return enforce_neighbor_caps() && !neighbor_scan_rotate() && !neighbor_scan_stride() &&
                !exact_fallback_enabled() && !triangle_skip() && !disable_early_exit() && !sq8_screen() &&
                !sq8_score_only() && !exact_fallback_threshold() && !diversity_prune_floor() &&
                !neighbor_scan_cap_level0() && !neighbor_scan_cap_level0_given_as_number() &&
                !neighbor_scan_patience() && early_exit_patience() == 3 && search_expansion_mult() == 2 &&
                !search_expansion_cap() && !num_entry_seeds() && !adaptive_ef_high() && !sq8_rerank_factor() &&
                !max_rss_bytes() && !diversity_alpha() && diversity_alpha_high() == 1.0f &&
                diversity_alpha_low() == 1.0f && !adaptive_ef_score_threshold() &&
                !diagnostics().log_unfiltered_search && diagnostics().log_unfiltered_every == 1000 &&
                !diagnostics().search_trace_log && diagnostics().trace_every == 100 && !filter_key_config().keys &&
                !filter_key_config().max_keys;
       }},
      {"FlagsAndZeroCounts",
       {{"VECTORDB_ENFORCE_NEIGHBOR_CAPS", "FALSE"},
        {"VECTORDB_SQ8_SCREEN", "off"},
        {"VECTORDB_TI_SKIP", ""},
        {"VECTORDB_NEIGHBOR_SCAN_ROTATE", " false"},
        {"VECTORDB_SEARCH_EXPANSION_MULT", "0"},
        {"VECTORDB_EARLY_EXIT_PATIENCE", "0"},
        {"VECTORDB_LOG_UNFILTERED_EVERY", "0"},
        {"VECTORDB_NEIGHBOR_SCAN_CAP_LEVEL0", "0"},
        {"VECTORDB_MAX_RSS_MB", "0"},
        {"VECTORDB_EXACT_FALLBACK_THRESHOLD", "0"},
        {"VECTORDB_DIVERSITY_ALPHA", "0"}},
       [] {
         return !enforce_neighbor_caps() && sq8_screen() && triangle_skip() && neighbor_scan_rotate() &&
                search_expansion_mult() == 2 && early_exit_patience() == 0 &&
                diagnostics().log_unfiltered_every == 1000 && neighbor_scan_cap_level0() == kMax &&
                !neighbor_scan_cap_level0_given_as_number() && !max_rss_bytes() &&
                exact_fallback_threshold() == 0u && !diversity_alpha();
       }},
      {"CountForms",
       {{"VECTORDB_SEARCH_EXPANSION_MULT", "1_0"},
        {"VECTORDB_NUM_ENTRY_SEEDS", "+3"},
        {"VECTORDB_ADAPTIVE_EF_HIGH", " 3"},
        {"VECTORDB_SQ8_RERANK_FACTOR", "abc"},
        {"VECTORDB_SEARCH_EXPANSION_CAP", "18446744073709551616"},
        {"VECTORDB_NEIGHBOR_SCAN_CAP_LEVEL0", "40"},
        {"VECTORDB_MAX_RSS_MB", "1"},
        {"VECTORDB_DIVERSITY_ALPHA", "1_5e-1"},
        {"VECTORDB_DIVERSITY_ALPHA_HIGH", "-1"},
        {"VECTORDB_ADAPTIVE_EF_SCORE_THRESHOLD", "inf"}},
       [] {
         return search_expansion_mult() == 10 && num_entry_seeds() == 3u && !adaptive_ef_high() &&
                !sq8_rerank_factor() && !search_expansion_cap() && neighbor_scan_cap_level0() == 40u &&
                neighbor_scan_cap_level0_given_as_number() && max_rss_bytes() == 1048576u &&
                diversity_alpha() == 1.5f && diversity_alpha_high() == 1.0f && !adaptive_ef_score_threshold();
       }},
      {"Groups",
       {{"VECTORDB_FILTER_KEYS", " a, ,b ,a"},
        {"VECTORDB_FILTER_MAX_KEYS", "4"},
        {"VECTORDB_LOG_UNFILTERED_SEARCH", "1"},
        {"VECTORDB_SEARCH_TRACE_LOG", " /tmp/x y"},
        {"VECTORDB_TRACE_EVERY", "7"}},
       [] {
         const auto& f = filter_key_config();
         const auto& d = diagnostics();
         return f.keys == std::set<std::string>{"a", "b"} && f.max_keys == 4u && d.log_unfiltered_search &&
                d.search_trace_log == std::string(" /tmp/x y") && !d.insert_trace_log && d.trace_every == 7;
       }},
      {"EmptyFilterKeyList", {{"VECTORDB_FILTER_KEYS", " , "}}, [] {
         return filter_key_config().keys.has_value() && filter_key_config().keys->empty();
       }},
  };
}

INSTANTIATE_TEST_SUITE_P(Env, TuningScenario, ::testing::ValuesIn(scenarios()),
                         [](const auto& info) { return std::string(info.param.name); });

// The two records: exact texts, target, info level, emitted once each.
[[noreturn]] void records_child() {
  setenv("VECTORDB_LOG_UNFILTERED_SEARCH", "true", 1);
  setenv("VECTORDB_LOG_UNFILTERED_EVERY", "50", 1);
  setenv("VECTORDB_NEIGHBOR_SCAN_CAP_LEVEL0", "0", 1);
  setenv("VECTORDB_NEIGHBOR_SCAN_STRIDE", "1", 1);
  std::vector<std::string> seen;
  log::set_max_level(log::Level::kInfo);
  log::set_sink([&](const log::Record& r) {
    if (r.level == log::Level::kInfo && r.target == "vector::hnsw") seen.emplace_back(r.message);
  });
  note_unfiltered_stats_switch();
  note_unfiltered_stats_switch();
  note_scan_config(3, 600);
  note_scan_config(4, 800);
  const std::vector<std::string> want = {
      "[unfiltered_search_stats] enabled (chunk=50, set VECTORDB_LOG_UNFILTERED_EVERY to change)",
      "Neighbor scan cap L0=none rotation=off rotation_stride=enabled expansion_mult=3 expansion_cap=600"};
  for (const auto& s : seen) std::fprintf(stderr, "record: %s\n", s.c_str());
  std::exit(seen == want ? 0 : 1);
}

TEST(TuningRecords, EmittedOnceThroughTheFacade) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(records_child(), ::testing::ExitedWithCode(0), "");
}

TEST(TuningRecords, StatsSwitchOffEmitsNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsetenv("VECTORDB_LOG_UNFILTERED_SEARCH");
        int records = 0;
        log::set_max_level(log::Level::kTrace);
        log::set_sink([&](const log::Record&) { ++records; });
        note_unfiltered_stats_switch();
        std::exit(records == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ulmora::hnsw::tuning
