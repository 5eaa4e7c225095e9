#include "format/payload.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <limits>
#include <random>

#include <gtest/gtest.h>

namespace ulmora {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

PayloadValue V(PayloadValue::Storage s) { return PayloadValue{std::move(s)}; }

TEST(PayloadValue, EqualityAndHashAgree) {
  struct Case {
    PayloadValue a, b;
    bool equal;
  };
  const Case cases[] = {
      {V(int64_t{1}), V(int64_t{1}), true},
      {V(int64_t{1}), V(int64_t{2}), false},
      {V(int64_t{1}), V(1.0), false},  // different variants never match
      {V(1.0), V(1.0), true},
      {V(0.0), V(-0.0), true},
      {V(kNaN), V(-kNaN), true},
      {V(kNaN), V(1.0), false},
      {V(std::string("a")), V(std::string("a")), true},
      {V(std::string("a")), V(std::string("a\0", 2)), false},
      {V(true), V(true), true},
      {V(true), V(false), false},
      {V(std::vector<int64_t>{1, 2}), V(std::vector<int64_t>{1, 2}), true},
      {V(std::vector<int64_t>{1, 2}), V(std::vector<int64_t>{1}), false},
      {V(std::vector<double>{kNaN, 0.0}), V(std::vector<double>{kNaN, -0.0}), true},
      {V(std::vector<double>{1.0}), V(std::vector<double>{2.0}), false},
      {V(std::vector<std::string>{"x"}), V(std::vector<std::string>{"x"}), true},
      {V(std::vector<bool>{true}), V(std::vector<bool>{false}), false},
      {V(std::vector<bool>{}), V(std::vector<int64_t>{}), false},
  };
  PayloadValueHash hash;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(c.a == c.b, c.equal) << i;
    EXPECT_EQ(c.b == c.a, c.equal) << i;
    if (c.equal) {
      EXPECT_EQ(hash(c.a), hash(c.b)) << i;
    }
  }
}

std::vector<PayloadValue> EveryKind() {
  return {V(int64_t{-5}),
          V(kNaN),
          V(-0.0),
          V(std::string("caf\xC3\xA9")),
          V(std::string()),
          V(false),
          V(std::vector<int64_t>{1, INT64_MIN}),
          V(std::vector<double>{}),
          V(std::vector<double>{0.25, -1e300}),
          V(std::vector<std::string>{"", "ab"}),
          V(std::vector<bool>{true, false, true})};
}

TEST(PayloadEncoding, RoundTripAndExactSize) {
  Payload all;
  int k = 0;
  for (const auto& v : EveryKind()) {
    std::vector<uint8_t> buf;
    Encoder e(buf);
    encode_payload_value(e, v);
    EXPECT_EQ(buf.size(), encoded_size(v));
    Decoder d(buf.data(), buf.size());
    PayloadValue back;
    ASSERT_TRUE(decode_payload_value(d, back)) << d.error();
    EXPECT_TRUE(back == v);
    EXPECT_EQ(back.kind(), v.kind());
    std::string key = "k";  // (built in two steps: GCC 12 -O3 warns on "k" + to_string)
    key += std::to_string(k++);
    all[key] = v;
  }
  for (const Payload& p : {Payload{}, all}) {
    std::vector<uint8_t> buf;
    Encoder e(buf);
    encode_payload(e, p);
    EXPECT_EQ(buf.size(), encoded_size(p));
    Decoder d(buf.data(), buf.size());
    Payload back{{"stale", V(true)}};
    ASSERT_TRUE(decode_payload(d, back)) << d.error();
    EXPECT_TRUE(back == p);
  }
}

TEST(PayloadEncoding, RepeatedKeyKeepsLastValue) {
  std::vector<uint8_t> buf;
  Encoder e(buf);
  e.u64(3);
  e.string("a");
  encode_payload_value(e, V(int64_t{1}));
  e.string("b");
  encode_payload_value(e, V(true));
  e.string("a");
  encode_payload_value(e, V(std::string("last")));
  Decoder d(buf.data(), buf.size());
  Payload p;
  ASSERT_TRUE(decode_payload(d, p));
  ASSERT_EQ(p.size(), 2u);
  EXPECT_TRUE(p["a"] == V(std::string("last")));
}

