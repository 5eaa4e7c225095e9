#include "segment/filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "segment/segment.h"

namespace ulmora {
namespace {

using Op = Filter::Op;

PayloadValue I(int64_t v) { return PayloadValue{v}; }
PayloadValue F(double v) { return PayloadValue{v}; }
PayloadValue S(const char* v) { return PayloadValue{std::string(v)}; }
PayloadValue B(bool v) { return PayloadValue{v}; }

Filter cmp(Op op, PayloadValue v) { return Filter::compare(op, "k", std::move(v)); }

// One stored value under "k", one filter, the expected answer.
struct Case {
  const char* name;
  PayloadValue stored;
  Filter filter;
  bool expected;
};

void run(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    ASSERT_TRUE(check_filter(c.filter).ok()) << c.name;
    const Payload p{{"k", c.stored}};
    EXPECT_EQ(matches(c.filter, 1, &p), c.expected) << c.name;
  }
}

TEST(FilterMatch, NumbersCompareByValueWhateverTheirKind) {
  const int64_t big = (int64_t{1} << 53) + 1;  // not a double
  run({
      {"int eq float", I(3), cmp(Op::kEq, F(3.0)), true},
      {"float eq int", F(3.0), cmp(Op::kEq, I(3)), true},
      {"float 3.5 ne int 3", F(3.5), cmp(Op::kNe, I(3)), true},
      {"-0.0 eq 0", F(-0.0), cmp(Op::kEq, I(0)), true},
      {"2^53+1 ne its rounded double", I(big), cmp(Op::kEq, F(9007199254740992.0)), false},
      {"2^53+1 gt its rounded double", I(big), cmp(Op::kGt, F(9007199254740992.0)), true},
      {"rounded double lt 2^53+1", F(9007199254740992.0), cmp(Op::kLt, I(big)), true},
      {"int64 max lt 2^63", I(INT64_MAX), cmp(Op::kLt, F(9223372036854775808.0)), true},
      {"int64 min eq -2^63", I(INT64_MIN), cmp(Op::kEq, F(-9223372036854775808.0)), true},
      {"2 lt 2.5", I(2), cmp(Op::kLt, F(2.5)), true},
      {"-2 gt -2.5", I(-2), cmp(Op::kGt, F(-2.5)), true},
      {"gte on equal", F(4.0), cmp(Op::kGte, I(4)), true},
      {"lte on greater", I(5), cmp(Op::kLte, F(4.9)), false},
      {"stored NaN equals nothing", F(NAN), cmp(Op::kEq, F(1.0)), false},
      {"stored NaN is not ordered", F(NAN), cmp(Op::kGt, F(-1e300)), false},
      {"stored NaN is ne anything", F(NAN), cmp(Op::kNe, F(1.0)), true},
      {"in over kinds", F(7.0), Filter::in(false, "k", {S("7"), I(7)}), true},
      {"nin over kinds", I(7), Filter::in(true, "k", {F(7.0)}), false},
  });
}

TEST(FilterMatch, BoolsAndStringsKeepToTheirOwnKind) {
  run({
      {"true ne 1", B(true), cmp(Op::kEq, I(1)), false},
      {"1 ne true", I(1), cmp(Op::kEq, B(true)), false},
      {"false eq false", B(false), cmp(Op::kEq, B(false)), true},
      {"true ne false", B(true), cmp(Op::kNe, B(false)), true},
      {"bool in", B(true), Filter::in(false, "k", {I(1), B(true)}), true},
      {"string eq", S("red"), cmp(Op::kEq, S("red")), true},
      {"string ne number", S("3"), cmp(Op::kEq, I(3)), false},
      {"string range by bytes", S("b"), cmp(Op::kGt, S("a")), true},
      {"uppercase sorts first", S("Z"), cmp(Op::kLt, S("a")), true},
      {"high bytes sort last", S("\xc3\xa9"), cmp(Op::kGt, S("z")), true},
      {"prefix sorts first", S("ab"), cmp(Op::kLt, S("abc")), true},
      {"number never ordered against string", I(3), cmp(Op::kLt, S("9")), false},
      {"ne across kinds matches", I(3), cmp(Op::kNe, S("3")), true},
  });
}

TEST(FilterMatch, ListsMatchWhenAnyElementDoesAndNeWhenNoneDoes) {
  const PayloadValue tags{std::vector<std::string>{"a", "b"}};
  const PayloadValue nums{std::vector<int64_t>{1, 10}};
  run({
      {"eq element", tags, cmp(Op::kEq, S("b")), true},
      {"eq no element", tags, cmp(Op::kEq, S("c")), false},
      {"ne with an equal element", tags, cmp(Op::kNe, S("a")), false},
      {"ne with none equal", tags, cmp(Op::kNe, S("c")), true},
      {"in any", tags, Filter::in(false, "k", {S("x"), S("a")}), true},
      {"nin with one present", tags, Filter::in(true, "k", {S("x"), S("a")}), false},
      {"nin with none present", tags, Filter::in(true, "k", {S("x")}), true},
      {"range on different elements", nums, Filter::logic(Op::kAnd, {cmp(Op::kLt, I(5)), cmp(Op::kGt, I(5))}), true},
      {"float element eq int", PayloadValue{std::vector<double>{2.0}}, cmp(Op::kEq, I(2)), true},
      {"bool element", PayloadValue{std::vector<bool>{false, true}}, cmp(Op::kEq, B(true)), true},
      {"empty list ne", PayloadValue{std::vector<int64_t>{}}, cmp(Op::kNe, I(1)), true},
      {"empty list eq", PayloadValue{std::vector<int64_t>{}}, cmp(Op::kEq, I(1)), false},
  });
}

TEST(FilterMatch, MissingKeysMatchOnlyNeNinAndExistsFalse) {
  const Payload other{{"x", I(1)}};
  const std::vector<std::pair<Filter, bool>> table = {
      {cmp(Op::kEq, I(1)), false},       {cmp(Op::kNe, I(1)), true},
      {cmp(Op::kGt, I(0)), false},       {Filter::in(false, "k", {I(1)}), false},
      {Filter::in(true, "k", {I(1)}), true}, {Filter::has("k", true), false},
      {Filter::has("k", false), true},   {Filter::negate(cmp(Op::kGt, I(0))), true},
  };
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(matches(table[i].first, 1, &other), table[i].second) << i;
    EXPECT_EQ(matches(table[i].first, 1, nullptr), table[i].second) << i;
  }
}

