#include "format/wal_record.h"

#include <gtest/gtest.h>

namespace ulmora {
namespace {

Payload SamplePayload() {
  return Payload{{"colour", PayloadValue{std::string("red")}},
                 {"n", PayloadValue{int64_t{3}}},
                 {"tags", PayloadValue{std::vector<std::string>{"a", "bc"}}},
                 {"ok", PayloadValue{std::vector<bool>{true}}}};
}

std::vector<WalRecord> AllShapes() {
  std::vector<WalRecord> r;
  r.push_back({WalRecord::kInsert, 7, {1.0f, 2.0f, 3.0f}, std::nullopt});
  r.push_back({WalRecord::kInsert, 8, {}, std::nullopt});
  r.push_back({WalRecord::kInsert, 9, {0.5f}, SamplePayload()});
  r.push_back({WalRecord::kInsert, 10, {0.5f}, Payload{}});
  r.push_back({WalRecord::kDelete, ~uint64_t{0}, {}, std::nullopt});
  r.push_back({WalRecord::kUpdatePayload, 11, {}, SamplePayload()});
  r.push_back({WalRecord::kUpdatePayload, 12, {}, Payload{}});
  return r;
}

TEST(WalRecord, RoundTripWithExactSize) {
  for (const auto& rec : AllShapes()) {
    std::vector<uint8_t> buf{1, 2, 3};  // cleared by the encoder
    encode_wal_record(rec, buf);
    EXPECT_EQ(buf.size(), wal_record_size(rec));
    EXPECT_EQ(buf.capacity(), buf.size());  // sized once, exactly
    Decoder d(buf.data(), buf.size());
    WalRecord back;
    back.vector = {9.0f};  // stale content must not survive
    ASSERT_TRUE(decode_wal_record(d, back)) << d.error();
    EXPECT_EQ(d.remaining(), 0u);
    EXPECT_EQ(back.kind, rec.kind);
    EXPECT_EQ(back.point_id, rec.point_id);
    EXPECT_EQ(back.vector, rec.vector);
    EXPECT_EQ(back.payload, rec.payload);
  }
}

TEST(WalRecord, Sizes) {
  WalRecord del{WalRecord::kDelete, 5, {}, std::nullopt};
  EXPECT_EQ(wal_record_size(del), 12u);
  WalRecord ins{WalRecord::kInsert, 5, {1, 2, 3}, std::nullopt};
  EXPECT_EQ(wal_record_size(ins), 33u);
  // Payload {"n": Int 3}: 8 (count) + 8 + 1 (key) + 4 + 8 (value).
  ins.payload = Payload{{"n", PayloadValue{int64_t{3}}}};
  EXPECT_EQ(wal_record_size(ins), 33u + 29);
  WalRecord upd{WalRecord::kUpdatePayload, 5, {}, Payload{{"n", PayloadValue{int64_t{3}}}}};
  EXPECT_EQ(wal_record_size(upd), 4u + 8 + 29);
}

TEST(WalRecord, DeleteBytes) {
  std::vector<uint8_t> buf;
  encode_wal_record({WalRecord::kDelete, 0x0102030405060708ull, {}, std::nullopt}, buf);
  const std::vector<uint8_t> want = {1, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(buf, want);
}

TEST(WalRecord, DecodeErrors) {
  std::vector<uint8_t> buf = {3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  Decoder d(buf.data(), buf.size());
  WalRecord r;
  EXPECT_FALSE(decode_wal_record(d, r));
  EXPECT_EQ(d.error(), "invalid value: integer `3`, expected variant index 0 <= i < 3");

  // Insert with a bad option tag after the vector.
  encode_wal_record({WalRecord::kInsert, 1, {1.0f}, std::nullopt}, buf);
  buf.back() = 2;
  Decoder d2(buf.data(), buf.size());
  EXPECT_FALSE(decode_wal_record(d2, r));
  EXPECT_EQ(d2.error(), "tag for enum is not valid, found 2");

  // Every proper prefix of every shape ends in end of data.
  for (const auto& rec : AllShapes()) {
    encode_wal_record(rec, buf);
    for (size_t len = 0; len < buf.size(); ++len) {
      Decoder p(buf.data(), len);
      EXPECT_FALSE(decode_wal_record(p, r));
      EXPECT_EQ(p.error(), "io error: unexpected end of file");
    }
  }
}

TEST(WalRecord, TrailingBytesAreIgnored) {
  std::vector<uint8_t> buf;
  encode_wal_record({WalRecord::kDelete, 4, {}, std::nullopt}, buf);
  buf.push_back(0xEE);
  Decoder d(buf.data(), buf.size());
  WalRecord r;
  ASSERT_TRUE(decode_wal_record(d, r));
  EXPECT_EQ(r.kind, WalRecord::kDelete);
  EXPECT_EQ(r.point_id, 4u);
}

}  // namespace
}  // namespace ulmora