TEST(PayloadEncoding, ElementErrors) {
  auto decode = [](const std::function<void(Encoder&)>& write) {
    std::vector<uint8_t> buf;
    Encoder e(buf);
    write(e);
    Decoder d(buf.data(), buf.size());
    PayloadValue v;
    return decode_payload_value(d, v) ? std::string("ok") : d.error();
  };
  EXPECT_EQ(decode([](Encoder& e) { e.u32(8); }), "invalid value: integer `8`, expected variant index 0 <= i < 8");
  EXPECT_EQ(decode([](Encoder& e) { e.u32(3); e.u8(2); }), "invalid u8 while decoding bool, expected 0 or 1, found 2");
  EXPECT_EQ(decode([](Encoder& e) { e.u32(7); e.u64(3); e.u8(1); e.u8(7); e.u8(0); }),
            "invalid u8 while decoding bool, expected 0 or 1, found 7");
  EXPECT_EQ(decode([](Encoder& e) { e.u32(6); e.u64(2); e.string("ok"); e.u64(1); e.u8(0xC0); }),
            "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0");
  for (uint32_t kind = 4; kind < 8; ++kind) {  // huge list counts fail at end of data
    EXPECT_EQ(decode([&](Encoder& e) { e.u32(kind); e.u64(~uint64_t{0} / 2); e.u64(0); }),
              "io error: unexpected end of file");
  }
}

// ---- Payload index ----

// The index rebuilt from scratch out of the payloads.
PayloadIndex Rebuild(const PayloadMap& payloads) {
  PayloadIndex index;
  for (const auto& [p, payload] : payloads) index_payload(index, p, payload);
  return index;
}

void ExpectNoEmptyEntries(const PayloadIndex& index) {
  for (const auto& [key, by_value] : index) {
    EXPECT_FALSE(by_value.empty()) << key;
    for (const auto& [value, ids] : by_value) EXPECT_FALSE(ids.empty()) << key;
  }
}

TEST(PayloadIndex, ListsAreStoredButNotIndexed) {
  PayloadIndex index;
  PayloadMap payloads;
  Payload p{{"tags", V(std::vector<std::string>{"a", "b"})}, {"n", V(int64_t{3})}};
  index_payload(index, 1, p);
  put_payload(payloads, 1, p);
  ASSERT_EQ(index.size(), 1u);
  ASSERT_EQ(index["n"].size(), 1u);
  EXPECT_EQ(index["n"][V(int64_t{3})], PointIdSet{1});
  EXPECT_EQ(payloads.at(1).size(), 2u);
}

TEST(PayloadIndex, NaNAndSignedZeroShareOneSet) {
  PayloadIndex index;
  index_payload(index, 1, {{"x", V(kNaN)}});
  index_payload(index, 2, {{"x", V(-kNaN)}});
  index_payload(index, 3, {{"z", V(0.0)}});
  index_payload(index, 4, {{"z", V(-0.0)}});
  EXPECT_EQ(index["x"].size(), 1u);
  EXPECT_EQ(index["x"].begin()->second, (PointIdSet{1, 2}));
  EXPECT_EQ(index["z"].size(), 1u);
  EXPECT_EQ(index["z"].begin()->second, (PointIdSet{3, 4}));
}

TEST(PayloadIndex, RemovingLastPointDropsValueThenKey) {
  PayloadIndex index;
  index_payload(index, 1, {{"colour", V(std::string("red"))}});
  index_payload(index, 2, {{"colour", V(std::string("blue"))}});
  unindex_payload(index, 1, {{"colour", V(std::string("red"))}});
  ASSERT_EQ(index["colour"].size(), 1u);
  EXPECT_FALSE(index["colour"].count(V(std::string("red"))));
  unindex_payload(index, 2, {{"colour", V(std::string("blue"))}});
  EXPECT_TRUE(index.empty());
  // Missing keys and values pass silently.
  unindex_payload(index, 2, {{"colour", V(std::string("blue"))}, {"other", V(true)}});
  EXPECT_TRUE(index.empty());
}

TEST(PayloadIndex, UpdateKeepsSharedPairOnce) {
  PayloadIndex index;
  PayloadMap payloads;
  Payload old_p{{"a", V(int64_t{1})}};
  Payload new_p{{"a", V(int64_t{1})}, {"b", V(true)}};
  index_payload(index, 7, old_p);
  put_payload(payloads, 7, old_p);
  unindex_payload(index, 7, payloads.at(7));
  index_payload(index, 7, new_p);
  put_payload(payloads, 7, new_p);
  EXPECT_EQ(index["a"][V(int64_t{1})], PointIdSet{7});
  EXPECT_EQ(index["b"][V(true)], PointIdSet{7});
  EXPECT_EQ(payloads.at(7).size(), 2u);
}

