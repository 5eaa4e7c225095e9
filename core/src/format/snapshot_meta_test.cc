// The optional filter-key field of the metadata block: round trip through
// both readers, invisible to a reader of the fixed fields, absent when its
// bytes do not decode.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/adler32.h"
#include "format/codec.h"
#include "format/snapshot.h"
#include "format/test_util.h"

namespace ulmora {
namespace {

std::string temp_file(const std::vector<uint8_t>& bytes) {
  char name[] = "/tmp/ulmora_meta_XXXXXX";
  const int fd = ::mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  return name;
}

// The metadata record of an encoded version-3 file with a trailer.
std::span<const uint8_t> metadata_of(const std::vector<uint8_t>& file) {
  const size_t n = file.size();
  const uint32_t c = load_le<uint32_t>(file.data() + n - 20);
  return {file.data() + n - 20 - c, c};
}

TEST(SnapshotMetadata, FilterKeysRoundTripAndStayInvisibleToFixedFieldReaders) {
  SegmentSnapshot s = testing::RandomSegment(3, 2, 1);
  const auto plain = encode_snapshot_file(s);
  s.filter_keys = std::vector<std::string>{"colour", "size"};
  const auto keyed = encode_snapshot_file(s);
  // The segment bytes are the same; only the block grew.
  ASSERT_GT(keyed.size(), plain.size());
  EXPECT_EQ(0, std::memcmp(keyed.data(), plain.data(), plain.size() - 20 - metadata_of(plain).size()));

  auto body = snapshot_body(keyed);
  ASSERT_TRUE(body.ok());
  auto decoded = decode_snapshot_body(*body);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message();
  EXPECT_EQ(decoded->filter_keys, s.filter_keys);
  testing::ExpectSameSegment(*decoded, s);

  const std::string path = temp_file(keyed);
  auto read = read_snapshot_filter_keys(path);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, s.filter_keys);
  std::remove(path.c_str());

  Decoder d(metadata_of(keyed).data(), metadata_of(keyed).size());
  SnapshotMetadata meta;
  ASSERT_TRUE(decode_snapshot_metadata(d, meta));  // fixed fields, the rest is trailing data
  EXPECT_EQ(meta.points, 3u);
  EXPECT_EQ(decode_metadata_filter_keys(d), s.filter_keys);

  auto none = decode_snapshot_body(snapshot_body(plain).value());
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->filter_keys);
}

TEST(SnapshotMetadata, UndecodableFilterKeysCountAsAbsent) {
  for (const std::vector<uint8_t>& tail : {std::vector<uint8_t>{1, 2, 3},                       // short count
                                           std::vector<uint8_t>{9, 0, 0, 0, 0, 0, 0, 0},         // count past the end
                                           std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 5, 0}}) {  // cut string
    Decoder d(tail.data(), tail.size());
    EXPECT_FALSE(decode_metadata_filter_keys(d));
  }
  // A file whose field is cut still loads, without keys.
  SegmentSnapshot s = testing::RandomSegment(2, 2, 3);
  std::vector<uint8_t> file = encode_snapshot_file(s, SnapshotWriteOptions{SnapshotForm::kVersion3, false, 0});
  const size_t n = file.size();
  const uint32_t c = load_le<uint32_t>(file.data() + n - 12);
  std::vector<uint8_t> grown(file.begin(), file.end() - 12);
  for (uint8_t b : {7, 0, 0}) grown.push_back(b);
  std::vector<uint8_t> block(12);
  store_le(block.data(), c + 3);
  std::memcpy(block.data() + 4, file.data() + n - 8, 8);
  grown.insert(grown.end(), block.begin(), block.end());
  auto decoded = decode_snapshot_body(grown);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message();
  EXPECT_FALSE(decoded->filter_keys);
  testing::ExpectSameSegment(*decoded, s);
}

}  // namespace
}  // namespace ulmora
