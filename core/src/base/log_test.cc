#include "base/log.h"

#include <vector>

#include <gtest/gtest.h>

namespace ulmora {
namespace {

struct Captured {
  log::Level level;
  std::string target;
  std::string message;
};

TEST(Log, FacadeStartsSilentAndFiltersByLevel) {
  int formatted = 0;
  auto message = [&] {
    ++formatted;
    return std::string("hello");
  };
  // Default state: no sink, level off. Nothing is formatted.
  EXPECT_FALSE(log::enabled(log::Level::kError));
  ULMORA_LOG(log::Level::kInfo, "t", message());
  EXPECT_EQ(formatted, 0);

  std::vector<Captured> got;
  log::set_sink([&](const log::Record& r) { got.push_back({r.level, std::string(r.target), std::string(r.message)}); });
  EXPECT_FALSE(log::enabled(log::Level::kError));  // level still off
  log::set_max_level(log::Level::kInfo);
  ULMORA_LOG(log::Level::kInfo, "vector::hnsw", message());
  ULMORA_LOG(log::Level::kDebug, "vector::hnsw", message());  // above the maximum
  ULMORA_LOG(log::Level::kOff, "vector::hnsw", message());    // never a record level
  EXPECT_EQ(formatted, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].level, log::Level::kInfo);
  EXPECT_EQ(got[0].target, "vector::hnsw");
  EXPECT_EQ(got[0].message, "hello");

  log::set_sink(nullptr);
  EXPECT_FALSE(log::enabled(log::Level::kError));
  log::set_max_level(log::Level::kOff);
}

}  // namespace
}  // namespace ulmora