// Random insert / update / delete sequences, composed as the segment does,
// keep the index equal to one rebuilt from the payloads and free of empty
// sets and maps.
TEST(PayloadIndex, RandomMutationsKeepInvariants) {
  std::mt19937 rng(3);
  auto random_payload = [&] {
    Payload p;
    const int n = static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) {
      const std::string key(1, static_cast<char>('a' + rng() % 4));
      switch (rng() % 5) {
        case 0: p[key] = V(int64_t(rng() % 3)); break;
        case 1: p[key] = V(rng() % 2 ? kNaN : (rng() % 2 ? 0.0 : -0.0)); break;
        case 2: p[key] = V(std::string(1, static_cast<char>('x' + rng() % 2))); break;
        case 3: p[key] = V(rng() % 2 == 0); break;
        default: p[key] = V(std::vector<int64_t>{1}); break;
      }
    }
    return p;
  };
  PayloadIndex index;
  PayloadMap payloads;
  for (int step = 0; step < 3000; ++step) {
    const uint64_t p = rng() % 20;
    const auto existing = payloads.find(p);
    switch (rng() % 3) {
      case 0:  // insert (only for points without a payload)
        if (existing == payloads.end()) {
          Payload np = random_payload();
          index_payload(index, p, np);
          put_payload(payloads, p, std::move(np));
        }
        break;
      case 1: {  // update
        Payload np = random_payload();
        if (existing != payloads.end()) unindex_payload(index, p, existing->second);
        index_payload(index, p, np);
        put_payload(payloads, p, std::move(np));
        break;
      }
      default:  // delete
        if (existing != payloads.end()) unindex_payload(index, p, existing->second);
        remove_payload(payloads, p);
    }
    ASSERT_TRUE(index == Rebuild(payloads)) << "step " << step;
    ExpectNoEmptyEntries(index);
  }
}

// ---- Filter keys ----

// Keys a file could choose to share one bucket under an unseeded hash
// (multiples of the bucket count, and of its hash for values) spread out.
TEST(PayloadIndex, CraftedKeysDoNotShareBuckets) {
  PointIdSet ids;
  ids.reserve(4096);
  const uint64_t buckets = ids.bucket_count();
  for (uint64_t i = 1; i <= 4096; ++i) ids.insert(i * buckets);
  PayloadIndex::mapped_type by_value;
  by_value.reserve(4096);
  const uint64_t value_buckets = by_value.bucket_count();
  for (int64_t i = 1; i <= 4096; ++i) by_value[V(int64_t(i * value_buckets))].insert(1);
  PayloadIndex by_key;
  by_key.reserve(4096);
  for (int i = 0; i < 4096; ++i) by_key[std::string(64, 'k') + std::to_string(i)];
  auto largest = [](const auto& c) {
    size_t most = 0;
    for (size_t b = 0; b < c.bucket_count(); ++b) most = std::max(most, c.bucket_size(b));
    return most;
  };
  EXPECT_LT(largest(ids), 16u);
  EXPECT_LT(largest(by_value), 16u);
  EXPECT_LT(largest(by_key), 16u);
}

TEST(FilterKeys, OrderAllowListAndCap) {
  const std::set<std::string> allow{"a", "c"};
  Payload ints{{"c", V(int64_t{1})}, {"b", V(int64_t{2})}, {"a", V(int64_t{3})}};
  EXPECT_EQ(filter_keys(ints, &allow, 1), (std::vector<FilterKey>{{2, "a"}}));
  Payload mixed{{"c", V(true)}, {"a", V(int64_t{1})}};
  EXPECT_EQ(filter_keys(mixed, &allow, 1), (std::vector<FilterKey>{{0, "c"}}));

  Payload all{{"zf", V(1.5)},
              {"s", V(std::string("x"))},
              {"ab", V(int64_t{1})},
              {"a", V(int64_t{1})},
              {"b", V(false)},
              {"list", V(std::vector<bool>{true})}};
  const std::vector<FilterKey> want = {{0, "b"}, {1, "s"}, {2, "a"}, {2, "ab"}, {3, "zf"}};
  EXPECT_EQ(filter_keys(all, nullptr, std::nullopt), want);
  EXPECT_EQ(filter_keys(all, nullptr, 0), want);  // 0 means no cap
  EXPECT_EQ(filter_keys(all, nullptr, 100), want);
  EXPECT_EQ(filter_keys(all, nullptr, 2), (std::vector<FilterKey>(want.begin(), want.begin() + 2)));
  const std::set<std::string> none;
  EXPECT_TRUE(filter_keys(all, &none, std::nullopt).empty());  // an empty allow-list allows nothing
  // Keys compare as unsigned bytes.
  Payload bytes{{"\xC3\xA9", V(int64_t{1})}, {"z", V(int64_t{1})}};
  EXPECT_EQ(filter_keys(bytes, nullptr, std::nullopt), (std::vector<FilterKey>{{2, "z"}, {2, "\xC3\xA9"}}));
}

}  // namespace
}  // namespace ulmora
