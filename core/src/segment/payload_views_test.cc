// The list index and sorted views behind filters: exact number order across
// kinds, and match sets and estimates that stay equal to a per-point
// evaluation while the views are kept current through inserts, deletes,
// payload updates, purges and compaction, and built by concurrent readers.
#include "segment/payload_views.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "segment/compaction.h"
#include "segment/filter.h"
#include "segment/segment.h"

namespace ulmora {
namespace {

using Op = Filter::Op;

PayloadValue I(int64_t v) { return PayloadValue{v}; }
PayloadValue F(double v) { return PayloadValue{v}; }
PayloadValue S(std::string v) { return PayloadValue{std::move(v)}; }

TEST(PayloadViews, NumbersOrderExactlyAcrossKinds) {
  const int64_t big = (int64_t{1} << 53) + 1;
  EXPECT_EQ(compare_numbers(Number::of_int(big), Number::of_float(9007199254740992.0)), 1);
  EXPECT_EQ(compare_numbers(Number::of_float(9007199254740992.0), Number::of_int(big)), -1);
  EXPECT_EQ(compare_numbers(Number::of_int(3), Number::of_float(3.0)), 0);
  EXPECT_EQ(compare_numbers(Number::of_float(-0.0), Number::of_int(0)), 0);
  EXPECT_EQ(compare_numbers(Number::of_int(-2), Number::of_float(-2.5)), 1);
  EXPECT_EQ(compare_numbers(Number::of_int(INT64_MAX), Number::of_float(9223372036854775808.0)), -1);
  EXPECT_EQ(compare_numbers(Number::of_int(INT64_MIN), Number::of_float(-9223372036854775808.0)), 0);
  EXPECT_EQ(compare_numbers(Number::of_float(-1e300), Number::of_int(INT64_MIN)), -1);
}

// A payload drawn from a small value space, so that ranges, lists with
// repeats, kind mixes and missing keys all occur.
Payload random_payload(std::mt19937_64& rng) {
  Payload p;
  auto pick = [&](uint64_t n) { return rng() % n; };
  switch (pick(6)) {
    case 0: p["n"] = I(int64_t(pick(40)) - 20); break;
    case 1: p["n"] = F(double(pick(80)) / 2 - 20); break;
    case 2: p["n"] = PayloadValue{std::vector<int64_t>{int64_t(pick(40)) - 20, int64_t(pick(40)) - 20}}; break;
    case 3: p["n"] = pick(4) == 0 ? F(NAN) : PayloadValue{std::vector<double>{double(pick(9)), NAN}}; break;
    case 4: p["n"] = S(std::string(1, char('a' + pick(5)))); break;
    default: break;  // no "n"
  }
  std::vector<std::string> tags;
  for (uint64_t i = pick(4); i > 0; --i) tags.push_back(std::string(1, char('p' + pick(6))));
  if (pick(5) != 0) p["tags"] = PayloadValue{tags};
  else p["tags"] = S(std::string(1, char('p' + pick(6))));
  if (pick(3) == 0) p["w"] = PayloadValue{std::vector<bool>{pick(2) == 0}};
  return p;
}

std::vector<Filter> probe_filters() {
  return {
      Filter::compare(Op::kGt, "n", I(3)),
      Filter::compare(Op::kGte, "n", F(-2.5)),
      Filter::compare(Op::kLt, "n", F(0.5)),
      Filter::compare(Op::kLte, "n", I(-7)),
      Filter::compare(Op::kGt, "n", S("b")),
      Filter::compare(Op::kLte, "tags", S("r")),
      Filter::compare(Op::kEq, "tags", S("q")),
      Filter::compare(Op::kEq, "n", F(4.0)),
      Filter::in(false, "tags", {S("p"), S("s"), S("p")}),
      Filter::in(false, "n", {I(1), F(1.0), I(2), S("a")}),
      Filter::in(true, "tags", {S("r"), S("t")}),
      Filter::compare(Op::kNe, "w", PayloadValue{true}),
      Filter::has("n", true),
      Filter::has("tags", false),
      Filter::logic(Op::kAnd, {Filter::compare(Op::kGte, "n", I(-5)), Filter::compare(Op::kLt, "n", I(5))}),
  };
}

// Every probe's match set equals the per-point evaluation, and its
// estimate (on a single key) equals its size.
void expect_consistent(const Segment& seg, const char* when) {
  const std::vector<Filter> filters = probe_filters();
  for (size_t i = 0; i < filters.size(); ++i) {
    const Filter& f = filters[i];
    std::vector<uint64_t> want;
    seg.for_each_live([&](uint64_t id, uint64_t node) {
      auto it = seg.payloads().find(id);
      if (matches(f, id, it == seg.payloads().end() ? nullptr : &it->second)) want.push_back(node);
    });
    Result<MatchSet> m = match_set(f, seg);
    ASSERT_TRUE(m.ok());
    std::vector<uint64_t> got;
    m->for_each([&](uint64_t node) { got.push_back(node); });
    ASSERT_EQ(got, want) << when << ", filter " << i;
    if (f.op != Op::kAnd) {
      ASSERT_EQ(estimate_matches(f, seg), want.size()) << when << ", filter " << i;
    }
  }
}

TEST(PayloadViews, StayCurrentThroughEveryMutation) {
  std::mt19937_64 rng(7);
  auto seg = Segment::create(Metric::kEuclidean, 4, 16, 2);
  uint64_t next = 0;
  auto insert = [&] {
    const float x = float(next % 97);
    ASSERT_TRUE(seg->insert(next, {x, 1.0f}, random_payload(rng), Segment::Source::kReplay).ok());
    ++next;
  };
  for (int i = 0; i < 400; ++i) insert();
  expect_consistent(*seg, "built");  // builds every view
  // Enough changes to merge the deltas and the removal marks several times.
  for (int round = 0; round < 12; ++round) {
    for (int i = 0; i < 150; ++i) {
      const uint64_t r = rng() % 10;
      if (r < 5) {
        insert();
      } else if (r < 8) {
        // Deleted ids are refused (PointNotFound), which changes nothing.
        (void)seg->update_payload(rng() % next, random_payload(rng), Segment::Source::kReplay);
      } else {
        ASSERT_TRUE(seg->remove(rng() % next, Segment::Source::kReplay, Segment::Purge::kNever).ok());
      }
    }
    expect_consistent(*seg, "after changes");
  }
  ASSERT_TRUE(seg->rebuild().ok());
  expect_consistent(*seg, "after a purge");
  for (int i = 0; i < 50; ++i) insert();
  expect_consistent(*seg, "inserts after a purge");
  for (uint64_t id = 0; id < next; id += 3) ASSERT_TRUE(seg->remove(id, Segment::Source::kReplay).ok());
  auto compacted = purged_copy(*seg, 2);
  ASSERT_TRUE(compacted.ok());
  expect_consistent(**compacted, "after compaction");
}

TEST(PayloadViews, ConcurrentFirstUseBuildsOnce) {
  std::mt19937_64 rng(11);
  auto seg = Segment::create(Metric::kEuclidean, 4, 16, 2);
  for (uint64_t id = 0; id < 3000; ++id) {
    ASSERT_TRUE(seg->insert(id, {float(id % 31), 0.0f}, random_payload(rng), Segment::Source::kReplay).ok());
  }
  const std::vector<Filter> filters = probe_filters();
  std::vector<std::vector<uint64_t>> sizes(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < sizes.size(); ++t) {
    threads.emplace_back([&, t] {
      for (const Filter& f : filters) sizes[t].push_back(match_set(f, *seg)->size());
    });
  }
  for (auto& th : threads) th.join();
  for (size_t t = 1; t < sizes.size(); ++t) EXPECT_EQ(sizes[t], sizes[0]);
  expect_consistent(*seg, "after concurrent builds");
}

}  // namespace
}  // namespace ulmora