TEST(FilterCheck, RefusesMalformedFiltersNamingThePart) {
  Filter deep = cmp(Op::kEq, I(1));
  for (int i = 0; i < 32; ++i) deep = Filter::negate(std::move(deep));
  Filter bad_ids;
  bad_ids.op = Op::kIdIn;
  bad_ids.ids = {3, 1};
  const std::vector<std::pair<Filter, std::string>> table = {
      {deep, "nesting deeper than 32 levels"},
      {cmp(Op::kGt, B(true)), "$gt on 'k': a range does not apply to a bool"},
      {cmp(Op::kEq, F(NAN)), "$eq on 'k': NaN operand"},
      {Filter::in(false, "k", {I(1), F(NAN)}), "$in on 'k': NaN operand"},
      {cmp(Op::kEq, PayloadValue{std::vector<int64_t>{1}}), "$eq on 'k': operand must be a number, string or bool"},
      {Filter::logic(Op::kOr, {}), "$or: needs at least one filter"},
      {Filter::logic(Op::kNot, {}), "$not: needs exactly one filter"},
      {bad_ids, "$id $in: ids must be sorted and distinct"},
  };
  for (const auto& [f, text] : table) {
    Status s = check_filter(f);
    ASSERT_FALSE(s.ok()) << text;
    EXPECT_EQ(s.error().kind(), ErrorKind::kInvalidFilter);
    EXPECT_EQ(s.error().text(), text);
  }
  Filter ok_depth = cmp(Op::kEq, I(1));
  for (int i = 0; i < 31; ++i) ok_depth = Filter::negate(std::move(ok_depth));
  EXPECT_TRUE(check_filter(ok_depth).ok());
}

// ---- Match sets over a segment -------------------------------------------

std::unique_ptr<Segment> sample_segment(uint64_t n) {
  auto seg = Segment::create(Metric::kEuclidean, 4, 16, 2);
  for (uint64_t id = 0; id < n; ++id) {
    Payload p{{"n", id % 2 ? I(int64_t(id % 5)) : F(double(id % 5))}, {"c", S(id % 3 ? "a" : "b")}};
    if (id % 7 == 0) p["tags"] = PayloadValue{std::vector<std::string>{"x", id % 2 ? "odd" : "even"}};
    if (id % 11 == 0) p.erase("n");
    std::optional<Payload> payload;
    if (id % 13 != 0) payload = std::move(p);
    EXPECT_TRUE(seg->insert(id, {float(id), 1.0f}, std::move(payload), Segment::Source::kReplay).ok());
  }
  return seg;
}

std::vector<uint64_t> reference(const Segment& seg, const Filter& f) {
  std::vector<uint64_t> out;
  seg.for_each_live([&](uint64_t id, uint64_t node) {
    auto it = seg.payloads().find(id);
    if (matches(f, id, it == seg.payloads().end() ? nullptr : &it->second)) out.push_back(node);
  });
  return out;
}

