#include "format/snapshot.h"

#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "base/adler32.h"
#include "format/test_util.h"

namespace ulmora {
namespace {

using testing::DecodeError;
using testing::DecodeFile;
using testing::ExpectSameSegment;
using testing::RandomSegment;

constexpr const char* kEof = "Serialization error: io error: unexpected end of file";

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
  out.insert(out.end(), more.begin(), more.end());
}

std::vector<uint8_t> Le32(uint32_t v) {
  std::vector<uint8_t> b(4);
  store_le(b.data(), v);
  return b;
}

std::vector<uint8_t> WithTrailer(std::vector<uint8_t> body, uint32_t sum) {
  Append(body, Bytes("VDBF"));
  Append(body, Le32(sum));
  return body;
}

std::vector<uint8_t> WithTrailer(std::vector<uint8_t> body) {
  const uint32_t sum = adler32(body.data(), body.size());
  return WithTrailer(std::move(body), sum);
}

std::vector<uint8_t> EncodeSegment(const SegmentSnapshot& s, bool v1 = false) {
  std::vector<uint8_t> out;
  Encoder e(out);
  encode_segment_snapshot(e, s, v1);
  return out;
}

std::vector<uint8_t> Versioned(uint32_t version, const std::vector<uint8_t>& payload) {
  auto out = Bytes("VDBS");
  Append(out, Le32(version));
  Append(out, payload);
  return out;
}

// ---- Round trips of every file form ----

struct FormCase {
  SnapshotForm form;
  bool trailer;
};

class SnapshotFormTest : public ::testing::TestWithParam<FormCase> {};

TEST_P(SnapshotFormTest, RoundTrips) {
  for (uint64_t n : {0, 1, 37}) {
    SegmentSnapshot s = RandomSegment(n, 5, static_cast<uint32_t>(n));
    auto file = encode_snapshot_file(s, {GetParam().form, GetParam().trailer, 1234});
    auto back = DecodeFile(file);
    ASSERT_TRUE(back.ok()) << back.error().message();
    ExpectSameSegment(s, back.value());
  }
}

INSTANTIATE_TEST_SUITE_P(AllForms, SnapshotFormTest,
                         ::testing::Values(FormCase{SnapshotForm::kUnversioned, false},
                                           FormCase{SnapshotForm::kUnversioned, true},
                                           FormCase{SnapshotForm::kUnversionedV1, false},
                                           FormCase{SnapshotForm::kUnversionedV1, true},
                                           FormCase{SnapshotForm::kVersion2, false},
                                           FormCase{SnapshotForm::kVersion2, true},
                                           FormCase{SnapshotForm::kVersion3, false},
                                           FormCase{SnapshotForm::kVersion3, true},
                                           FormCase{SnapshotForm::kVersion3Bare, false},
                                           FormCase{SnapshotForm::kVersion3Bare, true}));

TEST(SnapshotFile, Version3LayoutEndsWithMetadataBlockAndTrailer) {
  SegmentSnapshot s = RandomSegment(3, 2, 1);
  auto file = encode_snapshot_file(s);
  auto seg = EncodeSegment(s);
  ASSERT_GT(file.size(), 8 + seg.size() + 12 + 8);
  EXPECT_EQ(0, std::memcmp(file.data(), "VDBS", 4));
  EXPECT_EQ(3u, load_le<uint32_t>(file.data() + 4));
  EXPECT_EQ(0, std::memcmp(file.data() + 8, seg.data(), seg.size()));
  const size_t n = file.size();
  EXPECT_EQ(0, std::memcmp(file.data() + n - 8, "VDBF", 4));
  EXPECT_EQ(adler32(file.data(), n - 8), load_le<uint32_t>(file.data() + n - 4));
  EXPECT_EQ(0, std::memcmp(file.data() + n - 12, "VDBM", 4));
  EXPECT_EQ(1u, load_le<uint32_t>(file.data() + n - 16));
  const uint32_t c = load_le<uint32_t>(file.data() + n - 20);
  EXPECT_EQ(8 + seg.size() + c + 12 + 8, n);
  Decoder d(file.data() + 8 + seg.size(), c);
  SnapshotMetadata meta;
  ASSERT_TRUE(decode_snapshot_metadata(d, meta)) << d.error();
  EXPECT_EQ(3u, meta.points);
  EXPECT_EQ(2u, meta.payloads);
  EXPECT_EQ(s.hnsw.dim, meta.hnsw_config.dim);
  EXPECT_EQ(0u, d.remaining());
}

TEST(SnapshotFile, Version1ShapeUpgradesNeighbourCountsWithWrap) {
  for (uint64_t m : {uint64_t{16}, (uint64_t{1} << 63) + 1}) {
    SegmentSnapshot s = RandomSegment(4, 3, 2);
    s.hnsw.m = m;
    s.hnsw.m0 = 999;  // not written in the version-1 shape
    auto back = DecodeFile(encode_snapshot_file(s, {SnapshotForm::kUnversionedV1, false}));
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(back->hnsw.m, m);
    EXPECT_EQ(back->hnsw.m0, m * 2);
    EXPECT_EQ(back->hnsw.m0_cap, m * 2);
  }
}

TEST(SnapshotFile, TrailingBytesAfterTheRecordAreIgnored) {
  SegmentSnapshot s = RandomSegment(3, 2, 3);
  for (auto form : {SnapshotForm::kUnversioned, SnapshotForm::kVersion2, SnapshotForm::kVersion3Bare}) {
    auto file = encode_snapshot_file(s, {form, false});
    Append(file, Bytes("junk after the record"));
    auto back = DecodeFile(WithTrailer(file));
    ASSERT_TRUE(back.ok()) << back.error().message();
    ExpectSameSegment(s, back.value());
  }
}

// ---- Trailer and header rules ----

TEST(SnapshotFile, ShortFilesFailAtEndOfData) {
  for (size_t len = 0; len < 8; ++len) {
    std::vector<uint8_t> file(len, 0);
    EXPECT_EQ(kEof, DecodeError(file)) << len;
  }
  // "VDBS" and a version, but under 8 bytes: unversioned, then end of data.
  EXPECT_EQ(kEof, DecodeError({'V', 'D', 'B', 'S', 2, 0, 0}));
}

TEST(SnapshotFile, TrailerOverEmptyBodyPassesChecksumThenFailsDecode) {
  auto file = WithTrailer({}, 1);
  auto body = snapshot_body(file);
  ASSERT_TRUE(body.ok());
  EXPECT_EQ(0u, body->size());
  EXPECT_EQ(kEof, DecodeError(file));
}

TEST(SnapshotFile, ChecksumMismatchWinsOverValidBody) {
  SegmentSnapshot s = RandomSegment(5, 2, 4);
  for (auto form : {SnapshotForm::kUnversioned, SnapshotForm::kVersion3}) {
    auto body = encode_snapshot_file(s, {form, false});
    const uint32_t good = adler32(body.data(), body.size());
    EXPECT_EQ("Serialization error: segment snapshot checksum mismatch", DecodeError(WithTrailer(body, good ^ 1)));
    EXPECT_EQ("Serialization error: segment snapshot checksum mismatch",
              DecodeError(WithTrailer(body, good ^ 0x10000)));
    EXPECT_TRUE(DecodeFile(WithTrailer(body, good)).ok());
  }
}

TEST(SnapshotFile, EveryBodyByteIsCoveredByTheChecksum) {
  auto file = encode_snapshot_file(RandomSegment(2, 2, 5), {SnapshotForm::kVersion3, true});
  for (size_t i = 0; i + 8 < file.size(); ++i) {
    auto bad = file;
    bad[i] ^= 0x40;
    EXPECT_EQ("Serialization error: segment snapshot checksum mismatch", DecodeError(bad)) << i;
  }
}

TEST(SnapshotFile, UnsupportedVersions) {
  auto seg = EncodeSegment(RandomSegment(2, 2, 6));
  for (uint32_t v : {0u, 1u, 4u, 0xFFFFFFFFu}) {
    EXPECT_EQ("Serialization error: unsupported segment snapshot version " + std::to_string(v),
              DecodeError(Versioned(v, seg)));
    EXPECT_EQ("Serialization error: unsupported segment snapshot version " + std::to_string(v),
              DecodeError(WithTrailer(Versioned(v, seg))));
  }
}

// ---- Version-3 metadata block ----

std::vector<uint8_t> MetadataBytes() {
  std::vector<uint8_t> out;
  Encoder e(out);
  SnapshotMetadata meta;
  meta.points = 7;
  encode_snapshot_metadata(e, meta);
  return out;
}

std::vector<uint8_t> Block(const std::vector<uint8_t>& meta, uint32_t len, uint32_t version, const char* magic) {
  std::vector<uint8_t> out = meta;
  Append(out, Le32(len));
  Append(out, Le32(version));
  Append(out, Bytes(magic));
  return out;
}

TEST(SnapshotFile, MetadataBlockVariantsStillDecodeTheSegment) {
  SegmentSnapshot s = RandomSegment(6, 3, 7);
  auto seg = EncodeSegment(s);
  auto meta = MetadataBytes();
  const uint32_t c = static_cast<uint32_t>(meta.size());
  std::vector<std::vector<uint8_t>> blocks = {
      {},                                          // no block at all
      Block(meta, c, 1, "VDBM"),                   // valid block
      Block(meta, 1u << 30, 1, "VDBM"),            // length beyond the payload
      Block(meta, c, 2, "VDBM"),                   // unknown block version
      Block(meta, c, 1, "VDBX"),                   // wrong magic
      Block({1, 2, 3}, 3, 1, "VDBM"),              // metadata that does not decode
      Block({}, 0, 1, "VDBM"),                     // empty metadata
  };
  for (size_t i = 0; i < blocks.size(); ++i) {
    auto payload = seg;
    Append(payload, blocks[i]);
    auto back = DecodeFile(Versioned(3, payload));
    ASSERT_TRUE(back.ok()) << i << ": " << back.error().message();
    ExpectSameSegment(s, back.value());
  }
}

// A segment record missing its last byte would borrow a byte of whatever
// follows. A valid block is cut off first, so the record must fail; an
// invalid block stays part of the segment bytes, so the record reads on.
TEST(SnapshotFile, ValidMetadataBlockIsCutOffTheSegmentBytes) {
  auto seg = EncodeSegment(RandomSegment(2, 2, 8));
  seg.pop_back();
  auto meta = MetadataBytes();
  const uint32_t c = static_cast<uint32_t>(meta.size());

  auto payload = seg;
  Append(payload, Block(meta, c, 1, "VDBM"));
  EXPECT_EQ(kEof, DecodeError(Versioned(3, payload)));

  payload = seg;
  Append(payload, Block(meta, c, 9, "VDBM"));
  EXPECT_TRUE(DecodeFile(Versioned(3, payload)).ok());

  // Version 2 never looks for a block.
  payload = seg;
  Append(payload, Block(meta, c, 1, "VDBM"));
  EXPECT_TRUE(DecodeFile(Versioned(2, payload)).ok());
}

TEST(SnapshotFile, MetadataLengthEqualToWholePayloadLeavesEmptySegment) {
  auto meta = MetadataBytes();
  auto payload = Block(meta, static_cast<uint32_t>(meta.size()), 1, "VDBM");
  EXPECT_EQ(kEof, DecodeError(Versioned(3, payload)));
}

// ---- Decode error texts ----

// An empty graph encodes to fixed offsets: three empty maps (24 bytes), the
// entry-point tag (24), the metric (25), eight u64 fields and the f64
// (29..100), the deleted set (101), the fallback bool (109), the threshold
// (110), then the segment fields from 118.
constexpr size_t kTagAt = 24, kMetricAt = 25, kBoolAt = 109;

std::vector<uint8_t> EmptySegmentV2() {
  SegmentSnapshot s;
  s.hnsw.dim = 1;
  return Versioned(2, EncodeSegment(s));
}

TEST(SnapshotDecode, ErrorTexts) {
  auto base = EmptySegmentV2();
  ASSERT_TRUE(DecodeFile(base).ok());
  struct Case {
    size_t at;
    std::vector<uint8_t> bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {kTagAt, {2}, "tag for enum is not valid, found 2"},
      {kTagAt, {255}, "tag for enum is not valid, found 255"},
      {kMetricAt, {3, 0, 0, 0}, "invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {kMetricAt, {0, 0, 0, 0x80}, "invalid value: integer `2147483648`, expected variant index 0 <= i < 3"},
      {kBoolAt, {2}, "invalid u8 while decoding bool, expected 0 or 1, found 2"},
      {kBoolAt, {200}, "invalid u8 while decoding bool, expected 0 or 1, found 200"},
  };
  for (const auto& c : cases) {
    auto file = base;
    std::memcpy(file.data() + 8 + c.at, c.bytes.data(), c.bytes.size());
    EXPECT_EQ("Serialization error: " + c.text, DecodeError(file));
  }
}

TEST(SnapshotDecode, UnversionedReportsTheVersion1Error) {
  SegmentSnapshot s;
  s.hnsw.dim = 1;
  auto body = EncodeSegment(s);
  body[kMetricAt] = 7;  // both shapes read the metric at the same offset
  EXPECT_EQ("Serialization error: invalid value: integer `7`, expected variant index 0 <= i < 3", DecodeError(body));
  // The current shape fails on the bad bool; the version-1 shape reads that
  // byte as part of a count, runs out of data, and that error is reported.
  body = EncodeSegment(s);
  body[kBoolAt] = 5;
  EXPECT_EQ(kEof, DecodeError(body));
  EXPECT_EQ("Serialization error: invalid u8 while decoding bool, expected 0 or 1, found 5",
            DecodeError(Versioned(2, body)));
}

TEST(SnapshotDecode, PayloadErrorTexts) {
  SegmentSnapshot s;
  s.hnsw.dim = 1;
  Payload p;
  p["k\xFFy"] = PayloadValue{int64_t{0x1122334455667788}};
  s.payloads[3] = p;
  EXPECT_EQ("Serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1",
            DecodeError(Versioned(2, EncodeSegment(s))));

  s.payloads[3] = Payload{{"key", PayloadValue{int64_t{0x1122334455667788}}}};
  auto file = Versioned(2, EncodeSegment(s));
  const uint8_t marker[] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  auto it = std::search(file.begin(), file.end(), std::begin(marker), std::end(marker));
  ASSERT_NE(it, file.end());
  store_le<uint32_t>(&*(it - 4), 8);
  EXPECT_EQ("Serialization error: invalid value: integer `8`, expected variant index 0 <= i < 8", DecodeError(file));
}

// ---- Repeated keys ----

TEST(SnapshotDecode, RepeatedKeysKeepTheLastOccurrence) {
  SegmentSnapshot s;
  HnswSnapshot& h = s.hnsw;
  h.dim = 1;
  // Written without finalize(): unsorted, with repeats.
  h.vectors.append(5, std::vector<float>{1});
  h.vectors.append(3, std::vector<float>{2});
  h.vectors.append(5, std::vector<float>{3, 4});
  U64ListMap first, second;
  first.append(9, std::vector<uint64_t>{1});
  first.append(9, std::vector<uint64_t>{2, 3});
  second.append(1, std::vector<uint64_t>{4});
  h.layers.emplace_back(2, first);
  h.layers.emplace_back(0, second);
  h.layers.emplace_back(2, second);
  h.levels = {{7, 1}, {2, 0}, {7, 3}};
  h.deleted = {9, 1, 9, 4, 1};
  auto back = DecodeFile(encode_snapshot_file(s));
  ASSERT_TRUE(back.ok()) << back.error().message();
  const HnswSnapshot& b = back->hnsw;
  ASSERT_EQ(b.vectors.keys, (std::vector<uint64_t>{3, 5}));
  EXPECT_EQ(std::vector<float>(b.vectors.at(0).begin(), b.vectors.at(0).end()), std::vector<float>{2});
  EXPECT_EQ(std::vector<float>(b.vectors.at(1).begin(), b.vectors.at(1).end()), (std::vector<float>{3, 4}));
  ASSERT_EQ(b.layers.size(), 2u);
  EXPECT_EQ(b.layers[0].first, 0u);
  EXPECT_EQ(b.layers[1].first, 2u);
  EXPECT_EQ(b.layers[1].second.keys, std::vector<uint64_t>{1});  // the later level-2 map
  EXPECT_EQ(b.levels, (U64Map{{2, 0}, {7, 3}}));
  EXPECT_EQ(b.deleted, (U64Set{1, 4, 9}));
}

TEST(FlatMaps, FinalizeKeepsLastAndCompactsData) {
  U64ListMap m;
  m.append(4, std::vector<uint64_t>{40});
  m.append(1, std::vector<uint64_t>{10, 11});
  m.append(4, std::vector<uint64_t>{41, 42, 43});
  m.append(1, std::vector<uint64_t>{});
  m.append(2, std::vector<uint64_t>{20});
  m.finalize();
  EXPECT_EQ(m.keys, (std::vector<uint64_t>{1, 2, 4}));
  EXPECT_EQ(m.at(0).size(), 0u);
  EXPECT_EQ(m.at(2)[2], 43u);
  EXPECT_EQ(m.data.size(), 4u);

  F32ListMap sorted;  // already ascending: left untouched
  sorted.append(1, std::vector<float>{1});
  sorted.append(2, std::vector<float>{2});
  auto before = sorted.data;
  sorted.finalize();
  EXPECT_EQ(sorted.keys, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(sorted.data, before);
}

// ---- Untrusted counts ----

// Each body claims a huge count somewhere and then ends. Decoding must fail
// at end of data without reserving memory for the claimed count (under
// AddressSanitizer an oversized allocation would abort the test).
TEST(SnapshotDecode, HugeCountsFailAtEndOfData) {
  const uint64_t huge[] = {uint64_t{1} << 62, ~uint64_t{0}, uint64_t{1} << 40, 1u << 20};
  for (uint64_t count : huge) {
    for (size_t field = 0; field < 5; ++field) {
      std::vector<uint8_t> body;
      Encoder e(body);
      switch (field) {
        case 0: e.u64(count); break;                                      // layers
        case 1: e.u64(1); e.u64(0); e.u64(count); break;                  // one level's lists
        case 2: e.u64(0); e.u64(count); break;                            // vectors
        case 3: e.u64(0); e.u64(1); e.u64(9); e.u64(count); break;        // one vector's length
        case 4: e.u64(0); e.u64(0); e.u64(count); break;                  // levels
      }
      body.resize(body.size() + 64, 0);
      EXPECT_EQ(kEof, DecodeError(Versioned(2, body))) << count << " field " << field;
    }
  }
}

TEST(SnapshotDecode, HugeSegmentCountsFailAtEndOfData) {
  auto base = EmptySegmentV2();  // graph ends at 8 + 118
  const size_t seg_at = 8 + 118;
  base.resize(seg_at);
  for (uint64_t count : {uint64_t{1} << 62, ~uint64_t{0}}) {
    std::vector<std::vector<uint8_t>> tails;
    {
      std::vector<uint8_t> t; Encoder e(t);
      e.u64(count);  // payload index keys
      tails.push_back(t);
    }
    {
      std::vector<uint8_t> t; Encoder e(t);
      e.u64(1); e.string("k"); e.u64(count);  // values of one key
      tails.push_back(t);
    }
    {
      std::vector<uint8_t> t; Encoder e(t);
      e.u64(1); e.string("k"); e.u64(1); e.u32(0); e.i64(1); e.u64(count);  // ids of one value
      tails.push_back(t);
    }
    {
      std::vector<uint8_t> t; Encoder e(t);
      e.u64(0); e.u64(count);  // payloads
      tails.push_back(t);
    }
    {
      std::vector<uint8_t> t; Encoder e(t);
      e.u64(0); e.u64(1); e.u64(5); e.u64(count);  // entries of one payload
      tails.push_back(t);
    }
    {
      std::vector<uint8_t> t; Encoder e(t);
      e.u64(0); e.u64(0); e.u64(count);  // deleted
      tails.push_back(t);
    }
    {
      std::vector<uint8_t> t; Encoder e(t);
      e.u64(0); e.u64(1); e.u64(5); e.u64(1); e.string("k"); e.u32(6); e.u64(count);  // ListStr
      tails.push_back(t);
    }
    {
      std::vector<uint8_t> t; Encoder e(t);
      e.u64(0); e.u64(1); e.u64(5); e.u64(1); e.u64(count);  // key string length
      tails.push_back(t);
    }
    for (size_t i = 0; i < tails.size(); ++i) {
      auto file = base;
      Append(file, tails[i]);
      file.resize(file.size() + 40, 0);
      EXPECT_EQ(kEof, DecodeError(file)) << count << " tail " << i;
    }
  }
}

// ---- Corruption ----

// Truncated and bit-flipped snapshots must decode or fail cleanly, never
// crash or read out of bounds (this runs under the sanitizers in CI).
TEST(SnapshotDecode, RandomCorruptionNeverCrashes) {
  std::mt19937_64 rng(42);
  std::vector<std::vector<uint8_t>> files;
  for (auto form : {SnapshotForm::kUnversioned, SnapshotForm::kUnversionedV1, SnapshotForm::kVersion2,
                    SnapshotForm::kVersion3, SnapshotForm::kVersion3Bare}) {
    files.push_back(encode_snapshot_file(RandomSegment(12, 3, 9), {form, false}));
    files.push_back(encode_snapshot_file(RandomSegment(12, 3, 9), {form, true}));
  }
  size_t ok = 0, failed = 0;
  for (int iter = 0; iter < 4000; ++iter) {
    auto file = files[rng() % files.size()];
    if (rng() % 2) file.resize(rng() % (file.size() + 1));
    const int flips = static_cast<int>(rng() % 4);
    for (int f = 0; f < flips && !file.empty(); ++f) file[rng() % file.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    auto body = snapshot_body(file);
    if (!body.ok()) {
      ++failed;
      continue;
    }
    auto r = decode_snapshot_body(body.value());
    if (r.ok()) {
      ++ok;
      // Whatever decodes satisfies the flat-map invariants.
      const auto& keys = r->hnsw.vectors.keys;
      EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()) &&
                  std::adjacent_find(keys.begin(), keys.end()) == keys.end());
    } else {
      ++failed;
      EXPECT_EQ(r.error().kind(), ErrorKind::kSerialization);
      EXPECT_FALSE(r.error().text().empty());
    }
  }
  EXPECT_GT(ok, 0u);
  EXPECT_GT(failed, 0u);
}

TEST(Metric, Names) {
  EXPECT_STREQ("Cosine", metric_name(Metric::kCosine));
  EXPECT_STREQ("Dot", metric_name(Metric::kDot));
  EXPECT_STREQ("Euclidean", metric_name(Metric::kEuclidean));
}

}  // namespace
}  // namespace ulmora
