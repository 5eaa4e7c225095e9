#include "base/file.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace ulmora::file {
namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("ulmora_file_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    set_fault_hook({});
    std::filesystem::remove_all(dir_);
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

std::string contents(const std::string& p) {
  auto r = read_all(p);
  if (!r.ok()) return r.error().message();
  return std::string(reinterpret_cast<const char*>(r->data()), r->size());
}

std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST_F(FileTest, ReadAllReadsWholeFilesAndReportsMissingOnes) {
  std::string big(200'000, 'x');
  big[123'456] = 'y';
  ASSERT_TRUE(write_atomic(path("a"), bytes_of(big)).ok());
  EXPECT_EQ(contents(path("a")), big);
  ASSERT_TRUE(write_atomic(path("empty"), bytes_of("")).ok());
  EXPECT_EQ(contents(path("empty")), "");
  auto missing = read_all(path("missing"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "I/O error: No such file or directory (os error 2)");
}

// Each failing call of a replacement leaves the old file whole and no
// temporary file behind.
TEST_F(FileTest, FailedReplacementKeepsTheOldFile) {
  ASSERT_TRUE(write_atomic(path("seg"), bytes_of("old")).ok());
  for (Op op : {Op::kOpen, Op::kWrite, Op::kFsync, Op::kRename}) {
    for (auto action : {Fault::kFail, Fault::kShortWrite}) {
      set_fault_hook([&](Op o, const std::string&, uint64_t) {
        return o == op ? Fault{action, ENOSPC} : Fault{};
      });
      Status st = write_atomic(path("seg"), bytes_of("new content"));
      set_fault_hook({});
      ASSERT_FALSE(st.ok()) << op_name(op);
      EXPECT_EQ(st.error().message(), "I/O error: No space left on device (os error 28)");
      EXPECT_EQ(contents(path("seg")), "old");
      EXPECT_FALSE(exists(temp_path_for(path("seg")))) << op_name(op);
    }
  }
}

TEST_F(FileTest, HookSeesEveryOperationInOrder) {
  std::vector<std::string> seen;
  set_fault_hook([&](Op o, const std::string& p, uint64_t) {
    seen.push_back(op_name(o));
    seen.back().append(" ").append(std::filesystem::path(p).filename().string());
    return Fault{};
  });
  ASSERT_TRUE(write_atomic(path("f"), bytes_of("abc")).ok());
  set_fault_hook({});
  const std::string tmp = std::filesystem::path(temp_path_for(path("f"))).filename().string();
  const std::string dir = dir_.filename().string();
  std::vector<std::string> want;
  for (const auto& [op, name] : std::vector<std::pair<std::string, std::string>>{
           {"open", tmp}, {"write", tmp}, {"fsync", tmp}, {"rename", "f"}, {"open", dir}, {"fsync", dir}}) {
    want.push_back(op);
    want.back().append(" ").append(name);
  }
  EXPECT_EQ(seen, want);
}

// The environment rule, in a child process: kill before the n-th operation
// of a kind, or fail it with the named errno.
TEST_F(FileTest, EnvironmentRuleKillsOrFails) {
  struct Case {
    const char* rule;
    bool killed;
    const char* left;  // content of the file afterwards
  };
  for (const Case& c : {Case{"kill@1:rename", true, "old"}, Case{"kill@3", true, "old"},
                        Case{"fail@1:write:ENOSPC", false, "old"}, Case{"fail@9", false, "new"},
                        Case{"bogus", false, "new"}, Case{"kill@x", false, "new"}}) {
    ASSERT_TRUE(write_atomic(path("e"), bytes_of("old")).ok());
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::setenv("ULMORA_FAULT", c.rule, 1);
      // The seam reads the rule once; a fresh exec gives the child its own.
      ::execl("/proc/self/exe", "/proc/self/exe", "--gtest_filter=FileChild.*", "--gtest_also_run_disabled_tests",
              (dir_ / "e").c_str(), static_cast<char*>(nullptr));
      ::_exit(99);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, c.killed) << c.rule;
    EXPECT_EQ(contents(path("e")), c.left) << c.rule;
  }
}

// Run only as the child of the test above.
TEST(FileChild, DISABLED_ReplaceWithNew) {
  std::string p = ::testing::internal::GetArgvs().back();
  (void)write_atomic(p, bytes_of("new"));
}

}  // namespace
}  // namespace ulmora::file
