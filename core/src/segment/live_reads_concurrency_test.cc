// What a search of a live segment sees while one writer inserts, deletes,
// updates payloads and compacts: every point whole (id, vector, payload),
// the changes of one call together, every call that returned before the
// search began; and a compaction beside mutations ends with exactly the
// acknowledged state. test.sh runs these under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "base/file.h"
#include "segment/builder.h"
#include "segment/live.h"
#include "segment/live_test_util.h"
#include "segment/store_test_util.h"
#include "vector/hnsw/search.h"

namespace ulmora {
namespace {

using namespace testing_util;
using hnsw::ScoredNode;
using hnsw::SearchOptions;

constexpr uint64_t kDim = 8;

// Row r of a fixed matrix large enough for every test below.
const std::vector<float>& rows() {
  static const std::vector<float> r = random_rows(1200, kDim, 21);
  return r;
}
std::span<const float> row(uint64_t r) { return {rows().data() + r * kDim, kDim}; }

Payload tag(uint64_t id, int64_t v) {
  return payload_of({{"id", int_value(static_cast<int64_t>(id))}, {"v", int_value(v)}});
}

// Ids 0..n-1, row i for id i, each with the payload tag(i, 0).
std::string build(const TempDir& dir, uint64_t n) {
  const std::string path = dir.file("seg.snap");
  std::vector<std::optional<Payload>> payloads;
  for (uint64_t i = 0; i < n; ++i) payloads.push_back(tag(i, 0));
  BuildRequest request;
  request.vectors = rows().data();
  request.rows = n;
  request.dim = kDim;
  request.payloads = &payloads;
  request.metric = Metric::kEuclidean;
  request.m = 8;
  request.ef_construction = 48;
  request.threads = 2;
  bool busy = false;
  auto built = build_segment(path, request, nullptr, &busy);
  EXPECT_TRUE(built.ok()) << built.error().message();
  return path;
}

// Inserts rows first..first+n-1 as ids first.. with payloads tag(id, 0).
bool insert_rows(LiveSegment& live, uint64_t first, uint64_t n) {
  std::vector<std::optional<Payload>> payloads;
  for (uint64_t i = 0; i < n; ++i) payloads.push_back(tag(first + i, 0));
  LiveSegment::InsertBatch batch{rows().data() + first * kDim, n, kDim, {}, &payloads, 2};
  auto ids = live.insert(batch);
  return ids.ok() && ids->front() == first;
}

// Whether the point `id` is whole in `seg`: a live node with the vector of
// row `id` and the payload tag(id, *); absent when it has no live node (a
// payload placed before its node exists reaches no reader); torn otherwise
// (a deleted id keeping its payload included).
enum class Seen { kWhole, kAbsent, kTorn };
Seen seen(const Segment& seg, uint64_t id) {
  const auto at = seg.hnsw().index_of(id);
  const bool live = at && seg.is_live(*at);
  const auto p = seg.payloads().find(id);
  const bool has_payload = p != seg.payloads().end();
  if (!live) return has_payload && seg.deleted().count(id) != 0 ? Seen::kTorn : Seen::kAbsent;
  if (!has_payload || p->second.at("id") != int_value(static_cast<int64_t>(id))) return Seen::kTorn;
  const float* v = seg.hnsw().vector(*at);
  return std::equal(v, v + kDim, row(id).begin()) ? Seen::kWhole : Seen::kTorn;
}

SearchOptions beam(uint64_t ef) {
  SearchOptions o;
  o.ef = ef;
  return o;
}

// Readers search and inspect while the writer inserts batches: each result
// is whole, and every point of a batch that returned before the reader
// took its lock is there, whole.
TEST(LiveSegmentConcurrency, SearchesBesideInsertsSeeWholeAcknowledgedPoints) {
  TempDir dir;
  auto live = open_live(build(dir, 60));
  ASSERT_TRUE(live);
  constexpr uint64_t kBatch = 20, kBatches = 12;
  std::atomic<uint64_t> acked{60};
  std::atomic<bool> done{false};
  std::atomic<uint64_t> torn{0}, unseen{0}, searches{0};
  auto reader = [&](uint64_t seed) {
    std::vector<ScoredNode> out;
    uint64_t pick = seed;
    while (!done.load(std::memory_order_acquire) || searches.load() < 4) {
      const uint64_t n = acked.load(std::memory_order_acquire);
      auto r = live->read();
      const Segment& seg = *r.segment();
      pick = pick * 6364136223846793005ull + 1442695040888963407ull;
      const uint64_t id = (pick >> 33) % n;
      if (seen(seg, id) != Seen::kWhole) unseen.fetch_add(1);
      EXPECT_TRUE(seg.hnsw().search(row(id), 10, beam(64), out).ok());
      for (const ScoredNode& s : out) {
        if (seen(seg, s.node) != Seen::kWhole) torn.fetch_add(1);
      }
      searches.fetch_add(1);
    }
  };
  std::thread a(reader, 1), b(reader, 2);
  bool ok = true;
  for (uint64_t i = 0; i < kBatches; ++i) {
    ok = ok && insert_rows(*live, 60 + i * kBatch, kBatch);
    acked.store(60 + (i + 1) * kBatch, std::memory_order_release);
  }
  done = true;
  a.join();
  b.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(unseen.load(), 0u);
  EXPECT_EQ(state_of(*live->read().segment()).points.size(), 60 + kBatch * kBatches);
}

// The writer deletes pairs of ids in one call and moves ids between payload
// values; a reader never sees half a pair, a result that is deleted, a
// payload index entry that disagrees with the payload, or a returned
// delete undone.
TEST(LiveSegmentConcurrency, DeletesAndPayloadUpdatesOfOneCallAppearTogether) {
  TempDir dir;
  constexpr uint64_t kPoints = 200, kPairs = 40;
  auto live = open_live(build(dir, kPoints));
  ASSERT_TRUE(live);
  std::atomic<uint64_t> pairs_gone{0};
  std::atomic<bool> done{false};
  std::atomic<uint64_t> bad{0};
  auto reader = [&] {
    std::vector<ScoredNode> out;
    uint64_t q = 0;
    while (!done.load(std::memory_order_acquire)) {
      const uint64_t gone = pairs_gone.load(std::memory_order_acquire);
      auto r = live->read();
      const Segment& seg = *r.segment();
      for (uint64_t p = 0; p < kPairs; ++p) {
        const bool a = seg.deleted().count(2 * p) != 0, b = seg.deleted().count(2 * p + 1) != 0;
        if (a != b || (p < gone && !a)) bad.fetch_add(1);
        if (a && (seg.payloads().count(2 * p) != 0 || seg.payloads().count(2 * p + 1) != 0)) bad.fetch_add(1);
      }
      for (const auto& [value, ids] : seg.payload_index().at("v")) {
        for (uint64_t id : ids) {
          auto it = seg.payloads().find(id);
          if (it == seg.payloads().end() || it->second.at("v") != value) bad.fetch_add(1);
        }
      }
      EXPECT_TRUE(seg.hnsw().search(row(q++ % kPoints), 10, beam(64), out).ok());
      for (const ScoredNode& s : out) {
        if (seg.deleted().count(s.node) != 0 || seen(seg, s.node) != Seen::kWhole) bad.fetch_add(1);
      }
    }
  };
  std::thread a(reader), b(reader);
  bool ok = true;
  for (uint64_t p = 0; p < kPairs; ++p) {
    ok = ok && live->remove(std::vector<uint64_t>{2 * p, 2 * p + 1}).ok();
    pairs_gone.store(p + 1, std::memory_order_release);
    const uint64_t moved = 100 + p;
    ok = ok && live->update_payload(moved, tag(moved, static_cast<int64_t>(p % 3 + 1))).ok();
  }
  done = true;
  a.join();
  b.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(bad.load(), 0u);
}

// The acknowledged state, kept beside the segment by the writer.
struct Model {
  State state;
  void insert(uint64_t first, uint64_t n) {
    for (uint64_t id = first; id < first + n; ++id) {
      state.points[id] = {std::vector<float>(row(id).begin(), row(id).end()), tag(id, 0)};
    }
    state.next_id = std::max(state.next_id, first + n);
  }
};

// Mixed calls while compactions run: inserts, deletes of earlier points,
// payload updates. Returns false on a refused call. `*during` (optional)
// counts the rounds that began and ended while `*compacting` was set.
bool churn(LiveSegment& live, Model& model, uint64_t rounds, std::atomic<bool>* stop,
           const std::atomic<bool>* compacting = nullptr, uint64_t* during = nullptr) {
  for (uint64_t r = 0; r < rounds && !(stop && stop->load()); ++r) {
    const bool began = compacting && compacting->load();
    const uint64_t first = model.state.next_id;
    if (!insert_rows(live, first, 6)) return false;
    model.insert(first, 6);
    const uint64_t gone = 3 * r + 1;  // built ids, never deleted twice
    if (!live.remove(std::vector<uint64_t>{gone, first + 5}).ok()) return false;
    model.state.points.erase(gone);
    model.state.points.erase(first + 5);
    const uint64_t moved = first + 2;
    if (!live.update_payload(moved, tag(moved, static_cast<int64_t>(r))).ok()) return false;
    model.state.points[moved].second = tag(moved, static_cast<int64_t>(r));
    if (during && began && compacting->load()) ++*during;
  }
  return true;
}

std::vector<std::vector<uint64_t>> results(const Segment& seg) {
  std::vector<std::vector<uint64_t>> all;
  std::vector<ScoredNode> out;
  for (uint64_t q = 0; q < 16; ++q) {
    EXPECT_TRUE(seg.hnsw().search(row(1100 + q), 10, beam(512), out).ok());
    std::vector<uint64_t> ids;
    for (const ScoredNode& s : out) ids.push_back(s.node);
    all.push_back(ids);
  }
  return all;
}

// Compactions run while the writer mutates and a reader searches; the
// segment ends with exactly the acknowledged state, in memory and on disk,
// and once quiet it answers as a fresh load of its files does.
TEST(LiveSegmentConcurrency, CompactionBesideMutationsKeepsTheAcknowledgedState) {
  TempDir dir;
  const std::string path = build(dir, 120);
  auto live = open_live(path);
  ASSERT_TRUE(live);
  Model model;
  model.state = state_of(*live->read().segment());
  std::atomic<bool> done{false};
  std::atomic<uint64_t> torn{0};
  std::thread reader([&] {
    std::vector<ScoredNode> out;
    uint64_t q = 0;
    while (!done.load(std::memory_order_acquire)) {
      auto r = live->read();
      EXPECT_TRUE(r.segment()->hnsw().search(row(q++ % 120), 5, beam(48), out).ok());
      for (const ScoredNode& s : out) {
        if (seen(*r.segment(), s.node) != Seen::kWhole) torn.fetch_add(1);
      }
    }
  });
  bool writer_ok = true;
  std::atomic<bool> compacting{true};
  uint64_t during = 0;
  std::thread writer([&] { writer_ok = churn(*live, model, 30, nullptr, &compacting, &during); });
  for (int c = 0; c < 3; ++c) EXPECT_TRUE(live->compact(2).ok());
  compacting = false;
  writer.join();
  done = true;
  reader.join();
  ASSERT_TRUE(writer_ok);
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(state_of(*live->read().segment()), model.state);
  auto fresh = Segment::load(path);
  ASSERT_TRUE(fresh.ok()) << fresh.error().message();
  EXPECT_EQ(state_of(**fresh), model.state);
  EXPECT_EQ(results(*live->read().segment()), results(**fresh));
  live.reset();
  auto again = Segment::load(path);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(state_of(**again), model.state);
}

// Fails the n-th file operation of a compaction (its own thread's, counted
// alone), for every n, while another thread keeps mutating: every call of
// that thread is acknowledged, and memory, a load of the files and a later
// compaction all hold exactly what they made.
TEST(LiveCompaction, AFailureAtAnyOperationBesideMutationsKeepsEveryCall) {
  uint64_t ops = 0, during = 0;
  for (uint64_t n = 1; ops == 0 && n < 200; ++n) {
    TempDir dir;
    const std::string path = build(dir, 120);
    auto live = open_live(path);
    ASSERT_TRUE(live);
    Model model;
    model.state = state_of(*live->read().segment());
    ASSERT_TRUE(churn(*live, model, 2, nullptr));
    std::atomic<bool> stop{false}, compacting{true};
    bool writer_ok = true;
    std::thread writer([&] { writer_ok = churn(*live, model, 30, &stop, &compacting, &during); });
    const auto compactor = std::this_thread::get_id();
    uint64_t seen = 0;
    file::set_fault_hook([&](file::Op, const std::string&, uint64_t) {
      if (std::this_thread::get_id() != compactor) return file::Fault{};
      return ++seen == n ? file::Fault{file::Fault::kFail, EIO} : file::Fault{};
    });
    Status s = live->compact(2);
    compacting = false;
    stop = true;
    writer.join();
    file::set_fault_hook({});
    ASSERT_TRUE(writer_ok) << "fault at op " << n;
    if (seen < n) {
      ASSERT_TRUE(s.ok()) << s.error().message();
      ops = seen;
    }
    EXPECT_EQ(state_of(*live->read().segment()), model.state) << "fault at op " << n;
    live.reset();
    auto loaded = Segment::load(path);
    ASSERT_TRUE(loaded.ok()) << "fault at op " << n << ": " << loaded.error().message();
    EXPECT_EQ(state_of(**loaded), model.state) << "fault at op " << n;
    auto again = open_live(path);
    ASSERT_TRUE(again);
    ASSERT_TRUE(again->compact(1).ok());
    EXPECT_EQ(state_of(*again->read().segment()), model.state) << "fault at op " << n;
  }
  EXPECT_GE(ops, 10u);
  EXPECT_GT(during, 0u) << "no call ran inside a compaction";
}

}  // namespace
}  // namespace ulmora
