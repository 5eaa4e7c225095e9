// Helpers shared by the live-segment tests: a small built segment file, its
// writer and reader opens, and the state of a segment loaded or open.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "segment/builder.h"
#include "segment/live.h"
#include "segment/store_test_util.h"

namespace ulmora::testing_util {

// A Euclidean build of `rows` x `dim` vectors with a small graph (M 8,
// ef_construction 32), ids 0..rows-1 unless set, on one thread.
inline BuildRequest small_request(const float* vectors, uint64_t rows, uint64_t dim,
                                  std::vector<std::optional<Payload>>* payloads = nullptr) {
  BuildRequest request;
  request.vectors = vectors;
  request.rows = rows;
  request.dim = dim;
  request.payloads = payloads;
  request.metric = Metric::kEuclidean;
  request.m = 8;
  request.ef_construction = 32;
  return request;
}

// Builds `request` into `path`; returns what the build returned.
inline Status build_file(const std::string& path, BuildRequest request) {
  bool busy = false;
  auto built = build_segment(path, request, nullptr, &busy);
  return built.ok() ? Status::Ok() : Status(built.error());
}

// The segment's writer (nullptr, and a failed test, when it cannot open).
inline std::unique_ptr<LiveSegment> open_live(const std::string& path,
                                              std::optional<std::vector<std::string>> keys = std::nullopt) {
  bool busy = false;
  auto live = LiveSegment::open(path, &busy, std::move(keys));
  EXPECT_TRUE(live.ok()) << live.error().message();
  return live.ok() ? std::move(live.value()) : nullptr;
}

// A read-only open of the segment, as open_live.
inline std::unique_ptr<LiveSegment> open_reader(const std::string& path) {
  auto live = LiveSegment::open_readonly(path);
  EXPECT_TRUE(live.ok()) << live.error().message();
  return live.ok() ? std::move(live.value()) : nullptr;
}

inline State live_state(const LiveSegment& live) { return state_of(*live.read().segment()); }

// The state a fresh load of the files gives.
inline State loaded_state(const std::string& path) {
  auto seg = Segment::load(path);
  EXPECT_TRUE(seg.ok()) << seg.error().message();
  return seg.ok() ? state_of(**seg) : State{};
}

}  // namespace ulmora::testing_util