TEST(FilterMatchSet, EqualsThePerPointEvaluationAfterDeletesAndUpdates) {
  auto seg = sample_segment(300);
  for (uint64_t id : {2, 4, 21, 100, 299}) ASSERT_TRUE(seg->remove(id, Segment::Source::kReplay).ok());
  ASSERT_TRUE(seg->update_payload(3, Payload{{"n", F(2.0)}, {"tags", PayloadValue{std::vector<std::string>{"y"}}}},
                                  Segment::Source::kReplay).ok());
  const std::vector<Filter> filters = {
      Filter::all(),
      cmp(Op::kEq, I(2)),  // no "k": nothing
      Filter::compare(Op::kEq, "n", I(2)),
      Filter::compare(Op::kNe, "n", F(2.0)),
      Filter::in(false, "n", {I(1), F(4.0), S("1")}),
      Filter::in(true, "tags", {S("odd"), S("y")}),
      Filter::compare(Op::kEq, "tags", S("even")),
      Filter::compare(Op::kGte, "n", F(2.5)),
      Filter::compare(Op::kLt, "c", S("b")),
      Filter::has("tags", true),
      Filter::has("n", false),
      Filter::logic(Op::kAnd, {Filter::compare(Op::kEq, "c", S("b")), Filter::compare(Op::kGt, "n", I(2)),
                               Filter::id_in(true, {9, 15})}),
      Filter::logic(Op::kOr, {Filter::compare(Op::kEq, "tags", S("x")), Filter::id_in(false, {2, 5, 6, 1000})}),
      Filter::negate(Filter::compare(Op::kEq, "c", S("a"))),
      Filter::id_in(false, {0, 2, 3, 7, 299, 5000}),
  };
  for (size_t i = 0; i < filters.size(); ++i) {
    Result<MatchSet> m = match_set(filters[i], *seg);
    ASSERT_TRUE(m.ok()) << i;
    std::vector<uint64_t> got;
    m->for_each([&](uint64_t node) { got.push_back(node); });
    const std::vector<uint64_t> want = reference(*seg, filters[i]);
    EXPECT_EQ(got, want) << i;
    EXPECT_EQ(m->size(), want.size()) << i;
    for (uint64_t node = 0; node < seg->hnsw().len(); ++node) {
      EXPECT_EQ(m->contains(node), std::binary_search(want.begin(), want.end(), node)) << i << " " << node;
    }
  }
}

TEST(FilterMatchSet, PicksTheSmallerFormAndConvertsToABitmap) {
  auto seg = sample_segment(640);
  Result<MatchSet> few = match_set(Filter::id_in(false, {1, 5, 9}), *seg);
  ASSERT_TRUE(few.ok());
  EXPECT_FALSE(few->is_bitmap());
  few->to_bitmap();
  EXPECT_TRUE(few->is_bitmap());
  EXPECT_TRUE(few->contains(5));
  EXPECT_FALSE(few->contains(6));
  EXPECT_EQ(few->size(), 3u);
  Result<MatchSet> many = match_set(Filter::compare(Op::kEq, "c", S("a")), *seg);
  ASSERT_TRUE(many.ok());
  EXPECT_TRUE(many->is_bitmap());
  EXPECT_FALSE(match_set(cmp(Op::kLt, B(false)), *seg).ok());
}

TEST(FilterEstimate, ExactForEqualityAndCombinedByTheLogic) {
  auto seg = sample_segment(300);
  auto exact = [&](const Filter& f) { return match_set(f, *seg)->size(); };
  const Filter c_b = Filter::compare(Op::kEq, "c", S("b"));
  const Filter n_in = Filter::in(false, "n", {I(1), F(3.0)});
  EXPECT_EQ(estimate_matches(c_b, *seg), exact(c_b));
  EXPECT_EQ(estimate_matches(n_in, *seg), exact(n_in));
  EXPECT_EQ(estimate_matches(Filter::negate(c_b), *seg), 300 - exact(c_b));
  EXPECT_EQ(estimate_matches(Filter::logic(Op::kOr, {c_b, n_in}), *seg), exact(c_b) + exact(n_in));
  EXPECT_EQ(estimate_matches(Filter::logic(Op::kAnd, {c_b, n_in}), *seg), std::min(exact(c_b), exact(n_in)));
  for (const Filter& f : {Filter::compare(Op::kGt, "n", I(2)), Filter::compare(Op::kLte, "c", S("a")),
                         Filter::has("tags", true), Filter::in(false, "tags", {S("x"), S("odd")})}) {
    EXPECT_EQ(estimate_matches(f, *seg), exact(f));
  }
  EXPECT_EQ(estimate_matches(Filter::all(), *seg), 300u);
}

}  // namespace
}  // namespace ulmora
