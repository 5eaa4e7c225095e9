// Inserts racing each other and searches on one index. Small enough to run
// under ThreadSanitizer (these test names contain "Concurren").
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "vector/hnsw/filter_edges.h"
#include "vector/hnsw/insert_test_helpers.h"
#include "vector/hnsw/search.h"

namespace ulmora::hnsw {
using testing::expect_graph_invariants;
namespace {

}  // namespace
// Every node links to some other node on level 0, and nearly all are
// reachable there from the entry point. (Racing inserts can leave a node
// whose only in-links were later pruned by caps; that is inherent to the
// graph, not a lost edit.)
void expect_connected(const Graph& g, double min_reached) {
  const uint64_t n = g.len();
  std::vector<bool> seen(n, false);
  std::vector<uint64_t> stack = {entry_index(g.entry.load())};
  seen[stack[0]] = true;
  size_t reached = 1;
  while (!stack.empty()) {
    uint64_t cur = stack.back();
    stack.pop_back();
    for (uint32_t e : g.layer(0).copy(cur)) {
      if (!seen[e]) {
        seen[e] = true;
        ++reached;
        stack.push_back(e);
      }
    }
  }
  EXPECT_GE(static_cast<double>(reached), min_reached * static_cast<double>(n));
  for (uint64_t i = 0; n > 1 && i < n; ++i) EXPECT_GE(g.layer(0).size(i), 2u) << "node " << i << " is isolated";
}
namespace {

TEST(ConcurrentInsert, InsertersAndSearchersShareOneIndex) {
  constexpr size_t kInserters = 4, kSearchers = 4, kPerThread = 300, kDim = 12;
  Graph g(Metric::kCosine, 6, 40, 8, kDim);
  std::mt19937 rng(17);
  auto data = testing::clustered(rng, kInserters * kPerThread, kDim, 20);
  std::atomic<size_t> done{0};
  std::atomic<size_t> failures{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kInserters; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < kPerThread; ++i) {
        const size_t id = t * kPerThread + i;
        if (!g.insert(id, data[id]).ok()) ++failures;
        // Threads also insert ids that others own: whoever comes second
        // changes nothing.
        const size_t other = (id + kPerThread) % data.size();
        if (i % 10 == 0 && !g.insert(other, data[other]).ok()) ++failures;
      }
      ++done;
    });
  }
  for (size_t t = 0; t < kSearchers; ++t) {
    threads.emplace_back([&, t] {
      SearchOptions options;
      options.ef = 32;
      std::vector<ScoredNode> out;
      std::mt19937 local(static_cast<uint32_t>(t));
      while (done.load() < kInserters) {
        if (!g.search(data[local() % data.size()], 5, options, out).ok()) ++failures;
        for (const ScoredNode& r : out)
          if (r.node >= data.size()) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0u);
  ASSERT_EQ(g.len(), data.size());
  expect_graph_invariants(g, /*caps_enforced=*/true);
  expect_connected(g, 0.99);
  // Each stored point finds itself.
  SearchOptions options;
  options.ef = 64;
  std::vector<ScoredNode> out;
  size_t found = 0;
  for (size_t i = 0; i < data.size(); i += 7) {
    ASSERT_TRUE(g.search(data[i], 1, options, out).ok());
    found += !out.empty() && out[0].node == i;
  }
  EXPECT_GE(found, (data.size() / 7) * 95 / 100);
}

TEST(ConcurrentInsert, RacingFirstInsertsLeaveOneEntryAndAConnectedGraph) {
  for (int round = 0; round < 20; ++round) {
    Graph g(Metric::kEuclidean, 4, 16, 4, 4);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (uint64_t t = 0; t < 6; ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        std::mt19937 rng(static_cast<uint32_t>(round * 10 + t));
        for (uint64_t i = 0; i < 5; ++i) ASSERT_TRUE(g.insert(t * 100 + i, testing::random_vector(rng, 4)).ok());
      });
    }
    go = true;
    for (auto& th : threads) th.join();
    ASSERT_EQ(g.len(), 30u);
    expect_graph_invariants(g, true);
    expect_connected(g, 0.9);
  }
}

// An insert that finds the entry node still Pending (its own insert has
// raised the entry word but not yet marked it Linked) waits for it instead
// of linking to nothing.
TEST(ConcurrentInsert, WaitsForAPendingEntryNode) {
  Graph g(Metric::kEuclidean, 4, 16, 0, 2);
  ASSERT_TRUE(g.insert(1, std::vector<float>{0, 0}).ok());
  g.node_states.set(0, static_cast<uint8_t>(NodeState::kPending));
  std::thread inserter([&] { ASSERT_TRUE(g.insert(2, std::vector<float>{1, 0}).ok()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  g.node_states.set(0, static_cast<uint8_t>(NodeState::kLinked));
  inserter.join();
  EXPECT_EQ(g.layer(0).copy(1), (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(g.layer(0).copy(0), (std::vector<uint32_t>{0, 1}));
}

TEST(ConcurrentFilterEdges, LinkingWhileInsertingAndSearching) {
  constexpr size_t kPoints = 400, kDim = 8;
  HnswIndex owner(Metric::kEuclidean, 4, 32, 8, kDim);
  Graph& g = graph_of(owner);
  std::mt19937 rng(3);
  std::vector<std::vector<float>> data;
  std::vector<Payload> payloads;
  PayloadIndex payload_index;  // built up front: read-only while threads run
  for (size_t i = 0; i < kPoints; ++i) {
    data.push_back(testing::random_vector(rng, kDim));
    Payload p{{"group", PayloadValue{int64_t(i % 5)}}};
    index_payload(payload_index, i, p);
    payloads.push_back(p);
  }
  const std::vector<FilterKey> keys = {{2, "group"}};
  std::atomic<size_t> done{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = t; i < kPoints; i += 2) {
        ASSERT_TRUE(g.insert(i, data[i]).ok());
        add_filter_edges(owner, i, data[i], payloads[i], payload_index, keys);
      }
      ++done;
    });
  }
  threads.emplace_back([&] {
    SearchOptions options;
    std::vector<ScoredNode> out;
    for (size_t i = 0; done.load() < 2; ++i) EXPECT_TRUE(g.search(data[i % kPoints], 3, options, out).ok());
  });
  for (auto& th : threads) th.join();
  ASSERT_EQ(g.len(), kPoints);
  expect_graph_invariants(g, true);
}

}  // namespace
}  // namespace ulmora::hnsw
