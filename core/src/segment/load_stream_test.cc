// The loader's streamed path against the whole-file path (read, check,
// decode, restore): the same segment for every file the streamed path
// takes, the same error for every file it does not, and never a partial or
// stale graph when reads fail or the file changes during the load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/file.h"
#include "segment/segment.h"
#include "segment/store_test_util.h"
#include "segment/wal_writer.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/restore_stream.h"

namespace ulmora {
namespace {

using namespace testing_util;

struct Shape {
  const char* name;
  Metric metric = Metric::kEuclidean;
  SnapshotForm form = SnapshotForm::kVersion3;
  bool trailer = true;
  bool sparse_ids = false;      // ids with gaps (the id map translates)
  bool shuffled_lists = false;  // list keys out of order, one key twice
  bool unsorted_vectors = false;
  bool long_vectors = false;    // stored vectors longer than dim
  bool streamed = true;         // whether the streamed path takes the file
};

std::vector<float> random_vector(std::mt19937_64& rng, uint64_t len, Metric metric) {
  std::normal_distribution<float> g;
  std::vector<float> v(len);
  for (float& x : v) x = g(rng);
  if (metric == Metric::kCosine) {
    double s = 0;
    for (float x : v) s += double{x} * x;
    for (float& x : v) x = static_cast<float>(x / std::sqrt(s));
  }
  return v;
}

// A segment with every feature the restore treats: upper levels (one level
// above 255, one stored layer above max_level), unknown neighbours and list
// keys, deleted nodes (and a deleted id that is no node), payloads.
SegmentSnapshot make_segment(const Shape& sh, uint64_t n = 240, uint64_t dim = 8, uint64_t seed = 7) {
  std::mt19937_64 rng(seed);
  SegmentSnapshot s = empty_snapshot(dim, sh.metric);
  HnswSnapshot& h = s.hnsw;
  h.m = 6;
  h.max_level = 3;
  h.exact_fallback_threshold = 17;
  std::vector<uint64_t> ids(n);
  for (uint64_t i = 0; i < n; ++i) ids[i] = sh.sparse_ids ? 1000 + 7 * i + rng() % 3 : 5 + i;
  std::vector<uint64_t> level(n);
  for (uint64_t i = 0; i < n; ++i) level[i] = i % 31 == 0 ? 3 : i % 7 == 0 ? 1 : 0;
  level[n / 2] = 300;

  std::vector<uint64_t> order(n);
  for (uint64_t i = 0; i < n; ++i) order[i] = i;
  if (sh.unsorted_vectors) std::shuffle(order.begin(), order.end(), rng);
  for (uint64_t i : order) h.vectors.append(ids[i], random_vector(rng, dim + (sh.long_vectors ? 2 : 0), sh.metric));
  for (uint64_t i = 0; i < n; ++i) h.levels.emplace_back(ids[i], level[i]);

  if (sh.shuffled_lists) std::shuffle(order.begin(), order.end(), rng);
  for (uint64_t l = 0; l <= 3; ++l) {
    U64ListMap lists;
    for (uint64_t i : order) {
      if (std::min<uint64_t>(level[i], 3) < l) continue;
      std::vector<uint64_t> nb;
      for (int k = 0; k < (l == 0 ? 6 : 3); ++k) nb.push_back(ids[rng() % n]);
      if (i % 5 == 0) nb.insert(nb.begin() + 1, 999999999);  // not a node
      lists.append(ids[i], nb);
    }
    lists.append(123456789, std::vector<uint64_t>{ids[0]});  // not a node
    if (sh.shuffled_lists) lists.append(ids[order[0]], std::vector<uint64_t>{ids[1], ids[2]});  // replaces
    if (!sh.shuffled_lists) lists.finalize();
    h.layers.emplace_back(l, std::move(lists));
  }
  h.layers.emplace_back(7, U64ListMap{});
  h.layers.back().second.append(ids[0], std::vector<uint64_t>{ids[1]});
  h.entry_point = ids[0];

  for (uint64_t i = 0; i < n; i += 9) {
    h.deleted.push_back(ids[i]);
    s.deleted.insert(ids[i]);
  }
  h.deleted.push_back(ids.back() + 100);
  for (uint64_t i = 1; i < n; i += 4) {
    if (i % 9 == 0) continue;
    s.payloads[ids[i]] = payload_of({{"colour", str_value(i % 8 == 1 ? "red" : "blue")}, {"n", int_value(i)}});
    index_payload(s.payload_index, ids[i], s.payloads[ids[i]]);
  }
  s.next_id = ids.back() + 1;
  return s;
}

std::string write_shape(const TempDir& dir, const Shape& sh, const SegmentSnapshot& s) {
  SnapshotWriteOptions opts;
  opts.form = sh.form;
  opts.trailer = sh.trailer;
  return write_snapshot(dir.file(std::string(sh.name) + ".snap"), s, opts);
}

// The whole-file path, from the public steps.
Result<std::unique_ptr<Segment>> reference_load(const std::string& path) {
  auto file = file::read_all(path);
  if (!file.ok()) return file.error();
  auto body = snapshot_body(file->span());
  if (!body.ok()) return body.error();
  auto decoded = decode_snapshot_body(*body);
  if (!decoded.ok()) return decoded.error();
  return Segment::from_snapshot(std::move(decoded.value()));
}

// Everything a segment holds, as one canonical encoding, plus what the
// encoding leaves out: node numbering, states, layer count and searches.
void expect_same(const Segment& a, const Segment& b, Metric metric) {
  SnapshotWriteOptions canon;
  canon.form = SnapshotForm::kVersion2;
  canon.trailer = false;
  ASSERT_EQ(encode_snapshot_file(a.to_snapshot(), canon), encode_snapshot_file(b.to_snapshot(), canon));
  const hnsw::HnswIndex& x = a.hnsw();
  const hnsw::HnswIndex& y = b.hnsw();
  ASSERT_EQ(x.len(), y.len());
  EXPECT_EQ(x.deleted_count(), y.deleted_count());
  EXPECT_EQ(hnsw::graph_of(x).layer_count(), hnsw::graph_of(y).layer_count());
  EXPECT_EQ(hnsw::graph_of(x).entry.load(), hnsw::graph_of(y).entry.load());
  for (uint64_t i = 0; i < x.len(); ++i) {
    ASSERT_EQ(x.point_id(i), y.point_id(i));
    ASSERT_EQ(x.state(i), y.state(i));
  }
  std::mt19937_64 rng(3);
  hnsw::SearchOptions opts;
  opts.ef = 64;
  std::vector<hnsw::ScoredNode> ra, rb;
  for (int q = 0; q < 8; ++q) {
    std::vector<float> query = random_vector(rng, x.dim(), metric);
    ASSERT_TRUE(x.search(query, 20, opts, ra).ok());
    ASSERT_TRUE(y.search(query, 20, opts, rb).ok());
    ASSERT_EQ(ra.size(), rb.size());
    for (size_t k = 0; k < ra.size(); ++k) {
      EXPECT_EQ(ra[k].node, rb[k].node);
      EXPECT_EQ(std::memcmp(&ra[k].raw, &rb[k].raw, sizeof(float)), 0);
    }
  }
}

class StreamedLoad : public ::testing::TestWithParam<Shape> {};

TEST_P(StreamedLoad, BuildsWhatTheWholeFilePathBuilds) {
  const Shape& sh = GetParam();
  TempDir dir;
  const std::string path = write_shape(dir, sh, make_segment(sh));
  auto streamed = hnsw::load_streamed(path);
  ASSERT_TRUE(streamed.ok());
  EXPECT_EQ(streamed->has_value(), sh.streamed);
  auto seg = Segment::load(path);
  auto ref = reference_load(path);
  ASSERT_TRUE(seg.ok()) << seg.error().message();
  ASSERT_TRUE(ref.ok()) << ref.error().message();
  expect_same(**seg, **ref, sh.metric);
}

// A log replayed onto the streamed graph: inserts (level 0 only, so no
// random draw differs), deletes and payload updates, then the hand-over.
TEST_P(StreamedLoad, ReplaysTheLogOntoTheSameGraph) {
  const Shape& sh = GetParam();
  TempDir dir;
  SegmentSnapshot s = make_segment(sh);
  s.hnsw.level_cap = 0;
  const std::string path = write_shape(dir, sh, s);
  std::mt19937_64 rng(11);
  LogBuilder log;
  for (uint64_t i = 0; i < 20; ++i) log.add(insert_record(s.next_id + i, random_vector(rng, 8, sh.metric)));
  log.add(delete_record(s.next_id + 3)).add(delete_record(s.hnsw.levels[1].first));
  log.add(update_record(s.next_id + 4, payload_of({{"colour", str_value("green")}})));
  write_bytes(wal_path_for(path), log.bytes());

  auto seg = Segment::load(path);
  ASSERT_TRUE(seg.ok()) << seg.error().message();
  auto ref = reference_load(path);
  ASSERT_TRUE(ref.ok()) << ref.error().message();
  ASSERT_TRUE((*ref)->replay_and_attach(wal_path_for(path)).ok());
  expect_same(**seg, **ref, sh.metric);
  auto a = (*seg)->release_graph();
  auto b = (*ref)->release_graph();
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(hnsw::export_snapshot(**a).layers.size(), hnsw::export_snapshot(**b).layers.size());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, StreamedLoad,
    ::testing::Values(Shape{"v3_euclidean"}, Shape{"v3_cosine", Metric::kCosine},
                      Shape{"v3_dot_sparse", Metric::kDot, SnapshotForm::kVersion3, true, true},
                      Shape{"v3_bare_untrailed", Metric::kEuclidean, SnapshotForm::kVersion3Bare, false},
                      Shape{"v2_shuffled", Metric::kCosine, SnapshotForm::kVersion2, true, true, true},
                      Shape{"v3_unsorted_vectors", Metric::kEuclidean, SnapshotForm::kVersion3, true, false, false,
                            true, false, false},
                      Shape{"v3_long_vectors", Metric::kDot, SnapshotForm::kVersion3, true, false, false, false,
                            true, false},
                      Shape{"unversioned", Metric::kEuclidean, SnapshotForm::kUnversioned, true, false, false,
                            false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Every cut and many single-byte changes of a file: the load gives exactly
// the whole-file path's error, or, when the change still decodes, the same
// segment.
TEST(StreamedLoadCorruption, CutAndChangedFilesMatchTheWholeFilePath) {
  for (const bool trailer : {true, false}) {
    TempDir dir;
    Shape sh{"corrupt"};
    sh.trailer = trailer;
    SegmentSnapshot s = make_segment(sh, 24, 3);
    SnapshotWriteOptions opts;
    opts.trailer = trailer;
    const std::vector<uint8_t> good = encode_snapshot_file(s, opts);
    int serial = 0;
    auto check = [&](const std::vector<uint8_t>& bytes, const std::string& what) {
      // A fresh name each time: rewriting one file in place makes the file
      // system flush it on close, which is slow.
      const std::string path = dir.file("c" + std::to_string(serial++) + ".snap");
      write_bytes(path, bytes);
      struct Remove {
        const std::string& p;
        ~Remove() { std::remove(p.c_str()); }
      } remove{path};
      auto seg = Segment::load(path);
      auto ref = reference_load(path);
      ASSERT_EQ(seg.ok(), ref.ok()) << what << (ref.ok() ? seg.error().message() : ref.error().message());
      if (!ref.ok()) {
        ASSERT_EQ(seg.error().message(), ref.error().message()) << what;
      } else {
        expect_same(**seg, **ref, s.hnsw.metric);
      }
    };
    for (size_t len = 0; len < good.size(); ++len) {
      check(std::vector<uint8_t>(good.begin(), good.begin() + len), "cut at " + std::to_string(len));
    }
    for (size_t at = 0; at < good.size(); at += 3) {
      for (uint8_t x : {uint8_t{0x01}, uint8_t{0x80}}) {
        std::vector<uint8_t> bytes = good;
        bytes[at] ^= x;
        check(bytes, "byte " + std::to_string(at) + " ^ " + std::to_string(x));
      }
    }
  }
}

// A failed read anywhere in the load is the load's error: it never ends in
// a fallback that reads the file again and succeeds.
TEST(StreamedLoadFaults, EveryFailedReadFailsTheLoad) {
  TempDir dir;
  Shape sh{"faults"};
  const std::string path = write_shape(dir, sh, make_segment(sh, 8000, 64));
  const uint64_t before = file::op_count();
  ASSERT_TRUE(Segment::load(path).ok());
  const uint64_t ops = file::op_count() - before;
  ASSERT_GT(ops, 6u);  // probe reads, then several windows of both passes
  for (uint64_t k = 1; k <= ops; ++k) {
    uint64_t reads = 0;
    file::set_fault_hook([&](file::Op op, const std::string&, uint64_t) {
      file::Fault f;
      if (op == file::Op::kRead && ++reads == k) f = {file::Fault::kFail, EIO};
      return f;
    });
    auto seg = Segment::load(path);
    file::set_fault_hook(nullptr);
    if (k > reads) break;  // no read left to fail
    ASSERT_FALSE(seg.ok()) << "read " << k;
    EXPECT_EQ(seg.error().message(), "I/O error: Input/output error (os error 5)") << "read " << k;
  }
}

// The file rewritten in place (same size, one neighbour id changed) before
// the k-th read: the load fails the checksum or builds the old graph,
// never the changed lists the second pass would otherwise read unchecked.
TEST(StreamedLoadFaults, AFileChangedBetweenThePassesIsNotTrusted) {
  TempDir dir;
  Shape sh{"changed"};
  SegmentSnapshot s = make_segment(sh, 8000, 64);
  const std::string path = write_shape(dir, sh, s);
  const std::vector<uint8_t> good = read_bytes(path);
  auto original = reference_load(path);
  ASSERT_TRUE(original.ok());
  std::vector<uint8_t> changed = good;
  changed[8 + 8 + 8 + 8 + 16] ^= 1;  // first neighbour id of the first level-0 list
  uint64_t reads_per_load = 0;
  {
    const uint64_t before = file::op_count();
    ASSERT_TRUE(Segment::load(path).ok());
    reads_per_load = file::op_count() - before;
  }
  for (uint64_t k = 1; k <= reads_per_load; ++k) {
    write_bytes(path, good);
    uint64_t reads = 0;
    file::set_fault_hook([&](file::Op op, const std::string& p, uint64_t) {
      if (op == file::Op::kRead && ++reads == k) {
        // Rewrite in place: the open descriptor sees the new bytes.
        std::FILE* f = std::fopen(p.c_str(), "r+b");
        std::fwrite(changed.data(), 1, changed.size(), f);
        std::fclose(f);
      }
      return file::Fault{};
    });
    auto seg = Segment::load(path);
    file::set_fault_hook(nullptr);
    if (seg.ok()) {
      expect_same(**seg, **original, s.hnsw.metric);
    } else {
      EXPECT_EQ(seg.error().message(), "Serialization error: segment snapshot checksum mismatch") << "read " << k;
    }
  }
}

}  // namespace
}  // namespace ulmora
